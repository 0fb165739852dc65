#ifndef TANDEO_CAPTURE_JPEG_ENCODER_H
#define TANDEO_CAPTURE_JPEG_ENCODER_H

// The JPEG encoder of the shared pictures over libjpeg-turbo: baseline JPEG files with 4:2:0
// chroma, standard Huffman tables and the accurate integer DCT, quality 75 unless told
// otherwise. These are the settings of Qt's "jpg" writer at its default quality: from the same
// picture both give the same file.

#include "frame_scaler.h"

#include <QByteArray>

#include <cstddef>
#include <memory>
#include <optional>

class QImage;

namespace capture {

constexpr int DefaultJpegQuality = 75;

class JpegEncoder
{
public:
    explicit JpegEncoder(int quality = DefaultJpegQuality);
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder &) = delete;
    JpegEncoder &operator=(const JpegEncoder &) = delete;

    bool isValid() const { return m_handle != nullptr; }
    int quality() const { return m_quality; }

    // Largest JPEG file a picture of this size can give.
    static std::size_t maxEncodedBytes(QSize size);

    // Encodes the planes into out, which is resized to the file's size; its buffer is reused
    // from frame to frame. Returns false (out emptied) when the encoder fails.
    bool encode(const I420Frame &frame, QByteArray &out);

    // Encodes a 32-bit picture (any format is converted to RGB32 first) with 4:2:0 chroma.
    bool encode(const QImage &image, QByteArray &out);

    // The encoder's last error text.
    QString errorText() const;

private:
    struct HandleDeleter
    {
        void operator()(void *handle) const;
    };
    std::unique_ptr<void, HandleDeleter> m_handle;
    int m_quality;
};

// Width and height from a JPEG file's frame header; empty when no frame header is found
// before the picture data.
std::optional<QSize> jpegPictureSize(const QByteArray &jpeg);

} // namespace capture

#endif // TANDEO_CAPTURE_JPEG_ENCODER_H

#ifndef TANDEO_CAPTURE_STRIP_JPEG_ENCODER_H
#define TANDEO_CAPTURE_STRIP_JPEG_ENCODER_H

// The JPEG encoder fed one strip of 16 picture rows at a time, so a picture can be encoded
// while its lower part is still being scaled. Same files as JpegEncoder's encode() of the
// planes: baseline, 4:2:0, standard Huffman tables, the accurate integer DCT.
//
// Built only where libjpeg's own interface is available (see available()); one picture at a
// time, from one thread.

#include "frame_scaler.h"

#include <QByteArray>

#include <memory>

namespace capture {

class StripJpegEncoder
{
public:
    static constexpr int StripRows = 16;

    // False when the program was built without this encoder; then nothing else works.
    static bool available();

    explicit StripJpegEncoder(int quality = 75);
    ~StripJpegEncoder();
    StripJpegEncoder(const StripJpegEncoder &) = delete;
    StripJpegEncoder &operator=(const StripJpegEncoder &) = delete;

    // Number of strips of a picture of the given height.
    static int stripCount(int height) { return (height + StripRows - 1) / StripRows; }

    // Starts a file for a picture of frame's size, written into out (its buffer is reused).
    bool begin(const I420Frame &frame, QByteArray &out);
    // Encodes strip `strip` (luma rows 16 * strip onwards) of frame; strips go in order and
    // their rows must be complete.
    bool writeStrip(const I420Frame &frame, int strip);
    // Ends the file; out then holds exactly its bytes. False when anything failed (out empty).
    bool finish();
    // Drops a started file (out emptied).
    void abort();

    QString errorText() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace capture

#endif // TANDEO_CAPTURE_STRIP_JPEG_ENCODER_H

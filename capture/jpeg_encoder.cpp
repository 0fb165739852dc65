#include "jpeg_encoder.h"

#include <QImage>
#include <QString>

#include <turbojpeg.h>

namespace capture {

void JpegEncoder::HandleDeleter::operator()(void *handle) const
{
    tjDestroy(handle);
}

JpegEncoder::JpegEncoder(int quality) : m_handle(tjInitCompress()), m_quality(quality) { }

JpegEncoder::~JpegEncoder() = default;

std::size_t JpegEncoder::maxEncodedBytes(QSize size)
{
    if (size.isEmpty())
        return 0;
    return tjBufSize(size.width(), size.height(), TJSAMP_420);
}

bool JpegEncoder::encode(const I420Frame &frame, QByteArray &out)
{
    const std::size_t capacity = maxEncodedBytes(frame.size());
    if (!m_handle || capacity == 0 || capacity > std::size_t(INT32_MAX)) {
        out.clear();
        return false;
    }
    // Writing straight into the caller's array saves copying the file afterwards; shrinking
    // an array keeps its buffer, so after the first frame this allocates nothing.
    out.resize(qsizetype(capacity));
    auto *destination = reinterpret_cast<unsigned char *>(out.data());
    unsigned long size = capacity;
    const unsigned char *planes[3] = { frame.y.data(), frame.u.data(), frame.v.data() };
    const int strides[3] = { frame.yStride, frame.uvStride, frame.uvStride };
    const int status = tjCompressFromYUVPlanes(m_handle.get(), planes, frame.width, strides,
            frame.height, TJSAMP_420, &destination, &size, m_quality,
            TJFLAG_NOREALLOC | TJFLAG_ACCURATEDCT);
    if (status != 0 || destination != reinterpret_cast<unsigned char *>(out.data())) {
        out.clear();
        return false;
    }
    out.resize(qsizetype(size));
    return true;
}

bool JpegEncoder::encode(const QImage &image, QByteArray &out)
{
    if (image.isNull() || !m_handle) {
        out.clear();
        return false;
    }
    const QImage rgb =
            image.format() == QImage::Format_RGB32 || image.format() == QImage::Format_ARGB32
            ? image
            : image.convertToFormat(QImage::Format_RGB32);
    const std::size_t capacity = maxEncodedBytes(rgb.size());
    out.resize(qsizetype(capacity));
    auto *destination = reinterpret_cast<unsigned char *>(out.data());
    unsigned long size = capacity;
    const int status = tjCompress2(m_handle.get(), rgb.constBits(), rgb.width(),
            int(rgb.bytesPerLine()), rgb.height(), TJPF_BGRX, &destination, &size, TJSAMP_420,
            m_quality, TJFLAG_NOREALLOC | TJFLAG_ACCURATEDCT);
    if (status != 0 || destination != reinterpret_cast<unsigned char *>(out.data())) {
        out.clear();
        return false;
    }
    out.resize(qsizetype(size));
    return true;
}

QString JpegEncoder::errorText() const
{
    return QString::fromUtf8(tjGetErrorStr2(m_handle.get()));
}

std::optional<QSize> jpegPictureSize(const QByteArray &jpeg)
{
    const auto byte = [&](qsizetype i) { return int(uchar(jpeg[i])); };
    if (jpeg.size() < 4 || byte(0) != 0xFF || byte(1) != 0xD8)
        return std::nullopt;
    // Marker segments: FF, marker, 16-bit length (counting itself), contents.
    qsizetype pos = 2;
    while (pos + 4 <= jpeg.size()) {
        if (byte(pos) != 0xFF)
            return std::nullopt;
        const int marker = byte(pos + 1);
        if (marker == 0xFF) { // fill byte
            ++pos;
            continue;
        }
        const int length = (byte(pos + 2) << 8) | byte(pos + 3);
        if (length < 2 || marker == 0xDA || marker == 0xD9)
            return std::nullopt;
        // Start-of-frame markers C0 to CF, except DHT (C4), JPG (C8) and DAC (CC).
        const bool frameHeader = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4
                && marker != 0xC8 && marker != 0xCC;
        if (frameHeader) {
            if (length < 7 || pos + 9 > jpeg.size())
                return std::nullopt;
            const int height = (byte(pos + 5) << 8) | byte(pos + 6);
            const int width = (byte(pos + 7) << 8) | byte(pos + 8);
            return QSize(width, height);
        }
        pos += 2 + length;
    }
    return std::nullopt;
}

} // namespace capture

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
            frame.height, TJSAMP_420, &destination, &size, m_quality, TJFLAG_NOREALLOC);
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
            m_quality, TJFLAG_NOREALLOC);
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

} // namespace capture

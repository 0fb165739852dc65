#include "strip_jpeg_encoder.h"

#include <QString>

#if defined(TANDEO_HAVE_LIBJPEG)

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>

namespace capture {

namespace {

// libjpeg reports failures by calling error_exit, which must not return: it jumps back to the
// call that started the failing step. No object with a destructor lives between the two.
struct ErrorManager
{
    jpeg_error_mgr base;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void errorExit(j_common_ptr info)
{
    auto *errors = reinterpret_cast<ErrorManager *>(info->err);
    (*info->err->format_message)(info, errors->message);
    std::longjmp(errors->jump, 1);
}

void quiet(j_common_ptr) { }

// The file goes straight into the caller's array, which grows by doubling when needed.
struct Destination
{
    jpeg_destination_mgr base;
    QByteArray *out = nullptr;
};

constexpr qsizetype FirstCapacity = 256 * 1024;

void initDestination(j_compress_ptr info)
{
    auto *d = reinterpret_cast<Destination *>(info->dest);
    d->out->resize(std::max(d->out->capacity(), FirstCapacity));
    d->base.next_output_byte = reinterpret_cast<JOCTET *>(d->out->data());
    d->base.free_in_buffer = std::size_t(d->out->size());
}

boolean emptyOutputBuffer(j_compress_ptr info)
{
    auto *d = reinterpret_cast<Destination *>(info->dest);
    const qsizetype used = d->out->size();
    d->out->resize(used * 2);
    d->base.next_output_byte = reinterpret_cast<JOCTET *>(d->out->data()) + used;
    d->base.free_in_buffer = std::size_t(used);
    return TRUE;
}

void termDestination(j_compress_ptr info)
{
    auto *d = reinterpret_cast<Destination *>(info->dest);
    d->out->resize(d->out->size() - qsizetype(d->base.free_in_buffer));
}

} // namespace

struct StripJpegEncoder::Impl
{
    jpeg_compress_struct info{};
    ErrorManager errors{};
    Destination destination{};
    int quality = 75;
    bool started = false;
    bool failed = false;

    Impl()
    {
        info.err = jpeg_std_error(&errors.base);
        errors.base.error_exit = errorExit;
        errors.base.output_message = quiet;
        errors.message[0] = 0;
        jpeg_create_compress(&info);
        destination.base.init_destination = initDestination;
        destination.base.empty_output_buffer = emptyOutputBuffer;
        destination.base.term_destination = termDestination;
        info.dest = &destination.base;
    }
    ~Impl() { jpeg_destroy_compress(&info); }

    bool begin(const I420Frame &frame)
    {
        if (setjmp(errors.jump)) {
            jpeg_abort_compress(&info);
            return false;
        }
        info.image_width = JDIMENSION(frame.width);
        info.image_height = JDIMENSION(frame.height);
        info.input_components = 3;
        info.in_color_space = JCS_YCbCr;
        jpeg_set_defaults(&info); // 2 x 2 luma sampling, 1 x 1 chroma: 4:2:0
        jpeg_set_colorspace(&info, JCS_YCbCr);
        jpeg_set_quality(&info, quality, TRUE);
        info.dct_method = JDCT_ISLOW;
        info.raw_data_in = TRUE;
        jpeg_start_compress(&info, TRUE);
        return true;
    }

    bool write(JSAMPARRAY planes[3])
    {
        if (setjmp(errors.jump)) {
            jpeg_abort_compress(&info);
            return false;
        }
        jpeg_write_raw_data(&info, planes, StripRows);
        return true;
    }

    bool end()
    {
        if (setjmp(errors.jump)) {
            jpeg_abort_compress(&info);
            return false;
        }
        jpeg_finish_compress(&info);
        return true;
    }
};

bool StripJpegEncoder::available()
{
    return true;
}

StripJpegEncoder::StripJpegEncoder(int quality) : m_impl(std::make_unique<Impl>())
{
    m_impl->quality = quality;
}

StripJpegEncoder::~StripJpegEncoder() = default;

bool StripJpegEncoder::begin(const I420Frame &frame, QByteArray &out)
{
    abort();
    if (frame.width <= 0 || frame.height <= 0) {
        out.clear();
        return false;
    }
    m_impl->destination.out = &out;
    m_impl->failed = !m_impl->begin(frame);
    m_impl->started = !m_impl->failed;
    if (m_impl->failed)
        out.clear();
    return m_impl->started;
}

bool StripJpegEncoder::writeStrip(const I420Frame &frame, int strip)
{
    if (!m_impl->started || m_impl->failed)
        return false;
    // Rows past the picture's end repeat its last row (the luma plane's padded one).
    JSAMPROW luma[StripRows];
    JSAMPROW blue[StripRows / 2];
    JSAMPROW red[StripRows / 2];
    const int lumaRows = 2 * frame.chromaHeight();
    for (int i = 0; i < StripRows; ++i) {
        const int row = std::min(strip * StripRows + i, lumaRows - 1);
        luma[i] = const_cast<JSAMPROW>(frame.y.data() + std::size_t(row) * frame.yStride);
    }
    for (int i = 0; i < StripRows / 2; ++i) {
        const int row = std::min(strip * StripRows / 2 + i, frame.chromaHeight() - 1);
        blue[i] = const_cast<JSAMPROW>(frame.u.data() + std::size_t(row) * frame.uvStride);
        red[i] = const_cast<JSAMPROW>(frame.v.data() + std::size_t(row) * frame.uvStride);
    }
    JSAMPARRAY planes[3] = { luma, blue, red };
    if (!m_impl->write(planes)) {
        m_impl->failed = true;
        m_impl->started = false;
        m_impl->destination.out->clear();
        return false;
    }
    return true;
}

bool StripJpegEncoder::finish()
{
    if (!m_impl->started || m_impl->failed)
        return false;
    m_impl->started = false;
    if (!m_impl->end()) {
        m_impl->failed = true;
        m_impl->destination.out->clear();
        return false;
    }
    return true;
}

void StripJpegEncoder::abort()
{
    if (m_impl->started) {
        jpeg_abort_compress(&m_impl->info);
        m_impl->destination.out->clear();
    }
    m_impl->started = false;
    m_impl->failed = false;
}

QString StripJpegEncoder::errorText() const
{
    return QString::fromLatin1(m_impl->errors.message);
}

} // namespace capture

#else // no libjpeg interface at build time

namespace capture {

struct StripJpegEncoder::Impl
{
};

bool StripJpegEncoder::available()
{
    return false;
}
StripJpegEncoder::StripJpegEncoder(int) { }
StripJpegEncoder::~StripJpegEncoder() = default;
bool StripJpegEncoder::begin(const I420Frame &, QByteArray &out)
{
    out.clear();
    return false;
}
bool StripJpegEncoder::writeStrip(const I420Frame &, int)
{
    return false;
}
bool StripJpegEncoder::finish()
{
    return false;
}
void StripJpegEncoder::abort() { }
QString StripJpegEncoder::errorText() const
{
    return QStringLiteral("built without the strip encoder");
}

} // namespace capture

#endif

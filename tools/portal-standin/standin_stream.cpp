#include "standin_stream.h"

#include "standin_picture.h"

#include <QImage>
#include <QSocketNotifier>

#include <cstring>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

using namespace std::chrono_literals;

namespace standin {

namespace {

constexpr int BytesPerPixel = 4;
constexpr auto FrameInterval = 33ms; // about 30 frames a second
constexpr int MaxFramesPerSecond = 30;

} // namespace

std::unique_ptr<PipeWireConnection> PipeWireConnection::open(QString *error)
{
    pw_init(nullptr, nullptr);
    std::unique_ptr<PipeWireConnection> connection(new PipeWireConnection);
    connection->m_loop = pw_loop_new(nullptr);
    if (!connection->m_loop) {
        *error = QStringLiteral("cannot create a PipeWire loop");
        return nullptr;
    }
    connection->m_context = pw_context_new(connection->m_loop, nullptr, 0);
    if (!connection->m_context) {
        *error = QStringLiteral("cannot create a PipeWire context");
        return nullptr;
    }
    connection->m_core = pw_context_connect(connection->m_context, nullptr, 0);
    if (!connection->m_core) {
        *error = QStringLiteral("cannot connect to the PipeWire daemon: %1")
                         .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return nullptr;
    }
    connection->m_notifier = std::make_unique<QSocketNotifier>(
            pw_loop_get_fd(connection->m_loop), QSocketNotifier::Read);
    QObject::connect(connection->m_notifier.get(), &QSocketNotifier::activated,
            [raw = connection.get()] { raw->iterate(); });
    connection->iterate();
    return connection;
}

PipeWireConnection::~PipeWireConnection()
{
    m_notifier.reset();
    if (m_core)
        pw_core_disconnect(m_core);
    if (m_context)
        pw_context_destroy(m_context);
    if (m_loop)
        pw_loop_destroy(m_loop);
}

void PipeWireConnection::iterate()
{
    pw_loop_enter(m_loop);
    while (pw_loop_iterate(m_loop, 0) > 0) { }
    pw_loop_leave(m_loop);
}

SourceStream::SourceStream(PipeWireConnection &connection, const Options &options)
    : m_connection(connection),
      m_options(options)
{
    m_frameTimer.setInterval(FrameInterval);
    connect(&m_frameTimer, &QTimer::timeout, this, [this] {
        if (m_stream)
            pw_stream_trigger_process(m_stream);
    });
}

SourceStream::~SourceStream()
{
    m_frameTimer.stop();
    if (m_stream) {
        spa_hook_remove(&m_listener);
        pw_stream_destroy(m_stream);
    }
}

bool SourceStream::start(QString *error)
{
    const QByteArray name = m_options.nodeName.toUtf8();
    m_stream = pw_stream_new(m_connection.core(), name.constData(),
            pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_MEDIA_ROLE, "Screen",
                    PW_KEY_NODE_DESCRIPTION, "Stand-in screen cast", nullptr));
    if (!m_stream) {
        *error = QStringLiteral("cannot create a PipeWire stream");
        return false;
    }
    static const pw_stream_events events = [] {
        pw_stream_events handlers{};
        handlers.version = PW_VERSION_STREAM_EVENTS;
        handlers.state_changed = &SourceStream::onStateChanged;
        handlers.param_changed = &SourceStream::onParamChanged;
        handlers.process = &SourceStream::onProcess;
        return handlers;
    }();
    pw_stream_add_listener(m_stream, &m_listener, &events, this);

    // Like the desktop portals: a fixed size, a variable frame rate (0/1) up to 30 a second.
    std::uint8_t podBytes[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(podBytes, sizeof(podBytes));
    const spa_rectangle size = SPA_RECTANGLE(static_cast<std::uint32_t>(m_options.width),
            static_cast<std::uint32_t>(m_options.height));
    const spa_fraction variableRate = SPA_FRACTION(0, 1);
    const spa_fraction maxRate = SPA_FRACTION(MaxFramesPerSecond, 1);
    const spa_fraction minRate = SPA_FRACTION(1, 1);
    const spa_pod *params[1];
    params[0] = static_cast<const spa_pod *>(
            spa_pod_builder_add_object(&builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat,
                    SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
                    SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
                    SPA_POD_CHOICE_ENUM_Id(4, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                            SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx),
                    SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate,
                    SPA_POD_Fraction(&variableRate), SPA_FORMAT_VIDEO_maxFramerate,
                    SPA_POD_CHOICE_RANGE_Fraction(&maxRate, &minRate, &maxRate)));

    const int result = pw_stream_connect(m_stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
            params, 1);
    if (result < 0) {
        *error = QStringLiteral("cannot connect the PipeWire stream: %1")
                         .arg(QString::fromLocal8Bit(std::strerror(-result)));
        return false;
    }
    return true;
}

void SourceStream::onStateChanged(
        void *data, pw_stream_state, pw_stream_state state, const char *error)
{
    auto *self = static_cast<SourceStream *>(data);
    switch (state) {
    case PW_STREAM_STATE_ERROR:
        self->m_frameTimer.stop();
        emit self->failed(QString::fromUtf8(error ? error : "stream error"));
        break;
    case PW_STREAM_STATE_PAUSED:
        self->m_frameTimer.stop();
        self->m_nodeId = pw_stream_get_node_id(self->m_stream);
        if (!self->m_readySent && self->m_nodeId != SPA_ID_INVALID) {
            self->m_readySent = true;
            emit self->ready(self->m_nodeId);
        }
        break;
    case PW_STREAM_STATE_STREAMING:
        self->m_frameTimer.start();
        break;
    default:
        self->m_frameTimer.stop();
        break;
    }
}

void SourceStream::onParamChanged(void *data, std::uint32_t id, const spa_pod *param)
{
    if (param && id == SPA_PARAM_Format)
        static_cast<SourceStream *>(data)->formatChosen(param);
}

void SourceStream::formatChosen(const spa_pod *param)
{
    if (spa_format_video_raw_parse(param, &m_format) < 0)
        return;
    const int width = static_cast<int>(m_format.size.width);
    const int height = static_cast<int>(m_format.size.height);
    m_strideBytes = width * BytesPerPixel;
    m_picture = renderPicture(m_format.format, width, height, m_options.cursorEmbedded);
    if (!m_options.pictureFile.isEmpty())
        drawImage(m_options.pictureFile, m_format.format, width, height, m_picture);

    std::uint8_t podBytes[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(podBytes, sizeof(podBytes));
    const spa_pod *params[2];
    params[0] = static_cast<const spa_pod *>(spa_pod_builder_add_object(&builder,
            SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
            SPA_PARAM_BUFFERS_size, SPA_POD_Int(m_strideBytes * height), SPA_PARAM_BUFFERS_stride,
            SPA_POD_Int(m_strideBytes), SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))));
    params[1] = static_cast<const spa_pod *>(
            spa_pod_builder_add_object(&builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
                    SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
                    SPA_POD_Int(sizeof(spa_meta_header))));
    pw_stream_update_params(m_stream, params, 2);
}

void SourceStream::onProcess(void *data)
{
    static_cast<SourceStream *>(data)->fillBuffer();
}

void SourceStream::fillBuffer()
{
    pw_buffer *buffer = pw_stream_dequeue_buffer(m_stream);
    if (!buffer)
        return;
    spa_buffer *spaBuffer = buffer->buffer;
    spa_data &plane = spaBuffer->datas[0];
    if (!plane.data || m_picture.empty() || plane.maxsize < m_picture.size()) {
        // Not mapped or too small: hand it back empty rather than with stale bytes.
        plane.chunk->size = 0;
        pw_stream_queue_buffer(m_stream, buffer);
        return;
    }
    std::memcpy(plane.data, m_picture.data(), m_picture.size());
    plane.chunk->offset = 0;
    plane.chunk->size = static_cast<std::uint32_t>(m_picture.size());
    plane.chunk->stride = m_strideBytes;
    if (auto *header = static_cast<spa_meta_header *>(
                spa_buffer_find_meta_data(spaBuffer, SPA_META_Header, sizeof(spa_meta_header)))) {
        header->pts = -1;
        header->flags = 0;
        header->seq = m_framesSent;
        header->dts_offset = 0;
    }
    pw_stream_queue_buffer(m_stream, buffer);
    ++m_framesSent;
    emit frameSent(m_framesSent);
}

void drawImage(const QString &file, spa_video_format format, int width, int height,
        std::vector<std::uint8_t> &picture)
{
    const QImage image =
            QImage(file)
                    .scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                    .convertToFormat(QImage::Format_RGB32);
    if (image.isNull()) {
        qWarning("stand-in: cannot read the picture %s", qPrintable(file));
        return;
    }
    std::uint8_t *out = picture.data();
    for (int y = 0; y < height; ++y) {
        const auto *row = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < width; ++x, out += BytesPerPixel) {
            const bool rgb = format == SPA_VIDEO_FORMAT_RGBx;
            out[0] = std::uint8_t(rgb ? qRed(row[x]) : qBlue(row[x]));
            out[1] = std::uint8_t(qGreen(row[x]));
            out[2] = std::uint8_t(rgb ? qBlue(row[x]) : qRed(row[x]));
            out[3] = 0xff;
        }
    }
}

std::vector<std::uint8_t> renderPicture(
        spa_video_format format, int width, int height, bool cursorEmbedded)
{
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(width) * height * BytesPerPixel);
    std::uint8_t *out = bytes.data();
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x, out += BytesPerPixel) {
            const Rgb colour = pictureColourAt(x, y, width, height, cursorEmbedded);
            if (format == SPA_VIDEO_FORMAT_RGBx) {
                out[0] = colour.r;
                out[1] = colour.g;
                out[2] = colour.b;
            } else { // BGRx and BGRA
                out[0] = colour.b;
                out[1] = colour.g;
                out[2] = colour.r;
            }
            out[3] = 0xff; // opaque where it is alpha, ignored where it is padding
        }
    }
    return bytes;
}

} // namespace standin

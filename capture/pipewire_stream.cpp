#include "pipewire_stream.h"

#include "capture_log.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#pragma GCC diagnostic pop

namespace capture {

namespace {

void initPipeWire()
{
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

const char *formatName(spa_video_format format)
{
    switch (format) {
    case SPA_VIDEO_FORMAT_BGRx:
        return "BGRx";
    case SPA_VIDEO_FORMAT_BGRA:
        return "BGRA";
    case SPA_VIDEO_FORMAT_RGBx:
        return "RGBx";
    default:
        return "";
    }
}

// Rows of 32-bit pixels in the node's layout into rows of blue, green, red, unused.
void convertRows(const std::uint8_t *source, int sourceStride, spa_video_format format, int width,
        int height, std::uint8_t *target, int targetStride)
{
    const std::size_t rowBytes = std::size_t(width) * 4;
    for (int row = 0; row < height; ++row) {
        const std::uint8_t *in = source + std::ptrdiff_t(row) * sourceStride;
        std::uint8_t *out = target + std::ptrdiff_t(row) * targetStride;
        if (format != SPA_VIDEO_FORMAT_RGBx) {
            // BGRx and BGRA are the layout already; the alpha byte is never read.
            std::memcpy(out, in, rowBytes);
            continue;
        }
        for (int x = 0; x < width; ++x, in += 4, out += 4) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
            out[3] = 0xff;
        }
    }
}

} // namespace

struct PipeWireStream::Impl
{
    explicit Impl(PipeWireStream &owner) : owner(owner) { }

    PipeWireStream &owner;
    std::uint32_t nodeId = 0;
    pw_thread_loop *loop = nullptr;
    pw_context *context = nullptr;
    pw_core *core = nullptr;
    pw_registry *registry = nullptr;
    pw_stream *stream = nullptr;
    spa_hook coreListener{};
    spa_hook registryListener{};
    spa_hook streamListener{};

    // Touched on the PipeWire thread only.
    spa_video_info_raw format{};
    bool formatKnown = false;
    bool streamed = false;
    bool stopping = false;
    bool warnedUnmapped = false;
    bool warnedShort = false;

    static void onCoreError(void *data, std::uint32_t id, int seq, int res, const char *message);
    static void onGlobalRemove(void *data, std::uint32_t id);
    static void onStateChanged(
            void *data, pw_stream_state old, pw_stream_state state, const char *error);
    static void onParamChanged(void *data, std::uint32_t id, const spa_pod *param);
    static void onProcess(void *data);

    void copyPicture(const spa_buffer &buffer);
    void teardown();
};

void PipeWireStream::Impl::onCoreError(
        void *data, std::uint32_t id, int seq, int res, const char *message)
{
    (void)seq;
    auto *impl = static_cast<Impl *>(data);
    // Only a lost connection is the end; other errors name requests that went wrong (such as
    // one on the stream's node after the session manager removed it).
    if (id == PW_ID_CORE && res == -EPIPE && !impl->stopping) {
        impl->owner.endWith(QStringLiteral("the connection to PipeWire was lost"));
        return;
    }
    qCInfo(lcCapture) << "PipeWire error on object" << id << ":" << res << message;
}

void PipeWireStream::Impl::onGlobalRemove(void *data, std::uint32_t id)
{
    auto *impl = static_cast<Impl *>(data);
    if (id == impl->nodeId && !impl->stopping)
        impl->owner.endWith(QStringLiteral("the node went away"));
}

void PipeWireStream::Impl::onStateChanged(
        void *data, pw_stream_state old, pw_stream_state state, const char *error)
{
    auto *impl = static_cast<Impl *>(data);
    qCDebug(lcCapture) << "PipeWire stream" << pw_stream_state_as_string(old) << "->"
                       << pw_stream_state_as_string(state) << (error ? error : "");
    if (impl->stopping)
        return;
    if (state == PW_STREAM_STATE_STREAMING)
        impl->streamed = true;
    if (state == PW_STREAM_STATE_ERROR)
        impl->owner.endWith(QStringLiteral("the stream failed: %1")
                                    .arg(QString::fromUtf8(error ? error : "stream error")));
    else if (state == PW_STREAM_STATE_UNCONNECTED)
        impl->owner.endWith(QStringLiteral("the stream failed"));
}

void PipeWireStream::Impl::onParamChanged(void *data, std::uint32_t id, const spa_pod *param)
{
    auto *impl = static_cast<Impl *>(data);
    if (id != SPA_PARAM_Format || !param)
        return;
    std::uint32_t mediaType = 0, mediaSubtype = 0;
    spa_video_info_raw info{};
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video
            || mediaSubtype != SPA_MEDIA_SUBTYPE_raw || spa_format_video_raw_parse(param, &info) < 0
            || !*formatName(info.format)) {
        qCWarning(lcCapture) << "PipeWire offered a picture format we cannot read";
        impl->formatKnown = false;
        return;
    }
    impl->format = info;
    impl->formatKnown = true;
    {
        std::lock_guard lock(impl->owner.m_mutex);
        impl->owner.m_negotiatedSize = QSize(int(info.size.width), int(info.size.height));
        impl->owner.m_format = QString::fromLatin1(formatName(info.format));
    }
    qCInfo(lcCapture) << "PipeWire pictures:" << formatName(info.format) << info.size.width << "x"
                      << info.size.height;

    // Memory the process can read: plain memory or a shared file, mapped by the stream.
    std::uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod *params[1];
    params[0] = static_cast<const spa_pod *>(
            spa_pod_builder_add_object(&builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers,
                    SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(8, 2, 16),
                    SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_dataType,
                    SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))));
    pw_stream_update_params(impl->stream, params, 1);
}

void PipeWireStream::Impl::onProcess(void *data)
{
    auto *impl = static_cast<Impl *>(data);
    // Only the newest of the buffers waiting is worth a copy.
    pw_buffer *newest = nullptr;
    while (pw_buffer *next = pw_stream_dequeue_buffer(impl->stream)) {
        if (newest)
            pw_stream_queue_buffer(impl->stream, newest);
        newest = next;
    }
    if (!newest)
        return;
    if (impl->formatKnown && newest->buffer && newest->buffer->n_datas > 0)
        impl->copyPicture(*newest->buffer);
    pw_stream_queue_buffer(impl->stream, newest);
}

void PipeWireStream::Impl::copyPicture(const spa_buffer &buffer)
{
    const spa_data &plane = buffer.datas[0];
    if (!plane.data) {
        if (!warnedUnmapped)
            qCWarning(lcCapture) << "PipeWire picture not in readable memory (type" << plane.type
                                 << "); dropped";
        warnedUnmapped = true;
        return;
    }
    const spa_chunk *chunk = plane.chunk;
    if (!chunk || chunk->size == 0 || (chunk->flags & SPA_CHUNK_FLAG_CORRUPTED))
        return;
    const int width = int(format.size.width);
    const int height = int(format.size.height);
    const int rowBytes = width * 4;
    const int stride = chunk->stride > 0 ? chunk->stride : rowBytes;
    const std::uint64_t offset = chunk->offset % std::max<std::uint32_t>(plane.maxsize, 1);
    // Every row read must lie inside the buffer, whatever the chunk claims.
    const std::uint64_t needed = std::uint64_t(stride) * std::uint64_t(height - 1) + rowBytes;
    if (width <= 0 || height <= 0 || stride < rowBytes || offset + needed > plane.maxsize) {
        if (!warnedShort)
            qCWarning(lcCapture) << "PipeWire picture smaller than its format (" << plane.maxsize
                                 << "bytes, stride" << stride << "); dropped";
        warnedShort = true;
        return;
    }
    const auto *source = static_cast<const std::uint8_t *>(plane.data) + offset;

    {
        std::lock_guard lock(owner.m_mutex);
        StreamPicture &picture = owner.m_newest;
        picture.width = width;
        picture.height = height;
        picture.strideBytes = rowBytes;
        picture.pixels.resize(std::size_t(rowBytes) * std::size_t(height));
        convertRows(source, stride, format.format, width, height, picture.pixels.data(), rowBytes);
        picture.serial = owner.m_received.fetch_add(1) + 1;
    }
    owner.m_arrived.notify_all();
}

void PipeWireStream::Impl::teardown()
{
    if (loop) {
        pw_thread_loop_lock(loop);
        stopping = true;
        if (stream) {
            spa_hook_remove(&streamListener);
            pw_stream_disconnect(stream);
            pw_stream_destroy(stream);
            stream = nullptr;
        }
        if (registry) {
            spa_hook_remove(&registryListener);
            pw_proxy_destroy(reinterpret_cast<pw_proxy *>(registry));
            registry = nullptr;
        }
        if (core) {
            spa_hook_remove(&coreListener);
            pw_core_disconnect(core);
            core = nullptr;
        }
        pw_thread_loop_unlock(loop);
        pw_thread_loop_stop(loop);
    }
    if (context) {
        pw_context_destroy(context);
        context = nullptr;
    }
    if (loop) {
        pw_thread_loop_destroy(loop);
        loop = nullptr;
    }
}

PipeWireStream::PipeWireStream(QObject *parent) : QObject(parent) { }

PipeWireStream::~PipeWireStream()
{
    stop();
}

bool PipeWireStream::start(int fd, std::uint32_t nodeId, QString *error)
{
    stop();
    {
        std::lock_guard lock(m_mutex);
        m_newest = {};
        m_negotiatedSize = {};
        m_format.clear();
        m_endReason.clear();
    }
    m_received = 0;
    m_ended = false;

    const auto failWith = [&](const QString &reason) {
        qCWarning(lcCapture) << reason;
        if (error)
            *error = reason;
        stop();
        return false;
    };

    initPipeWire();
    m_impl = std::make_unique<Impl>(*this);
    Impl &impl = *m_impl;
    impl.nodeId = nodeId;
    impl.loop = pw_thread_loop_new("tandeo-screen", nullptr);
    if (!impl.loop)
        return failWith(QStringLiteral("PipeWire could not be started in this program"));
    impl.context = pw_context_new(pw_thread_loop_get_loop(impl.loop), nullptr, 0);
    if (!impl.context)
        return failWith(QStringLiteral("PipeWire could not be started in this program"));
    if (pw_thread_loop_start(impl.loop) < 0)
        return failWith(QStringLiteral("PipeWire could not be started in this program"));

    const int ownFd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (ownFd < 0)
        return failWith(QStringLiteral("the connection to PipeWire is not usable"));

    pw_thread_loop_lock(impl.loop);
    // The core takes the socket over, also when it fails.
    impl.core = pw_context_connect_fd(impl.context, ownFd, nullptr, 0);
    if (!impl.core) {
        pw_thread_loop_unlock(impl.loop);
        return failWith(QStringLiteral("could not connect to PipeWire: %1")
                                .arg(QString::fromLocal8Bit(std::strerror(errno))));
    }
    static const pw_core_events coreEvents = [] {
        pw_core_events events{};
        events.version = PW_VERSION_CORE_EVENTS;
        events.error = &Impl::onCoreError;
        return events;
    }();
    pw_core_add_listener(impl.core, &impl.coreListener, &coreEvents, &impl);

    // The node's removal shows here first, also while nothing is linked yet.
    static const pw_registry_events registryEvents = [] {
        pw_registry_events events{};
        events.version = PW_VERSION_REGISTRY_EVENTS;
        events.global_remove = &Impl::onGlobalRemove;
        return events;
    }();
    impl.registry = pw_core_get_registry(impl.core, PW_VERSION_REGISTRY, 0);
    if (impl.registry)
        pw_registry_add_listener(impl.registry, &impl.registryListener, &registryEvents, &impl);

    // No other node when this one goes away: the session manager then ends the stream
    // instead of moving it to whatever else is there.
    pw_properties *properties = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
            "Capture", PW_KEY_MEDIA_ROLE, "Screen", PW_KEY_NODE_DONT_RECONNECT, "true", nullptr);
    impl.stream = pw_stream_new(impl.core, "tandeo-screen", properties);
    if (!impl.stream) {
        pw_thread_loop_unlock(impl.loop);
        return failWith(QStringLiteral("PipeWire could not make a stream"));
    }
    static const pw_stream_events streamEvents = [] {
        pw_stream_events events{};
        events.version = PW_VERSION_STREAM_EVENTS;
        events.state_changed = &Impl::onStateChanged;
        events.param_changed = &Impl::onParamChanged;
        events.process = &Impl::onProcess;
        return events;
    }();
    pw_stream_add_listener(impl.stream, &impl.streamListener, &streamEvents, &impl);

    std::uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_rectangle defaultSize = SPA_RECTANGLE(1920, 1080);
    const spa_rectangle minSize = SPA_RECTANGLE(1, 1);
    const spa_rectangle maxSize = SPA_RECTANGLE(16384, 16384);
    const spa_fraction defaultRate = SPA_FRACTION(30, 1);
    const spa_fraction minRate = SPA_FRACTION(0, 1);
    const spa_fraction maxRate = SPA_FRACTION(1000, 1);
    const spa_pod *params[1];
    params[0] = static_cast<const spa_pod *>(spa_pod_builder_add_object(&builder,
            SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
            SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
            SPA_POD_CHOICE_ENUM_Id(4, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                    SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx),
            SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &minSize, &maxSize),
            SPA_FORMAT_VIDEO_framerate,
            SPA_POD_CHOICE_RANGE_Fraction(&defaultRate, &minRate, &maxRate)));

    // The portal names the node by its id. The session manager links by id only through the
    // target given here (target.object would want the node's serial, which the portal does
    // not tell).
    const int connected = pw_stream_connect(impl.stream, PW_DIRECTION_INPUT, nodeId,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
            params, 1);
    pw_thread_loop_unlock(impl.loop);
    if (connected < 0)
        return failWith(QStringLiteral("PipeWire could not connect to the node: %1")
                                .arg(QString::fromLocal8Bit(std::strerror(-connected))));
    return true;
}

void PipeWireStream::stop()
{
    if (!m_impl)
        return;
    m_impl->teardown();
    m_impl.reset();
}

bool PipeWireStream::takeNewest(StreamPicture &picture)
{
    std::lock_guard lock(m_mutex);
    if (m_newest.serial == 0 || m_newest.serial <= picture.serial)
        return false;
    std::swap(picture, m_newest);
    // What is left behind is the caller's older buffer, refilled by the next picture.
    m_newest.serial = 0;
    return true;
}

bool PipeWireStream::waitForPicture(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    m_arrived.wait_for(lock, timeout, [this] { return m_received.load() != 0 || m_ended.load(); });
    return m_received.load() != 0;
}

QSize PipeWireStream::negotiatedSize() const
{
    std::lock_guard lock(m_mutex);
    return m_negotiatedSize;
}

QString PipeWireStream::negotiatedFormat() const
{
    std::lock_guard lock(m_mutex);
    return m_format;
}

QString PipeWireStream::endReason() const
{
    std::lock_guard lock(m_mutex);
    return m_endReason;
}

void PipeWireStream::endWith(const QString &reason)
{
    if (m_ended.exchange(true))
        return;
    {
        std::lock_guard lock(m_mutex);
        m_endReason = reason;
    }
    m_arrived.notify_all();
    qCInfo(lcCapture) << "screen stream ended:" << reason;
    QMetaObject::invokeMethod(
            this, [this, reason] { emit ended(reason); }, Qt::QueuedConnection);
}

} // namespace capture

#include "pipewire_frame_reader.h"

#include <cstring>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <string>

namespace testsupport {

std::uint32_t RawFrame::rgbAt(int x, int y) const
{
    const std::uint8_t *pixel = bytes.data() + std::size_t(y) * strideBytes + std::size_t(x) * 4;
    if (format == SPA_VIDEO_FORMAT_RGBx || format == SPA_VIDEO_FORMAT_RGBA)
        return std::uint32_t(pixel[0]) << 16 | std::uint32_t(pixel[1]) << 8 | pixel[2];
    return std::uint32_t(pixel[2]) << 16 | std::uint32_t(pixel[1]) << 8 | pixel[0];
}

PipeWireFrameReader::PipeWireFrameReader(int fd, std::uint32_t nodeId)
{
    pw_init(nullptr, nullptr);
    m_loop = pw_thread_loop_new("frame-reader", nullptr);
    m_context = pw_context_new(pw_thread_loop_get_loop(m_loop), nullptr, 0);
    pw_thread_loop_start(m_loop);
    pw_thread_loop_lock(m_loop);
    m_core = pw_context_connect_fd(m_context, fd, nullptr, 0);
    if (m_core) {
        const std::string target = std::to_string(nodeId);
        m_stream = pw_stream_new(m_core, "standin-test-reader",
                pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                        PW_KEY_MEDIA_ROLE, "Screen", PW_KEY_TARGET_OBJECT, target.c_str(),
                        nullptr));
        static const pw_stream_events events = [] {
            pw_stream_events handlers{};
            handlers.version = PW_VERSION_STREAM_EVENTS;
            handlers.state_changed = &PipeWireFrameReader::onStateChanged;
            handlers.param_changed = &PipeWireFrameReader::onParamChanged;
            handlers.process = &PipeWireFrameReader::onProcess;
            return handlers;
        }();
        pw_stream_add_listener(m_stream, &m_listener, &events, this);

        std::uint8_t podBytes[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(podBytes, sizeof(podBytes));
        const spa_rectangle defaultSize = SPA_RECTANGLE(1280, 720);
        const spa_rectangle minSize = SPA_RECTANGLE(1, 1);
        const spa_rectangle maxSize = SPA_RECTANGLE(8192, 8192);
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
                SPA_FORMAT_VIDEO_size,
                SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &minSize, &maxSize),
                SPA_FORMAT_VIDEO_framerate,
                SPA_POD_CHOICE_RANGE_Fraction(&defaultRate, &minRate, &maxRate)));
        pw_stream_connect(m_stream, PW_DIRECTION_INPUT, nodeId,
                static_cast<pw_stream_flags>(
                        PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
                params, 1);
    }
    pw_thread_loop_unlock(m_loop);
}

PipeWireFrameReader::~PipeWireFrameReader()
{
    pw_thread_loop_lock(m_loop);
    if (m_stream)
        pw_stream_destroy(m_stream);
    if (m_core)
        pw_core_disconnect(m_core);
    pw_thread_loop_unlock(m_loop);
    pw_thread_loop_stop(m_loop);
    pw_context_destroy(m_context);
    pw_thread_loop_destroy(m_loop);
}

RawFrame PipeWireFrameReader::lastFrame() const
{
    std::lock_guard lock(m_mutex);
    return m_frame;
}

void PipeWireFrameReader::onStateChanged(
        void *data, pw_stream_state, pw_stream_state state, const char *)
{
    static_cast<PipeWireFrameReader *>(data)->m_state = state;
}

void PipeWireFrameReader::onParamChanged(void *data, std::uint32_t id, const spa_pod *param)
{
    auto *self = static_cast<PipeWireFrameReader *>(data);
    if (param && id == SPA_PARAM_Format)
        spa_format_video_raw_parse(param, &self->m_format);
}

void PipeWireFrameReader::onProcess(void *data)
{
    auto *self = static_cast<PipeWireFrameReader *>(data);
    pw_buffer *buffer = pw_stream_dequeue_buffer(self->m_stream);
    if (!buffer)
        return;
    const spa_data &plane = buffer->buffer->datas[0];
    if (plane.data && plane.chunk->size > 0) {
        const auto *start = static_cast<const std::uint8_t *>(plane.data) + plane.chunk->offset;
        std::lock_guard lock(self->m_mutex);
        self->m_frame.format = self->m_format.format;
        self->m_frame.width = int(self->m_format.size.width);
        self->m_frame.height = int(self->m_format.size.height);
        self->m_frame.strideBytes = plane.chunk->stride;
        self->m_frame.bytes.assign(start, start + plane.chunk->size);
        ++self->m_framesSeen;
    }
    pw_stream_queue_buffer(self->m_stream, buffer);
}

} // namespace testsupport

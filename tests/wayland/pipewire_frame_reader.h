#ifndef TANDEO_TESTS_PIPEWIRE_FRAME_READER_H
#define TANDEO_TESTS_PIPEWIRE_FRAME_READER_H

// The smallest PipeWire screen-cast consumer the stand-in's test needs: it connects over the
// portal's fd, links to one node, and keeps the latest picture. PipeWire runs on its own
// thread; the accessors may be called from the test's thread.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <pipewire/pipewire.h>
#include <spa/param/video/raw.h>
#include <vector>

namespace testsupport {

struct RawFrame
{
    spa_video_format format = SPA_VIDEO_FORMAT_UNKNOWN;
    int width = 0;
    int height = 0;
    int strideBytes = 0;
    std::vector<std::uint8_t> bytes;

    // The pixel's red, green, blue for the 32-bit formats the portal offers.
    std::uint32_t rgbAt(int x, int y) const;
};

class PipeWireFrameReader
{
public:
    // Takes over fd (a connection to the PipeWire daemon) and asks for nodeId's pictures.
    PipeWireFrameReader(int fd, std::uint32_t nodeId);
    ~PipeWireFrameReader();

    PipeWireFrameReader(const PipeWireFrameReader &) = delete;
    PipeWireFrameReader &operator=(const PipeWireFrameReader &) = delete;

    pw_stream_state state() const { return m_state; }
    int framesSeen() const { return m_framesSeen; }
    RawFrame lastFrame() const;

private:
    static void onStateChanged(void *data, pw_stream_state, pw_stream_state state, const char *);
    static void onParamChanged(void *data, std::uint32_t id, const spa_pod *param);
    static void onProcess(void *data);

    pw_thread_loop *m_loop = nullptr;
    pw_context *m_context = nullptr;
    pw_core *m_core = nullptr;
    pw_stream *m_stream = nullptr;
    spa_hook m_listener{};
    std::atomic<pw_stream_state> m_state{ PW_STREAM_STATE_UNCONNECTED };
    std::atomic<int> m_framesSeen{ 0 };
    spa_video_info_raw m_format{}; // PipeWire's thread only
    mutable std::mutex m_mutex;
    RawFrame m_frame; // under m_mutex
};

} // namespace testsupport

#endif // TANDEO_TESTS_PIPEWIRE_FRAME_READER_H

#include "rtp_endpoint.h"

#include "endpoint_sockets.h"
#include "frame_assembler.h"
#include "unit_recorder.h"

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace unitsim {

namespace {

// Writes a valid frame as frame-NNNNNN.jpg into the save folder, when one is set.
void saveFrame(Frame &frame, const std::string &folder)
{
    if (!frame.valid || folder.empty())
        return;
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    char name[32];
    std::snprintf(name, sizeof name, "frame-%06zu.jpg", frame.index);
    const std::filesystem::path path = std::filesystem::path(folder) / name;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(
            reinterpret_cast<const char *>(frame.jpeg.data()), std::streamsize(frame.jpeg.size()));
    file.close();
    if (file)
        frame.savedPath = path.string();
}

// The frames the reader ended, on their way to the thread that checks and records them. The
// reader waits when the checker is this far behind, so every frame is still recorded.
constexpr std::size_t FramesAwaitingCheck = 8;

class CheckQueue
{
public:
    void push(Frame frame)
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_frames.size() < FramesAwaitingCheck; });
        m_frames.push_back(std::move(frame));
        lock.unlock();
        m_changed.notify_all();
    }
    // Empty once close() was called and everything before it was taken.
    std::optional<Frame> take()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_closed || !m_frames.empty(); });
        if (m_frames.empty())
            return std::nullopt;
        Frame frame = std::move(m_frames.front());
        m_frames.pop_front();
        lock.unlock();
        m_changed.notify_all();
        return frame;
    }
    void close()
    {
        {
            std::lock_guard lock(m_mutex);
            m_closed = true;
        }
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Frame> m_frames;
    bool m_closed = false;
};

// Decoding a picture takes milliseconds: done on the reader's thread, a fast link would fill a
// small receive buffer meanwhile. The checks run here, in the order the frames ended.
void checkAndRecord(UnitRecorder &recorder, CheckQueue &queue)
{
    FrameChecker checker;
    while (std::optional<Frame> frame = queue.take()) {
        checker.check(*frame);
        const Options opts = recorder.options();
        saveFrame(*frame, opts.saveFolder);
        recorder.recordFrame(std::move(*frame), !opts.saveFolder.empty());
    }
}

// Reads every datagram waiting on the socket into the assembler.
void drain(UnitRecorder &recorder, int socketFd, FrameAssembler &assembler,
        std::vector<std::uint8_t> &buffer, CheckQueue &checks)
{
    while (true) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        const ssize_t got = ::recvfrom(socketFd, buffer.data(), buffer.size(), MSG_TRUNC,
                reinterpret_cast<sockaddr *>(&peer), &len);
        if (got < 0)
            return;
        assembler.setExpectedSsrc(recorder.expectedSsrc());
        const std::size_t size = std::min(std::size_t(got), buffer.size());
        AssemblyOutput out = assembler.push(std::span(buffer.data(), size), recorder.nowMs());
        out.packet.source = endpointText(peer);
        recorder.recordPacket(std::move(out.packet));
        for (Frame &frame : out.frames)
            checks.push(std::move(frame));
    }
}

} // namespace

void RtpEndpoint::run()
{
    FrameAssembler assembler(FrameAssembler::Checking::Deferred);
    CheckQueue checks;
    std::thread checker([this, &checks] { checkAndRecord(m_recorder, checks); });
    std::vector<std::uint8_t> buffer(65536);
    while (!m_stopping) {
        pollfd fds[2] = { { m_wakeFd, POLLIN, 0 }, { m_socketFd, POLLIN, 0 } };
        const int n = ::poll(fds, 2, -1);
        if (n < 0 && errno != EINTR)
            break;
        if (m_stopping)
            break;
        if (fds[1].revents & POLLIN)
            drain(m_recorder, m_socketFd, assembler, buffer, checks);
    }
    if (std::optional<Frame> last = assembler.flush(m_recorder.nowMs()))
        checks.push(std::move(*last));
    checks.close();
    checker.join();
}

} // namespace unitsim

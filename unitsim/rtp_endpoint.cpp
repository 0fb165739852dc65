#include "rtp_endpoint.h"

#include "endpoint_sockets.h"
#include "frame_assembler.h"
#include "unit_recorder.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <thread>
#include <vector>

namespace unitsim {

namespace {

// Writes a valid frame as frame-NNNNNN.jpg into the save folder, when one is set. The file
// appears under its name only once whole: whoever watches the folder while frames come (a
// viewer, a test taking the newest) never opens half a picture.
void saveFrame(Frame &frame, const std::string &folder)
{
    if (!frame.valid || folder.empty())
        return;
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    char name[32];
    std::snprintf(name, sizeof name, "frame-%06zu.jpg", frame.index);
    const std::filesystem::path path = std::filesystem::path(folder) / name;
    std::filesystem::path partial = path;
    partial += ".part";
    std::ofstream file(partial, std::ios::binary | std::ios::trunc);
    file.write(
            reinterpret_cast<const char *>(frame.jpeg.data()), std::streamsize(frame.jpeg.size()));
    file.close();
    if (file) {
        std::filesystem::rename(partial, path, ec);
        if (!ec)
            frame.savedPath = path.string();
    }
    if (frame.savedPath.empty())
        std::filesystem::remove(partial, ec);
}

void recordFrame(UnitRecorder &recorder, Frame frame, const Options &opts)
{
    saveFrame(frame, opts.saveFolder);
    recorder.recordFrame(std::move(frame), !opts.saveFolder.empty());
}

// One datagram as it came off the socket.
struct Datagram
{
    std::vector<std::uint8_t> bytes;
    std::int64_t timeMs = 0;
    sockaddr_in peer{};
};

// The datagrams the reader took off the socket, on their way to the thread that reassembles,
// checks and records them. The reader never waits for that thread while it is merely busy: a
// batch it cannot hand over at once stays with it for the next try. Only when the follower is
// this far behind does the reader wait, so nothing read is dropped here.
constexpr std::size_t DatagramsInFlight = 4096;

class DatagramQueue
{
public:
    // Moves batch over. Without wait, gives up (batch kept) when the follower holds the queue
    // or is too far behind; with it, waits until the follower has caught up.
    void handOver(std::deque<Datagram> &batch, bool wait)
    {
        std::unique_lock lock(m_mutex, std::defer_lock);
        if (wait) {
            lock.lock();
            m_changed.wait(lock, [this] { return m_datagrams.size() < DatagramsInFlight; });
        } else if (!lock.try_lock() || m_datagrams.size() >= DatagramsInFlight) {
            return;
        }
        const bool wasEmpty = m_datagrams.empty();
        std::move(batch.begin(), batch.end(), std::back_inserter(m_datagrams));
        batch.clear();
        lock.unlock();
        if (wasEmpty)
            m_changed.notify_all();
    }
    // Waits for datagrams and takes all that are there; empty once close() was called and
    // everything before it was taken.
    std::deque<Datagram> takeAll()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_closed || !m_datagrams.empty(); });
        std::deque<Datagram> taken;
        taken.swap(m_datagrams);
        lock.unlock();
        m_changed.notify_all();
        return taken;
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
    std::deque<Datagram> m_datagrams;
    bool m_closed = false;
};

// Reassembling and recording a packet takes microseconds and checking a picture milliseconds:
// done on the thread that reads the socket, a fast link fills a small receive buffer
// meanwhile. Here they follow the reader, in the order the datagrams came.
void assembleAndRecord(UnitRecorder &recorder, DatagramQueue &queue)
{
    FrameAssembler assembler;
    for (;;) {
        std::deque<Datagram> datagrams = queue.takeAll();
        if (datagrams.empty())
            break;
        for (Datagram &datagram : datagrams) {
            assembler.setExpectedSsrc(recorder.expectedSsrc());
            AssemblyOutput out = assembler.push(datagram.bytes, datagram.timeMs);
            out.packet.source = endpointText(datagram.peer);
            recorder.recordPacket(std::move(out.packet));
            for (Frame &frame : out.frames)
                recordFrame(recorder, std::move(frame), recorder.options());
        }
    }
    if (std::optional<Frame> last = assembler.flush(recorder.nowMs()))
        recordFrame(recorder, std::move(*last), recorder.options());
}

// Takes every datagram waiting on the socket into batch.
void drain(UnitRecorder &recorder, int socketFd, std::vector<std::uint8_t> &buffer,
        std::deque<Datagram> &batch)
{
    while (true) {
        Datagram datagram;
        socklen_t len = sizeof datagram.peer;
        const ssize_t got = ::recvfrom(socketFd, buffer.data(), buffer.size(), MSG_TRUNC,
                reinterpret_cast<sockaddr *>(&datagram.peer), &len);
        if (got < 0)
            return;
        datagram.timeMs = recorder.nowMs();
        const std::size_t size = std::min(std::size_t(got), buffer.size());
        datagram.bytes.assign(buffer.data(), buffer.data() + size);
        batch.push_back(std::move(datagram));
    }
}

} // namespace

void RtpEndpoint::run()
{
    DatagramQueue datagrams;
    std::thread follower([this, &datagrams] {
        pthread_setname_np(pthread_self(), "unitsim-frames");
        // Checking a picture (decoding it in full) is the emulator's bookkeeping, not a unit's
        // network side, and a unit has a processor of its own: on a machine shared with the
        // program under test, it waits for time the program leaves over instead of delaying
        // the program's answer to the next pull. The reader keeps its priority.
        setpriority(PRIO_PROCESS, pid_t(syscall(SYS_gettid)), 10);
        assembleAndRecord(m_recorder, datagrams);
    });
    std::vector<std::uint8_t> buffer(65536);
    std::deque<Datagram> batch; // read, not yet handed over
    while (!m_stopping) {
        pollfd fds[2] = { { m_wakeFd, POLLIN, 0 }, { m_socketFd, POLLIN, 0 } };
        // A batch the follower could not take is offered again within a millisecond.
        const int n = ::poll(fds, 2, batch.empty() ? -1 : 1);
        if (n < 0 && errno != EINTR)
            break;
        if (m_stopping)
            break;
        if (fds[1].revents & POLLIN)
            drain(m_recorder, m_socketFd, buffer, batch);
        if (!batch.empty())
            datagrams.handOver(batch, batch.size() >= DatagramsInFlight);
    }
    if (!batch.empty())
        datagrams.handOver(batch, true);
    datagrams.close();
    follower.join();
}

} // namespace unitsim

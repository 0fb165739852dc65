#include "rtp_endpoint.h"

#include "endpoint_sockets.h"
#include "frame_assembler.h"
#include "unit_recorder.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
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

void recordFrame(UnitRecorder &recorder, Frame frame, const Options &opts)
{
    saveFrame(frame, opts.saveFolder);
    recorder.recordFrame(std::move(frame), !opts.saveFolder.empty());
}

// Reads every datagram waiting on the socket into the assembler.
void drain(UnitRecorder &recorder, int socketFd, FrameAssembler &assembler,
        std::vector<std::uint8_t> &buffer)
{
    while (true) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        const ssize_t got = ::recvfrom(socketFd, buffer.data(), buffer.size(), MSG_TRUNC,
                reinterpret_cast<sockaddr *>(&peer), &len);
        if (got < 0)
            return;
        const Options opts = recorder.options();
        assembler.setExpectedSsrc(ssrcOf(opts.sessionId));
        const std::size_t size = std::min(std::size_t(got), buffer.size());
        AssemblyOutput out = assembler.push(std::span(buffer.data(), size), recorder.nowMs());
        out.packet.source = endpointText(peer);
        recorder.recordPacket(std::move(out.packet));
        for (Frame &frame : out.frames)
            recordFrame(recorder, std::move(frame), opts);
    }
}

} // namespace

void RtpEndpoint::run()
{
    FrameAssembler assembler;
    std::vector<std::uint8_t> buffer(65536);
    while (!m_stopping) {
        pollfd fds[2] = { { m_wakeFd, POLLIN, 0 }, { m_socketFd, POLLIN, 0 } };
        const int n = ::poll(fds, 2, -1);
        if (n < 0 && errno != EINTR)
            break;
        if (m_stopping)
            break;
        if (fds[1].revents & POLLIN)
            drain(m_recorder, m_socketFd, assembler, buffer);
    }
    if (std::optional<Frame> last = assembler.flush(m_recorder.nowMs()))
        recordFrame(m_recorder, std::move(*last), m_recorder.options());
}

} // namespace unitsim

// Cost of sending one frame through the library, beside the floor: the same number of bare
// sendto() calls of the same datagram size to the same loopback sink, measured in the same run
// (interleaved, so drift of the host affects both alike). Also the payload building alone.
//
// Prints, per picture size: microseconds per frame (median and mean of wall time, median of
// the thread's CPU time, which a busy host disturbs less) and packets per second.

#include "jpeg_packetizer.h"
#include "test_pictures.h"
#include "zelrtp.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <numeric>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr char SinkAddress[] = "127.0.0.29";
constexpr std::size_t DatagramBytes = 12 + zelrtp::PayloadBytes;

sockaddr_in address(const char *text, std::uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    inet_pton(AF_INET, text, &sa.sin_addr);
    return sa;
}

struct Sink
{
    int fd = -1;
    std::uint16_t port = 0;

    Sink()
    {
        fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        int bytes = 16 << 20;
        if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
        sockaddr_in sa = address(SinkAddress, 0);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0)
            std::perror("bind sink");
        socklen_t length = sizeof sa;
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &length);
        port = ntohs(sa.sin_port);
    }
    ~Sink() { ::close(fd); }
    // Empties the queue between timed frames, so every frame meets the same receiver state.
    std::size_t drain() const
    {
        static char buffer[2048];
        std::size_t n = 0;
        while (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0)
            ++n;
        return n;
    }
};

double micros(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

double threadCpuMicros()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e6 + double(t.tv_nsec) / 1e3;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Series
{
    std::vector<double> wallUs;
    std::vector<double> cpuUs;

    // Runs one timed step and keeps its figures when keep is set.
    template <typename Step> void time(bool keep, Step step)
    {
        const double cpu = threadCpuMicros();
        const auto start = Clock::now();
        step();
        const auto wall = Clock::now() - start;
        if (keep) {
            wallUs.push_back(micros(wall));
            cpuUs.push_back(threadCpuMicros() - cpu);
        }
    }
    double wallMedian() const { return median(wallUs); }
    double cpuMedian() const { return median(cpuUs); }
    double wallMean() const
    {
        return std::accumulate(wallUs.begin(), wallUs.end(), 0.0) / double(wallUs.size());
    }
};

void report(const char *what, const Series &s, std::size_t packetsPerFrame)
{
    std::printf("  %-24s %8.1f us/frame median %8.1f mean %8.1f cpu  %9.0f packets/s\n", what,
            s.wallMedian(), s.wallMean(), s.cpuMedian(),
            double(packetsPerFrame) * 1e6 / s.wallMedian());
}

void runPicture(const char *name, const std::vector<std::uint8_t> &jpeg, int frames)
{
    Sink sink;
    _ZelRtpSession *handle = initSession("127.0.0.1", 50001, SinkAddress, sink.port, 5, 0x1234);
    const int bare = ::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in target = address(SinkAddress, sink.port);
    const std::vector<char> datagram(DatagramBytes, 0x5A);

    zelrtp::JpegPacketizer probe({}, jpeg);
    const std::size_t packets = probe.payloadCount();
    Series library, floor, building;
    std::array<std::uint8_t, zelrtp::PayloadBytes> payload{};

    for (int round = -5; round < frames; ++round) { // five warm-up rounds
        const bool keep = round >= 0;
        library.time(keep, [&] {
            sendJpegFrame(handle, reinterpret_cast<const char *>(jpeg.data()), int(jpeg.size()));
        });
        const std::size_t received = sink.drain();
        if (round == 0 && received != packets)
            std::printf("  (the sink saw %zu of %zu packets)\n", received, packets);

        floor.time(keep, [&] {
            for (std::size_t i = 0; i < packets; ++i)
                ::sendto(bare, datagram.data(), datagram.size(), 0,
                        reinterpret_cast<const sockaddr *>(&target), sizeof target);
        });
        sink.drain();

        building.time(keep, [&] {
            zelrtp::JpegPacketizer packetizer({}, jpeg);
            while (!packetizer.done())
                packetizer.fillNext(payload);
        });
    }
    std::printf("%s: %zu bytes, %zu packets of %zu bytes, %d frames\n", name, jpeg.size(), packets,
            DatagramBytes, frames);
    report("sendJpegFrame", library, packets);
    report("bare sendto (floor)", floor, packets);
    report("payload building only", building, packets);
    std::printf("  library / floor: %.2f wall, %.2f cpu (medians)\n\n",
            library.wallMedian() / floor.wallMedian(), library.cpuMedian() / floor.cpuMedian());
    ::close(bare);
    exitSession(handle);
}

} // namespace

int main(int argc, char **argv)
{
    const int frames = argc > 1 ? std::max(10, std::atoi(argv[1])) : 400;
    std::printf("making pictures...\n");
    const auto small = zelrtptest::makeJpegNear(1024, 768, 60'000);
    const auto large = zelrtptest::makeJpegNear(1280, 720, 250'000);
    initRtp();
    runPicture("~60 KB frame (1024 x 768)", small, frames);
    runPicture("~250 KB frame (1280 x 720)", large, frames);
    exitRtp();
    return 0;
}

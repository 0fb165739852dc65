#include "udp_sink.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace zelrtptest {

namespace {

constexpr char FenceText[] = "zelrtp-test-fence";

sockaddr_in makeAddress(const std::string &address, std::uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1)
        throw std::runtime_error("bad address " + address);
    return sa;
}

int boundSocket(const std::string &address, std::uint16_t port, std::uint16_t &boundPort)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket");
    // Room for a whole test frame even when the reader is slow (forced when running as root).
    int bytes = 4 << 20;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    const sockaddr_in sa = makeAddress(address, port);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0) {
        ::close(fd);
        throw std::runtime_error("bind " + address + ":" + std::to_string(port));
    }
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &length);
    boundPort = ntohs(bound.sin_port);
    return fd;
}

} // namespace

std::optional<RtpPacket> parseRtp(const Datagram &received)
{
    const std::vector<std::uint8_t> &datagram = received.bytes;
    if (datagram.size() < 12)
        return std::nullopt;
    RtpPacket packet;
    packet.version = datagram[0] >> 6;
    packet.padding = (datagram[0] & 0x20) != 0;
    packet.extension = (datagram[0] & 0x10) != 0;
    packet.csrcCount = datagram[0] & 0x0F;
    packet.marker = (datagram[1] & 0x80) != 0;
    packet.payloadType = datagram[1] & 0x7F;
    packet.sequence = static_cast<std::uint16_t>(datagram[2] << 8 | datagram[3]);
    packet.timestamp = std::uint32_t{ datagram[4] } << 24 | std::uint32_t{ datagram[5] } << 16
            | std::uint32_t{ datagram[6] } << 8 | datagram[7];
    packet.ssrc = std::uint32_t{ datagram[8] } << 24 | std::uint32_t{ datagram[9] } << 16
            | std::uint32_t{ datagram[10] } << 8 | datagram[11];
    packet.payload.assign(datagram.begin() + 12, datagram.end());
    packet.datagramBytes = datagram.size();
    packet.fromPort = received.fromPort;
    return packet;
}

UdpSink::UdpSink(const std::string &address, std::uint16_t port) : m_address(address)
{
    m_fd = boundSocket(address, port, m_port);
    m_fenceFd = boundSocket(address, 0, m_fencePort);
}

UdpSink::~UdpSink()
{
    ::close(m_fd);
    ::close(m_fenceFd);
}

std::vector<Datagram> UdpSink::drain(std::chrono::milliseconds deadline)
{
    const sockaddr_in target = makeAddress(m_address, m_port);
    ::sendto(m_fenceFd, FenceText, sizeof FenceText, 0, reinterpret_cast<const sockaddr *>(&target),
            sizeof target);

    std::vector<Datagram> datagrams;
    const auto end = std::chrono::steady_clock::now() + deadline;
    std::vector<std::uint8_t> buffer(65536);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
        pollfd pfd{ m_fd, POLLIN, 0 };
        if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            ADD_FAILURE() << "the fence datagram never arrived";
            return datagrams;
        }
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = ::recvfrom(m_fd, buffer.data(), buffer.size(), 0,
                reinterpret_cast<sockaddr *>(&from), &fromLength);
        if (n < 0)
            continue;
        if (ntohs(from.sin_port) == m_fencePort
                && std::string(reinterpret_cast<const char *>(buffer.data()), std::size_t(n))
                        == std::string(FenceText, sizeof FenceText))
            return datagrams;
        char fromText[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &from.sin_addr, fromText, sizeof fromText);
        datagrams.push_back({ std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + n),
                fromText, ntohs(from.sin_port) });
    }
}

std::vector<RtpPacket> UdpSink::drainRtp()
{
    std::vector<RtpPacket> packets;
    for (const auto &datagram : drain()) {
        auto packet = parseRtp(datagram);
        EXPECT_TRUE(packet.has_value()) << "a datagram of " << datagram.bytes.size() << " bytes";
        if (packet)
            packets.push_back(std::move(*packet));
    }
    return packets;
}

} // namespace zelrtptest

#include "raw_peer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <turbojpeg.h>
#include <unistd.h>

namespace rawpeer {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : int(left.count());
}

sockaddr_in addressOf(const std::string &address, std::uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
    return addr;
}

} // namespace

Bytes bytes(std::initializer_list<int> values)
{
    Bytes out;
    for (int v : values)
        out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

std::string hex(const Bytes &data)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : data) {
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

TcpClient::TcpClient(const std::string &address, std::uint16_t port)
{
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = addressOf(address, port);
    if (::connect(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

TcpClient::~TcpClient()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool TcpClient::send(const std::string &text)
{
    return send(Bytes(text.begin(), text.end()));
}

bool TcpClient::send(const Bytes &data)
{
    if (m_fd < 0)
        return false;
    std::size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::send(m_fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += std::size_t(n);
    }
    return true;
}

Bytes TcpClient::receive(std::size_t n, std::chrono::milliseconds timeout)
{
    Bytes out(leftover.begin(), leftover.begin() + std::min(n, leftover.size()));
    leftover.erase(leftover.begin(), leftover.begin() + out.size());
    const auto deadline = Clock::now() + timeout;
    while (out.size() < n && m_fd >= 0) {
        pollfd p{ m_fd, POLLIN, 0 };
        if (::poll(&p, 1, msLeft(deadline)) <= 0)
            break;
        std::uint8_t buffer[4096];
        ssize_t got = ::recv(m_fd, buffer, std::min(sizeof buffer, n - out.size()), 0);
        if (got <= 0)
            break;
        out.insert(out.end(), buffer, buffer + got);
    }
    return out;
}

bool TcpClient::waitClosed(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (m_fd >= 0) {
        pollfd p{ m_fd, POLLIN, 0 };
        if (::poll(&p, 1, msLeft(deadline)) <= 0)
            return false;
        std::uint8_t buffer[4096];
        ssize_t got = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (got == 0)
            return true;
        if (got < 0)
            return errno == ECONNRESET;
        leftover.insert(leftover.end(), buffer, buffer + got);
    }
    return false;
}

TcpClient::Response TcpClient::receiveResponse(std::chrono::milliseconds timeout)
{
    Response response;
    const auto deadline = Clock::now() + timeout;
    auto fill = [&]() {
        pollfd p{ m_fd, POLLIN, 0 };
        if (::poll(&p, 1, msLeft(deadline)) <= 0)
            return false;
        char buffer[4096];
        ssize_t got = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            return false;
        m_pending.append(buffer, std::size_t(got));
        return true;
    };
    std::size_t headEnd;
    while ((headEnd = m_pending.find("\r\n\r\n")) == std::string::npos)
        if (!fill())
            return response;
    response.head = m_pending.substr(0, headEnd + 4);
    std::size_t length = 0;
    std::size_t at = response.head.find("Content-Length: ");
    if (at != std::string::npos)
        length = std::stoul(response.head.substr(at + 16));
    while (m_pending.size() < headEnd + 4 + length)
        if (!fill())
            return response;
    response.body = m_pending.substr(headEnd + 4, length);
    m_pending.erase(0, headEnd + 4 + length);
    if (response.head.rfind("HTTP/1.1 ", 0) == 0)
        response.status = std::stoi(response.head.substr(9, 3));
    response.complete = true;
    return response;
}

bool TcpClient::get(const std::string &target, const std::string &host, bool keepAlive)
{
    return send("GET " + target + " HTTP/1.1\r\nHost: " + host
            + "\r\nConnection: " + (keepAlive ? "Keep-Alive" : "close")
            + "\r\nAccept-Encoding: gzip, deflate\r\nAccept-Language: en-US,*\r\n"
              "User-Agent: Mozilla/5.0\r\n\r\n");
}

UdpSender::UdpSender() : m_fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) { }

UdpSender::~UdpSender()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool UdpSender::sendTo(const std::string &address, std::uint16_t port, const Bytes &datagram)
{
    sockaddr_in addr = addressOf(address, port);
    return ::sendto(m_fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&addr),
                   sizeof addr)
            == ssize_t(datagram.size());
}

Bytes makeJpeg(int width, int height, unsigned seed)
{
    std::vector<unsigned char> rgb(std::size_t(width) * height * 3);
    unsigned state = seed * 2654435761u + 1;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            state = state * 1103515245u + 12345u;
            unsigned char *p = &rgb[(std::size_t(y) * width + x) * 3];
            p[0] = static_cast<unsigned char>(x * 255 / width);
            p[1] = static_cast<unsigned char>(y * 255 / height);
            p[2] = static_cast<unsigned char>(state >> 24);
        }
    }
    tjhandle handle = tjInitCompress();
    unsigned char *out = nullptr;
    unsigned long size = 0;
    tjCompress2(handle, rgb.data(), width, 0, height, TJPF_RGB, &out, &size, TJSAMP_420, 90, 0);
    Bytes jpeg(out, out + size);
    tjFree(out);
    tjDestroy(handle);
    return jpeg;
}

Bytes rtpHeader(const RtpFields &f)
{
    return bytes({
            f.version << 6, // V, P=0, X=0, CC=0
            (f.marker ? 0x80 : 0) | (f.payloadType & 0x7F),
            f.sequence >> 8,
            f.sequence & 0xFF,
            int(f.timestamp >> 24),
            int((f.timestamp >> 16) & 0xFF),
            int((f.timestamp >> 8) & 0xFF),
            int(f.timestamp & 0xFF),
            int(f.ssrc >> 24),
            int((f.ssrc >> 16) & 0xFF),
            int((f.ssrc >> 8) & 0xFF),
            int(f.ssrc & 0xFF),
    });
}

std::vector<Bytes> packetize(
        const Bytes &jpeg, int width, int height, std::uint32_t timestamp, std::uint32_t ssrc)
{
    constexpr std::size_t Payload = 1400;
    constexpr std::size_t Room = Payload - 8;
    std::vector<Bytes> packets;
    std::size_t offset = 0;
    std::uint16_t sequence = 0;
    do {
        const std::size_t take = std::min(Room, jpeg.size() - offset);
        const bool last = offset + take == jpeg.size();
        RtpFields f;
        f.marker = last;
        f.sequence = sequence++;
        f.timestamp = timestamp;
        f.ssrc = ssrc;
        Bytes packet = rtpHeader(f);
        Bytes head = bytes({ 0, int(offset >> 16) & 0xFF, int(offset >> 8) & 0xFF,
                int(offset & 0xFF), 1, 90, ((width + 7) / 8) & 0xFF, ((height + 7) / 8) & 0xFF });
        packet.insert(packet.end(), head.begin(), head.end());
        packet.insert(packet.end(), jpeg.begin() + offset, jpeg.begin() + offset + take);
        packet.resize(12 + Payload, 0);
        packets.push_back(std::move(packet));
        offset += take;
    } while (offset < jpeg.size());
    return packets;
}

} // namespace rawpeer

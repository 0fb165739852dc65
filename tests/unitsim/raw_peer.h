#ifndef TANDEO_TESTS_UNITSIM_RAW_PEER_H
#define TANDEO_TESTS_UNITSIM_RAW_PEER_H

// A raw client for the emulator's wire tests: plain sockets, literal bytes, hand-built RTP
// packets and JPEG pictures. Nothing here shares code with the emulator or the client, so a
// mistake in either cannot hide behind the other.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace rawpeer {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

Bytes bytes(std::initializer_list<int> values);
std::string hex(const Bytes &data);

// One TCP connection.
class TcpClient
{
public:
    TcpClient(const std::string &address, std::uint16_t port);
    ~TcpClient();
    TcpClient(const TcpClient &) = delete;
    TcpClient &operator=(const TcpClient &) = delete;

    bool connected() const { return m_fd >= 0; }
    bool send(const std::string &text);
    bool send(const Bytes &data);
    // Exactly n bytes, or what came before the deadline / the peer closed.
    Bytes receive(std::size_t n, std::chrono::milliseconds timeout = 3s);
    // True when the peer closed the connection (read returns 0) before the deadline; bytes
    // that come first are kept in `leftover`.
    bool waitClosed(std::chrono::milliseconds timeout = 3s);
    Bytes leftover;

    struct Response
    {
        int status = 0;
        std::string head;
        std::string body;
        bool complete = false;
    };
    // One HTTP response (head plus Content-Length bytes of body).
    Response receiveResponse(std::chrono::milliseconds timeout = 3s);
    // A GET with the headers a desktop HTTP stack sends, kept alive.
    bool get(const std::string &target, const std::string &host, bool keepAlive = true);

private:
    int m_fd = -1;
    std::string m_pending;
};

// Sends datagrams from an ephemeral port on the wildcard address.
class UdpSender
{
public:
    UdpSender();
    ~UdpSender();
    bool sendTo(const std::string &address, std::uint16_t port, const Bytes &datagram);

private:
    int m_fd = -1;
};

// A JPEG of the given size with a colour gradient and noise, so it does not compress to a
// few bytes; quality 90.
Bytes makeJpeg(int width, int height, unsigned seed = 1);

struct RtpFields
{
    int version = 2;
    bool marker = false;
    int payloadType = 26;
    std::uint16_t sequence = 0;
    std::uint32_t timestamp = 0;
    std::uint32_t ssrc = 0;
};

// 12 header bytes, written field by field.
Bytes rtpHeader(const RtpFields &fields);

// One frame as the client sends it: 1400-byte payloads with an 8-byte JPEG header (type 1,
// Q 90, width and height in 8-pixel blocks), sequence numbers from 0, the marker on the last,
// zero bytes after the data of the last.
std::vector<Bytes> packetize(
        const Bytes &jpeg, int width, int height, std::uint32_t timestamp, std::uint32_t ssrc);

} // namespace rawpeer

#endif // TANDEO_TESTS_UNITSIM_RAW_PEER_H

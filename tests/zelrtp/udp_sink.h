#ifndef TESTS_ZELRTP_UDP_SINK_H
#define TESTS_ZELRTP_UDP_SINK_H

// A UDP socket bound where the library sends, reading back what really went over loopback.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zelrtptest {

struct Datagram
{
    std::vector<std::uint8_t> bytes;
    std::string fromAddress;
    std::uint16_t fromPort = 0;
};

struct RtpPacket
{
    int version = 0;
    bool padding = false;
    bool extension = false;
    int csrcCount = 0;
    bool marker = false;
    int payloadType = 0;
    std::uint16_t sequence = 0;
    std::uint32_t timestamp = 0;
    std::uint32_t ssrc = 0;
    std::vector<std::uint8_t> payload; // everything after the 12-byte fixed header
    std::size_t datagramBytes = 0;
    std::uint16_t fromPort = 0;
};

// Reads the fixed RTP header; nullopt when the datagram is shorter than 12 bytes.
std::optional<RtpPacket> parseRtp(const Datagram &datagram);

class UdpSink
{
public:
    // Binds address:port; port 0 takes a free port.
    UdpSink(const std::string &address, std::uint16_t port);
    ~UdpSink();
    UdpSink(const UdpSink &) = delete;
    UdpSink &operator=(const UdpSink &) = delete;

    std::string address() const { return m_address; }
    std::uint16_t port() const { return m_port; }

    // Everything that arrived before now. A marker datagram is sent from another socket and
    // reading stops when it arrives: loopback hands datagrams over in order, so what the library
    // sent before the call is all there.
    std::vector<Datagram> drain(std::chrono::milliseconds deadline = std::chrono::seconds(5));
    // drain(), each datagram read as RTP (a datagram too short for RTP fails the test).
    std::vector<RtpPacket> drainRtp();

private:
    int m_fd = -1;
    int m_fenceFd = -1;
    std::string m_address;
    std::uint16_t m_port = 0;
    std::uint16_t m_fencePort = 0;
};

} // namespace zelrtptest

#endif // TESTS_ZELRTP_UDP_SINK_H

#ifndef ZELRTP_DATAGRAM_BATCH_H
#define ZELRTP_DATAGRAM_BATCH_H

// A frame's datagrams handed to the kernel a burst at a time rather than with a system call
// each: a 200 KB frame is 150 datagrams, and on a busy system every call costs more than the
// datagram's bytes. While held, datagrams are copied into one buffer; release() sends them with
// UDP segmentation offload (one call, which the kernel cuts into the same datagrams again) where
// the system and the path to the destination allow it, else with sendmmsg(). Either way every
// datagram leaves with exactly the bytes it was given, in the order given. Outside a hold a
// datagram leaves at once.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <sys/socket.h>

namespace zelrtp {

class DatagramBatch
{
public:
    // The most a hold keeps before it sends what it has and goes on holding. 32 datagrams of a
    // full RTP packet stay below the 64 KB one segmented send may carry.
    static constexpr std::size_t MaxDatagrams = 32;
    static constexpr std::size_t MaxDatagramBytes = 2000;

    // Sends on socket, a UDP socket the caller owns. segmentOffload false: never tried.
    explicit DatagramBatch(int socket, bool segmentOffload = true);

    int socket() const { return m_socket; }
    // False once the system or the path refused a segmented send: sendmmsg() from then on.
    bool usesSegmentOffload() const { return m_segmentOffload; }

    // Sends datagram to `to` (null on a connected socket), or keeps it while held. The
    // datagram's size when sent or kept, -1 (errno set) when the system refused it or it is
    // larger than MaxDatagramBytes.
    int send(std::span<const std::uint8_t> datagram, const sockaddr *to, socklen_t toLength);

    // From now on send() keeps datagrams until release().
    void hold() { m_holding = true; }
    bool holding() const { return m_holding; }

    struct Released
    {
        int last = 0; // the last datagram's result: its size, or -1 when it was refused
        int taken = 0; // how many of them the system took
    };
    // Sends what was kept since hold(), in order, and ends the hold. A datagram the system
    // refuses is lost and the rest still go, as with one send() each.
    Released release();

private:
    void flush();
    bool sendSegmented();
    void sendEach();

    int m_socket;
    bool m_segmentOffload;
    bool m_holding = false;
    std::size_t m_count = 0;
    std::array<std::uint16_t, MaxDatagrams> m_sizes{};
    std::size_t m_used = 0; // bytes of m_buffer in use
    sockaddr_storage m_to{};
    socklen_t m_toLength = 0;
    Released m_released; // of the datagrams flushed since hold()
    alignas(8) std::array<std::uint8_t, MaxDatagrams * MaxDatagramBytes> m_buffer{};
};

} // namespace zelrtp

#endif // ZELRTP_DATAGRAM_BATCH_H

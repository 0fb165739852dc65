#include "datagram_batch.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <utility>

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103 // Linux 4.18; older headers lack the name
#endif

namespace zelrtp {

namespace {

// The errors of a segmented send that mean this path cannot be segmented for (a device without
// checksum offload, a path MTU below the datagram size, a socket without UDP checksums); the
// same datagrams sent one by one may still go.
bool segmentingRefused(int error)
{
    return error == EINVAL || error == EIO || error == ENOPROTOOPT || error == EOPNOTSUPP
            || error == EMSGSIZE;
}

// Whether the kernel knows UDP segmentation for this socket. One before Linux 4.18 would not
// refuse the segment size it does not know: it would ignore it and send the whole buffer as one
// datagram, so it is asked for first.
bool kernelSegments(int socket)
{
    int segmentBytes = 0;
    socklen_t length = sizeof segmentBytes;
    return getsockopt(socket, SOL_UDP, UDP_SEGMENT, &segmentBytes, &length) == 0;
}

} // namespace

DatagramBatch::DatagramBatch(int socket, bool segmentOffload)
    : m_socket(socket),
      m_segmentOffload(segmentOffload && kernelSegments(socket))
{
}

int DatagramBatch::send(
        std::span<const std::uint8_t> datagram, const sockaddr *to, socklen_t toLength)
{
    const bool sameDestination =
            toLength == m_toLength && (toLength == 0 || std::memcmp(&m_to, to, toLength) == 0);
    if (m_count > 0 && (m_count == MaxDatagrams || !sameDestination))
        flush();
    if (!m_holding || datagram.size() > MaxDatagramBytes) {
        flush(); // what was kept goes first
        const int result =
                int(::sendto(m_socket, datagram.data(), datagram.size(), 0, to, toLength));
        if (m_holding) {
            m_released.last = result;
            m_released.taken += result >= 0 ? 1 : 0;
        }
        return result;
    }
    if (m_count == 0) {
        m_toLength = to && toLength <= sizeof m_to ? toLength : 0;
        if (m_toLength)
            std::memcpy(&m_to, to, m_toLength);
    }
    std::memcpy(m_buffer.data() + m_used, datagram.data(), datagram.size());
    m_sizes[m_count++] = std::uint16_t(datagram.size());
    m_used += datagram.size();
    return int(datagram.size());
}

DatagramBatch::Released DatagramBatch::release()
{
    flush();
    m_holding = false;
    return std::exchange(m_released, {});
}

void DatagramBatch::flush()
{
    if (m_count == 0)
        return;
    // One segment size for all, the last no longer: what the kernel can cut the buffer into.
    bool sameSizes = true;
    for (std::size_t i = 1; i + 1 < m_count; ++i)
        sameSizes = sameSizes && m_sizes[i] == m_sizes[0];
    sameSizes = sameSizes && m_sizes[m_count - 1] <= m_sizes[0];
    if (!(m_segmentOffload && m_count > 1 && sameSizes && sendSegmented()))
        sendEach();
    m_count = 0;
    m_used = 0;
}

bool DatagramBatch::sendSegmented()
{
    iovec whole{ m_buffer.data(), m_used };
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(std::uint16_t))] = {};
    msghdr message{};
    message.msg_name = m_toLength ? &m_to : nullptr;
    message.msg_namelen = m_toLength;
    message.msg_iov = &whole;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr *segment = CMSG_FIRSTHDR(&message);
    segment->cmsg_level = SOL_UDP;
    segment->cmsg_type = UDP_SEGMENT;
    segment->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
    const std::uint16_t segmentBytes = m_sizes[0];
    std::memcpy(CMSG_DATA(segment), &segmentBytes, sizeof segmentBytes);

    ssize_t sent;
    do
        sent = ::sendmsg(m_socket, &message, 0);
    while (sent < 0 && errno == EINTR);
    if (sent >= 0) {
        m_released.taken += int(m_count);
        m_released.last = m_sizes[m_count - 1];
        return true;
    }
    if (segmentingRefused(errno)) {
        m_segmentOffload = false;
        return false;
    }
    if (errno == EAGAIN || errno == ENOBUFS)
        return false; // one by one, as many as there is room for
    // A firewall, no route: the system refuses each of them alike.
    m_released.last = -1;
    return true;
}

void DatagramBatch::sendEach()
{
    std::array<iovec, MaxDatagrams> parts{};
    std::array<mmsghdr, MaxDatagrams> messages{};
    std::uint8_t *at = m_buffer.data();
    for (std::size_t i = 0; i < m_count; ++i) {
        parts[i] = { at, m_sizes[i] };
        at += m_sizes[i];
        messages[i].msg_hdr.msg_name = m_toLength ? &m_to : nullptr;
        messages[i].msg_hdr.msg_namelen = m_toLength;
        messages[i].msg_hdr.msg_iov = &parts[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    std::size_t next = 0;
    while (next < m_count) {
        const int sent = ::sendmmsg(m_socket, messages.data() + next, unsigned(m_count - next), 0);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent > 0) {
            next += std::size_t(sent);
            m_released.taken += sent;
            if (next == m_count)
                m_released.last = m_sizes[m_count - 1];
            continue;
        }
        // The datagram at `next` was refused: it is lost, and the rest still go.
        if (++next == m_count)
            m_released.last = -1;
    }
}

} // namespace zelrtp

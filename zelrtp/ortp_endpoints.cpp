#include "ortp_endpoints.h"

#include "datagram_batch.h"

#include <cstdint>
#include <new>
#include <span>

namespace zelrtp {

namespace {

DatagramBatch *batchOf(RtpTransport *end)
{
    return static_cast<DatagramBatch *>(end->data);
}

ortp_socket_t rtpSocket(RtpTransport *end)
{
    return batchOf(end)->socket();
}

int sendThroughBatch(
        RtpTransport *end, mblk_t *packet, int, const struct sockaddr *to, socklen_t toLength)
{
    if (packet->b_cont)
        msgpullup(packet, static_cast<size_t>(-1));
    const auto bytes = static_cast<std::size_t>(packet->b_wptr - packet->b_rptr);
    return batchOf(end)->send(std::span<const std::uint8_t>(packet->b_rptr, bytes), to, toLength);
}

int receiveNothing(RtpTransport *, mblk_t *, int, struct sockaddr *, socklen_t *)
{
    return 0; // oRTP takes 0 as "nothing arrived"
}

void closeNothing(RtpTransport *) { }

void destroyRtpEnd(RtpTransport *end)
{
    delete batchOf(end);
    delete end;
}

ortp_socket_t rtcpSocket(RtpTransport *end)
{
    return static_cast<ortp_socket_t>(reinterpret_cast<std::intptr_t>(end->data));
}

// RTCP is switched off: nothing is ever sent through this end, and a packet that were would be
// dropped rather than reach the unit.
int dropRtcp(RtpTransport *, mblk_t *packet, int, const struct sockaddr *, socklen_t)
{
    return static_cast<int>(msgdsize(packet));
}

void destroyRtcpEnd(RtpTransport *end)
{
    delete end;
}

} // namespace

bool installEndpoints(RtpSession *session)
{
    RtpTransport *rtp = nullptr;
    RtpTransport *rtcp = nullptr;
    rtp_session_get_transports(session, &rtp, &rtcp);
    const ortp_socket_t socket = rtp_session_get_rtp_socket(session);
    if (!rtp || !rtcp || socket < 0)
        return false;
    auto *rtpEnd = new (std::nothrow) RtpTransport{};
    auto *batch = new (std::nothrow) DatagramBatch(socket);
    auto *rtcpEnd = new (std::nothrow) RtpTransport{};
    if (!rtpEnd || !batch || !rtcpEnd) {
        delete rtpEnd;
        delete batch;
        delete rtcpEnd;
        return false;
    }
    rtpEnd->data = batch;
    rtpEnd->t_getsocket = rtpSocket;
    rtpEnd->t_sendto = sendThroughBatch;
    rtpEnd->t_recvfrom = receiveNothing;
    rtpEnd->t_close = closeNothing;
    rtpEnd->t_destroy = destroyRtpEnd;
    rtcpEnd->data = reinterpret_cast<void *>(std::intptr_t(rtp_session_get_rtcp_socket(session)));
    rtcpEnd->t_getsocket = rtcpSocket;
    rtcpEnd->t_sendto = dropRtcp;
    rtcpEnd->t_recvfrom = receiveNothing;
    rtcpEnd->t_close = closeNothing;
    rtcpEnd->t_destroy = destroyRtcpEnd;
    meta_rtp_transport_set_endpoint(rtp, rtpEnd);
    meta_rtp_transport_set_endpoint(rtcp, rtcpEnd);
    return true;
}

DatagramBatch *datagramBatchOf(RtpSession *session)
{
    RtpTransport *rtp = nullptr;
    RtpTransport *rtcp = nullptr;
    rtp_session_get_transports(session, &rtp, &rtcp);
    RtpTransport *end = rtp ? meta_rtp_transport_get_endpoint(rtp) : nullptr;
    return end && end->t_sendto == sendThroughBatch ? batchOf(end) : nullptr;
}

} // namespace zelrtp

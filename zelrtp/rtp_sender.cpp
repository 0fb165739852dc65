// The oRTP side of sending a frame: the packetizer decides every payload byte, this file only
// hands the payloads to the session.

#include "datagram_batch.h"
#include "jpeg_packetizer.h"
#include "ortp_endpoints.h"
#include "send_room.h"
#include "zelrtp.h"

#include <algorithm>
#include <memory>
#include <new>
#include <ortp/ortp.h>

namespace {

constexpr std::size_t RtpFixedHeaderBytes = 12;

struct WorkingBufferDeleter
{
    void operator()(std::uint8_t *buffer) const { delete[] buffer; }
};

} // namespace

int rtpSend(RtpSession *session, const unsigned char *buffer, int length, std::uint32_t timestamp)
{
    return rtp_session_send_with_ts(session, buffer, length, timestamp);
}

int rtpSendWithEndMark(RtpSession *session, const unsigned char *buffer, int length,
        std::uint32_t timestamp, int endMark)
{
    if (length < 0)
        return -3;
    mblk_t *packet = rtp_session_create_packet(
            session, RtpFixedHeaderBytes, buffer, static_cast<std::size_t>(length));
    if (!packet)
        return -3;
    if (endMark)
        rtp_set_markbit(packet, 1);
    return rtp_session_sendm_with_ts(session, packet, timestamp); // takes the packet over
}

int SendJpegFrameWithORTP(RtpSession *session, std::uint32_t timestamp, const unsigned char *data,
        int length, std::uint8_t type, std::uint8_t typeSpecific, int width, int height,
        int restartInterval, std::uint8_t q, const unsigned char *lumaTable,
        const unsigned char *chromaTable)
{
    if (!session)
        return -1;
    // Every frame is self-contained for the unit: its own payload type, numbering from 0 and
    // the SSRC of the session opened last. Set before anything can fail.
    rtp_session_set_payload_type(session, zelrtp::JpegPayloadType);
    rtp_session_set_seq_number(session, 0);
    rtp_session_set_ssrc(session, ssrcGlobal);

    std::unique_ptr<std::uint8_t[], WorkingBufferDeleter> buffer(
            new (std::nothrow) std::uint8_t[zelrtp::PayloadBytes]);
    if (!buffer)
        return -2;
    if (length <= 0 || !data)
        return 0;

    const zelrtp::JpegFrameParams params{ type, typeSpecific, width, height, restartInterval, q,
        lumaTable, chromaTable };
    zelrtp::JpegPacketizer packetizer(params, std::span(data, static_cast<std::size_t>(length)));
    if (packetizer.error() != zelrtp::PacketizeError::None)
        return -4;

    const std::span<std::uint8_t, zelrtp::PayloadBytes> payload(buffer.get(), zelrtp::PayloadBytes);
    constexpr int payloadLength = static_cast<int>(zelrtp::PayloadBytes);
    constexpr std::size_t packetBytes = RtpFixedHeaderBytes + zelrtp::PayloadBytes;
    zelrtp::SendQueue queue(rtp_session_get_rtp_socket(session));
    auto *gate = static_cast<zelrtp::SendGate *>(rtp_session_get_data(session));
    // Where the session has the library's own RTP end, the packets of one turn go to the
    // kernel together; elsewhere oRTP sends each on its own.
    zelrtp::DatagramBatch *batch = zelrtp::datagramBatchOf(session);
    constexpr int turnPackets = int(zelrtp::DatagramBatch::MaxDatagrams);
    bool anyTaken = false; // of the packets before the last
    int packetsLeft = int(packetizer.payloadCount());
    for (;;) {
        // Every packet waits for room in the socket: one the kernel refused would be lost. The
        // frame's last turn waits only for the packets it still has.
        const zelrtp::SendQueue::Turn turn =
                queue.waitForTurn(gate, packetBytes, std::clamp(packetsLeft, 1, turnPackets));
        switch (turn.room) {
        case zelrtp::Room::Ready:
            break;
        case zelrtp::Room::Cancelled:
            return ZELRTP_FRAME_CANCELLED;
        case zelrtp::Room::Stalled:
            return ZELRTP_FRAME_STALLED;
        }
        if (batch)
            batch->hold();
        bool last = false;
        int sent = 0;
        for (int i = 0; i < turn.packets && !last; ++i, --packetsLeft) {
            last = packetizer.fillNext(payload).last;
            sent = last ? rtpSendWithEndMark(session, payload.data(), payloadLength, timestamp, 1)
                        : rtpSend(session, payload.data(), payloadLength, timestamp);
            // A middle packet that fails all the same (no route, an ICMP error) is not worth
            // dropping the frame for: the unit notices the gap by offset and the next frame
            // starts afresh.
            if (!batch)
                anyTaken = anyTaken || (!last && sent > 0);
        }
        if (batch) {
            // Held packets only count once the system has them.
            const zelrtp::DatagramBatch::Released released = batch->release();
            anyTaken = anyTaken || released.taken > (last && released.last >= 0 ? 1 : 0);
            if (last && sent >= 0)
                sent = released.last;
        }
        // A frame the system took nothing of did not leave at all: say so, rather than the last
        // packet's error alone.
        if (last)
            return sent < 0 && sent != -3 && !anyTaken ? ZELRTP_FRAME_REFUSED : sent;
    }
}

// Sessions and frame entry points of the library: oRTP start-up, one send-only session per
// destination, and the JPEG and YUV frame calls that feed the packetizer.

#include "zelrtp.h"

#include "jpeg_packetizer.h"
#include "ortp_endpoints.h"
#include "send_room.h"
#include "session_settings.h"
#include "zel_jpeg_encoder.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <ortp/ortp.h>
#include <sys/socket.h>

std::uint32_t ssrcGlobal = 0;

namespace {

// The size every frame from sendJpegFrame() is announced as, and the picture the YUV calls
// without size take.
constexpr int DefaultWidth = 1024;
constexpr int DefaultHeight = 768;
constexpr int EncoderFailed = -5;

std::int64_t steadyNowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::steady_clock::now().time_since_epoch())
            .count();
}

// One profile for all sessions that knows payload type 26, so oRTP finds the type it sends
// (without it every packet logs that the payload type is not set), and type 0, which a fresh
// session holds until its first frame. It holds pointers to oRTP's own static payload
// descriptions only, so it is never freed.
RtpProfile *jpegProfile()
{
    static RtpProfile *profile = [] {
        static RtpProfile storage{};
        rtp_profile_clear_all(&storage);
        rtp_profile_set_name(&storage, "ZelRtp JPEG");
        rtp_profile_set_payload(&storage, 0, &payload_type_pcmu8000);
        rtp_profile_set_payload(&storage, zelrtp::JpegPayloadType, &payload_type_jpeg);
        return &storage;
    }();
    return profile;
}

struct BufferDeleter
{
    void operator()(unsigned char *buffer) const { delete[] buffer; }
};

// Encodes the 1024 x 768 picture into a buffer of `size` bytes and sends `length` of them.
int sendEncodedYuv(_ZelRtpSession *handle, const char *yuv, int length, int width, int height,
        std::int64_t size)
{
    if (!handle)
        return -1;
    if (!yuv)
        return 0;
    if (size < 1 || size > INT_MAX)
        return -2;
    std::unique_ptr<unsigned char[], BufferDeleter> buffer(
            new (std::nothrow) unsigned char[static_cast<std::size_t>(size)]);
    if (!buffer)
        return -2;
    const int capacity = static_cast<int>(size);
    const int written =
            encJpegFrame(reinterpret_cast<const unsigned char *>(yuv), buffer.get(), capacity);
    if (written >= capacity) {
        std::printf("Buffer too small! But this should not happen!\n");
        std::fflush(stdout);
    }
    if (written < 0)
        return EncoderFailed;
    // The caller's length decides how much goes out, but never more than the buffer holds;
    // what lies past the encoder's output is sent as zero bytes rather than stale heap memory.
    const int sendLength = std::min(length, capacity);
    if (sendLength > written)
        std::memset(buffer.get() + written, 0, static_cast<std::size_t>(sendLength - written));
    return sendJpegFrameWithSize(
            handle, reinterpret_cast<const char *>(buffer.get()), sendLength, width, height);
}

// Whether the socket is bound to the address and port asked for (a port of 0 or less: any).
bool boundAsAsked(int socket, const char *address, int port)
{
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    if (socket < 0 || ::getsockname(socket, reinterpret_cast<sockaddr *>(&bound), &length) != 0
            || bound.sin_family != AF_INET)
        return false;
    in_addr asked{};
    if (address && ::inet_pton(AF_INET, address, &asked) == 1
            && bound.sin_addr.s_addr != asked.s_addr)
        return false;
    return port <= 0 || ntohs(bound.sin_port) == port;
}

} // namespace

void initRtp()
{
    ortp_init();
    ortp_scheduler_init();
}

void exitRtp()
{
    ortp_exit();
}

_ZelRtpSession *initSession(const char *localAddr, int localPort, const char *remoteAddr,
        int remotePort, int frameRate, std::uint32_t ssrc)
{
    if (ssrc == 0) {
        if (const char *text = std::getenv("SSRC"))
            ssrc = zelrtp::parseSsrcText(text);
    }
    std::printf("ssrc: %d\n", static_cast<int>(ssrc));
    std::fflush(stdout);

    auto *record = new (std::nothrow) _ZelRtpSession{};
    if (!record)
        return nullptr;
    record->clockOriginNs = steadyNowNs();
    record->eventQueue = ortp_ev_queue_new();
    record->rtp = rtp_Session_Init(
            ssrc, localAddr, remoteAddr, localPort, remotePort, record->eventQueue);
    if (record->rtp)
        rtp_session_set_data(record->rtp, new (std::nothrow) zelrtp::SendGate);
    if (!record->rtp
            || !boundAsAsked(rtp_session_get_rtp_socket(record->rtp), localAddr, localPort)) {
        // The local address and port could not be bound (another program holds the port, or
        // the address is no longer this computer's): oRTP then binds a port of its own
        // choosing, and the unit takes pictures only from its partner port.
        std::fprintf(
                stderr, "zelrtp: cannot send from %s:%d\n", localAddr ? localAddr : "", localPort);
        exitSession(record);
        return nullptr;
    }
    setFrameRate(record, frameRate);
    return record;
}

RtpSession *rtp_Session_Init(std::uint32_t ssrc, const char *localAddr, const char *remoteAddr,
        int localPort, int remotePort, OrtpEvQueue *queue)
{
    RtpSession *session = rtp_session_new(RTP_SESSION_SENDONLY);
    rtp_session_set_scheduling_mode(session, 0);
    rtp_session_set_blocking_mode(session, 0);
    // Nothing but RTP may reach the unit: RTCP is switched off, and its local port is left to
    // oRTP so that it never shares the RTP port.
    rtp_session_enable_rtcp(session, FALSE);
    rtp_session_set_profile(session, jpegProfile());
    rtp_session_set_local_addr(session, localAddr, localPort, -1);
    rtp_session_set_remote_addr(session, remoteAddr, remotePort);
    // A small send buffer keeps a frame's burst short; the sender waits for room in it.
    if (const int socket = rtp_session_get_rtp_socket(session); socket >= 0)
        zelrtp::limitSendBuffer(socket);
    // A frame's packets then leave a burst at a time, and no RTCP is looked for after each.
    zelrtp::installEndpoints(session);
    rtp_session_set_payload_type(session, 0);
    rtp_session_set_ssrc(session, ssrc);
    rtp_session_register_event_queue(session, queue);
    ssrcGlobal = ssrc;
    return session;
}

void exitSession(_ZelRtpSession *handle)
{
    if (!handle)
        return;
    if (handle->rtp) {
        delete static_cast<zelrtp::SendGate *>(rtp_session_get_data(handle->rtp));
        rtp_session_set_data(handle->rtp, nullptr);
        if (handle->eventQueue)
            rtp_session_unregister_event_queue(handle->rtp, handle->eventQueue);
        rtp_session_destroy(handle->rtp);
    }
    if (handle->eventQueue)
        ortp_ev_queue_destroy(handle->eventQueue);
    delete handle;
}

bool setFrameRate(_ZelRtpSession *handle, int frameRate)
{
    if (!handle)
        return false;
    handle->frameRate = zelrtp::clampFrameRate(frameRate);
    return true;
}

void cancelFrames(_ZelRtpSession *handle, bool cancel)
{
    if (!handle || !handle->rtp)
        return;
    if (auto *gate = static_cast<zelrtp::SendGate *>(rtp_session_get_data(handle->rtp)))
        gate->setCancelled(cancel);
}

int sendJpegFrame(_ZelRtpSession *handle, const char *jpeg, int length)
{
    return sendJpegFrameWithSize(handle, jpeg, length, DefaultWidth, DefaultHeight);
}

int sendJpegFrameWithSize(
        _ZelRtpSession *handle, const char *jpeg, int length, int width, int height)
{
    if (!handle)
        return -1;
    if (!jpeg)
        return 0;
    if (length > 0) {
        handle->timestamp = zelrtp::frameTimestamp(
                steadyNowNs() - handle->clockOriginNs, handle->framesSent, handle->timestamp);
        handle->framesSent = true;
    }
    // Type 1 (4:2:0), no restart markers, Q 90 (below 128, so no tables travel in band).
    return SendJpegFrameWithORTP(handle->rtp, handle->timestamp,
            reinterpret_cast<const unsigned char *>(jpeg), length, 1, 0, width, height, 0, 90,
            nullptr, nullptr);
}

int sendYUVFrameInJpegFormat(_ZelRtpSession *handle, const char *yuv, int length)
{
    constexpr std::int64_t size = std::int64_t{ DefaultWidth } * 3 * DefaultHeight / 2;
    return sendEncodedYuv(handle, yuv, length, DefaultWidth, DefaultHeight, size);
}

int sendYUVFrameInJPEGFormatWithSize(
        _ZelRtpSession *handle, const char *yuv, int length, int width, int height)
{
    const std::int64_t size = std::int64_t{ width } * 3 * height / 2;
    return sendEncodedYuv(handle, yuv, length, width, height, size);
}

#ifndef ZELRTP_ZELRTP_H
#define ZELRTP_ZELRTP_H

// ZelRtp: sends JPEG pictures to one conferencing unit as an RTP stream (payload type 26,
// 1400-byte payloads with JPEG payload headers). A thin layer over oRTP: one send-only,
// unscheduled, non-blocking oRTP session per destination.
//
// Calling order: initRtp() once; initSession(); any number of frame calls on the handle;
// exitSession(); exitRtp(). All calls run to completion on the caller's thread; the library
// holds no lock, so one thread at a time, with one exception: cancelFrames() may be called
// from any thread while a frame call runs.
//
// Pacing: a frame leaves at the speed of the link. The socket's send buffer is small (a burst
// of about 64 KB) and every packet waits until the kernel has room for it, so no packet is
// refused and lost on a link slower than the burst. A frame whose next packet finds no room
// for 2 s (the link is gone) is abandoned. The packets that may go at once (the burst, then
// each paced chunk) are built by oRTP one by one and handed to the kernel together: one
// segmented send where the system and the path allow it, else one sendmmsg(). On the wire each
// is the same datagram either way.
//
// The exports are plain C++ functions (type-mangled names); nothing else is visible.

#include <cstdint>

#if defined(ZELRTP_BUILDING_LIBRARY)
#define ZELRTP_EXPORT __attribute__((visibility("default")))
#else
#define ZELRTP_EXPORT
#endif

// oRTP types the signatures need; the definitions come from <ortp/ortp.h>.
struct _RtpSession;
typedef struct _RtpSession RtpSession;
struct OrtpEvQueue;

// The handle that initSession() returns. Allocated by the library, owned by the caller until
// exitSession(). The first three fields are the session's whole public state.
//
// Timestamp clock: payload type 26 runs a 90 kHz RTP clock. Every frame is stamped with the
// time elapsed since the session was opened (std::chrono::steady_clock), in 90 kHz ticks, so
// the first frame carries about 0 and later frames advance with wall time. All packets of one
// frame carry the same value, and a frame always carries a larger value than the frame before
// it (at least by one tick, even when two frames are sent within the same tick). `timestamp`
// holds the value of the frame sent last (0 before the first frame).
struct _ZelRtpSession
{
    RtpSession *rtp; // the oRTP session; owned by the record
    std::uint32_t timestamp; // RTP timestamp of the last frame sent through this handle
    std::int16_t frameRate; // frames per second, always 1 to 5 once set; informative only
    std::int64_t clockOriginNs; // steady_clock time of session start, nanoseconds
    bool framesSent; // false until the first frame has been stamped
    OrtpEvQueue *eventQueue; // the queue registered with rtp; destroyed with the record
};

// The SSRC stamped on every frame of every session: the SSRC of the session created last.
ZELRTP_EXPORT extern std::uint32_t ssrcGlobal;

// Starts oRTP and its scheduler.
ZELRTP_EXPORT void initRtp();
// Stops oRTP.
ZELRTP_EXPORT void exitRtp();

// Opens a send-only session from localAddr:localPort to remoteAddr:remotePort. An ssrc of 0 is
// replaced by the decimal value of the environment variable "SSRC" when it is set. Prints
// "ssrc: N" to standard output. Sets ssrcGlobal. Returns null when the record cannot be
// allocated, or when the RTP socket cannot be bound to localAddr:localPort; an unreachable
// remote address shows up later as failing sends.
ZELRTP_EXPORT _ZelRtpSession *initSession(const char *localAddr, int localPort,
        const char *remoteAddr, int remotePort, int frameRate, std::uint32_t ssrc);

// Creates and configures the oRTP session (send only, unscheduled, non-blocking, RTCP off,
// a profile carrying payload type 26, the small send buffer of the pacing above), registers
// the event queue, stores ssrc in ssrcGlobal.
ZELRTP_EXPORT RtpSession *rtp_Session_Init(std::uint32_t ssrc, const char *localAddr,
        const char *remoteAddr, int localPort, int remotePort, OrtpEvQueue *queue);

// Destroys the oRTP session and its event queue and releases the record. handle must come from
// initSession() and is dangling afterwards; a null handle does nothing.
ZELRTP_EXPORT void exitSession(_ZelRtpSession *handle);

// Results of the frame calls besides oRTP's: the frame was cancelled by cancelFrames(), or its
// next packet found no room for 2 s. Either way the rest of the frame was not sent. Or the
// system refused every packet of the frame (a firewall, no route to the unit): nothing left.
#define ZELRTP_FRAME_CANCELLED (-6)
#define ZELRTP_FRAME_STALLED (-7)
#define ZELRTP_FRAME_REFUSED (-8)

// Any thread: while cancel is true, a frame call on handle that is waiting or about to send
// its next packet returns ZELRTP_FRAME_CANCELLED at once, and so does every later one until
// cancelFrames(handle, false). A null handle does nothing.
ZELRTP_EXPORT void cancelFrames(_ZelRtpSession *handle, bool cancel);

// Stores frameRate when it lies in 1 to 5, else 5. False (and nothing changed) for a null handle.
ZELRTP_EXPORT bool setFrameRate(_ZelRtpSession *handle, int frameRate);

// Frame calls. Results: the last packet's oRTP send result (bytes sent, or a negative oRTP
// error), 0 when nothing was sent (null pointer or length not positive), -2 when a working
// buffer cannot be allocated, -3 when oRTP cannot create the last packet, -1 for a null handle,
// ZELRTP_FRAME_CANCELLED, ZELRTP_FRAME_STALLED or ZELRTP_FRAME_REFUSED as above.
// The bytes are read only during the call and sent as they are (not parsed). Each frame is
// stamped with the session clock (see _ZelRtpSession) when there is something to send.

// Sends length bytes of jpeg announced as 1024 x 768.
ZELRTP_EXPORT int sendJpegFrame(_ZelRtpSession *handle, const char *jpeg, int length);
// Sends length bytes of jpeg announced as width x height (8-pixel blocks, low 8 bits each).
ZELRTP_EXPORT int sendJpegFrameWithSize(
        _ZelRtpSession *handle, const char *jpeg, int length, int width, int height);

// YUV frame calls: yuv is a 1024 x 768 I420 picture (see jpegenc/zel_jpeg_encoder.h) that is
// JPEG-encoded first; then the first `length` bytes of the encoded buffer are sent. The buffer
// holds width * 3 * height / 2 bytes (1024 x 768 x 3 / 2 for the call without size); a length
// beyond that is cut to the buffer so nothing past its end is read, and a length beyond the
// encoder's output sends zero bytes after it. An encoder result that does not fit the buffer
// prints "Buffer too small! But this should not happen!" and the frame is still sent. A null yuv
// sends nothing (0); -5 when the encoder fails (nothing sent); -2 also when the buffer size is
// not a positive int.
ZELRTP_EXPORT int sendYUVFrameInJpegFormat(_ZelRtpSession *handle, const char *yuv, int length);
ZELRTP_EXPORT int sendYUVFrameInJPEGFormatWithSize(
        _ZelRtpSession *handle, const char *yuv, int length, int width, int height);

// Cuts one frame into 1400-byte payloads and sends them with the given timestamp, sequence
// numbers from 0, payload type 26, SSRC ssrcGlobal, marker on the last packet. Restart header
// when restartInterval is non-zero; the two 64-byte tables in the first packet when q >= 128.
// Results: the last packet's send result; 0 when length is not positive or data is null; -1 for
// a null session; -2 when the working buffer cannot be allocated; -3 when the last packet cannot be
// created; -4 when q >= 128 and a table pointer is null (nothing sent); ZELRTP_FRAME_CANCELLED
// or ZELRTP_FRAME_STALLED (the rest of the frame not sent).
ZELRTP_EXPORT int SendJpegFrameWithORTP(RtpSession *session, std::uint32_t timestamp,
        const unsigned char *data, int length, std::uint8_t type, std::uint8_t typeSpecific,
        int width, int height, int restartInterval, std::uint8_t q, const unsigned char *lumaTable,
        const unsigned char *chromaTable);

// Sends one packet carrying length bytes of buffer (no marker); oRTP's result.
ZELRTP_EXPORT int rtpSend(
        RtpSession *session, const unsigned char *buffer, int length, std::uint32_t timestamp);
// Sends one packet carrying length bytes of buffer, with the marker bit when endMark is
// non-zero; -3 when the packet cannot be created, else oRTP's result.
ZELRTP_EXPORT int rtpSendWithEndMark(RtpSession *session, const unsigned char *buffer, int length,
        std::uint32_t timestamp, int endMark);

#endif // ZELRTP_ZELRTP_H

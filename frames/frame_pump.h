#ifndef TANDEO_FRAMES_FRAME_PUMP_H
#define TANDEO_FRAMES_FRAME_PUMP_H

// One pulled picture: capture the shared surface, hand the picture to the unit over the
// login's RTP link, and report it sent on the control channel. The window's frame slots run
// it on every pull; it needs no window.
//
//   unit's pull ─▶ pull(capture) ─▶ capture step fills frame() ─▶ RtpLink::send ─▶ reportSent()
//
// GUI thread only (or any one thread).

#include "frame.h"
#include "rtp_link.h"

#include <QString>

#include <functional>
#include <memory>

namespace frames {

// What the capture step found.
enum class Capture {
    Picture, // frame() holds a new picture: it goes to the unit
    NoPicture, // nothing to send this time (a failed grab, a closed window); the unit is still
               // told, and pulls again
    NothingToShare, // the shared surface is gone: the share ends
};

class FramePump
{
public:
    using CaptureStep = std::function<Capture(capture::Frame &frame)>;

    // mirror, when given, is kept equal to the last picture's JPEG (the window's jpegImg).
    explicit FramePump(QByteArray *mirror = nullptr);
    ~FramePump();

    // One picture towards the unit at unitAddress of the session sessionId. The link is made
    // with the first picture after a login and kept until release(). Returns 0 when there is
    // nothing to share any more, 1 otherwise (also when nothing was sent).
    int pull(const QString &unitAddress, const QString &sessionId, const CaptureStep &capture);

    // MSG_FRAME_SENT for the session, after every attempt.
    void reportSent(const QString &sessionId);

    // At logout: the RTP session and the link go.
    void release();

    const capture::Frame &frame() const { return m_frame; }
    RtpLink *link() const { return m_link.get(); }
    _ZelRtpSession *session() const { return m_link ? m_link->session() : nullptr; }

private:
    capture::Frame m_frame;
    QByteArray *m_mirror;
    std::unique_ptr<RtpLink> m_link;
};

} // namespace frames

#endif // TANDEO_FRAMES_FRAME_PUMP_H

#ifndef TANDEO_FRAMES_FRAME_PUMP_H
#define TANDEO_FRAMES_FRAME_PUMP_H

// One pulled picture: capture the shared surface, hand the picture to the unit over the
// login's RTP link, and report it sent on the control channel. The window's frame slots run
// it on every pull; it needs no window.
//
//   unit's pull ─▶ pull() ─▶ the share's surface fills frame() ─▶ FrameSender (own thread,
//   paced to the link) ─▶ onFrameLeft callback (back on the pump's thread) ─▶ reportSent()
//
// One thread (the GUI thread) calls it; the frame-left callback arrives through that thread's
// event loop.

#include "frame.h"
#include "frame_sender.h"
#include "rtp_link.h"
#include "share_surface.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

namespace frames {

// What the capture step found.
using Capture = capture::Grab;

class FramePump
{
public:
    using CaptureStep = std::function<Capture(capture::Frame &frame)>;
    using FrameLeft = std::function<void(SendOutcome)>;

    // mirror, when given, is kept equal to the last picture's JPEG (the window's jpegImg).
    explicit FramePump(QByteArray *mirror = nullptr);
    ~FramePump();

    // Called through the event loop of the pump's thread when a picture that pull() handed
    // over has left (or stalled); not for a picture that cancel() stopped.
    void onFrameLeft(FrameLeft callback) { m_frameLeft = std::move(callback); }

    // The surface a share pulls from, from its start until stopShare(), and the size its
    // pictures are made for (fixed for the share).
    void startShare(capture::ShareSurface *surface, QSize target)
    {
        m_surface = surface;
        m_target = target;
    }
    void stopShare() { m_surface = nullptr; }
    // One picture of the share's surface (nothing to share without one); as pull() below.
    int pull(const QString &unitAddress, const QString &sessionId);

    // One picture towards the unit at unitAddress of the session sessionId. The link is made
    // with the first picture after a login and kept until release(). Returns 0 when there is
    // nothing to share any more, 1 otherwise (also when nothing was sent). A picture goes to
    // the sending thread, and sending() holds until its outcome is delivered; a pull while the
    // last picture is still leaving waits for it first.
    int pull(const QString &unitAddress, const QString &sessionId, const CaptureStep &capture);

    // After a picture left and before the next pull: the share's surface readies the next
    // picture where it can (ShareSurface::prefetch()).
    void prefetch();

    // A picture was handed over and its outcome not delivered yet.
    bool sending() const { return m_sending; }
    // The last pull had a picture but no RTP session to send it with: this computer's picture
    // port could not be had (another program holds it). The next pull tries again.
    bool linkRefused() const { return m_linkRefused; }
    // Blocks until the picture handed over last has left (tools without an event loop).
    void waitUntilLeft() { m_sender.wait(); }
    // The stop paths: the rest of a picture still leaving is dropped; returns once nothing of
    // it can reach the unit any more. Its outcome is never delivered: true when it had left
    // whole all the same, so the caller can still report it before stopping.
    bool cancel();

    // MSG_FRAME_SENT for the session, after every attempt.
    void reportSent(const QString &sessionId);

    // At logout: a picture still leaving is cancelled, the RTP session and the link go.
    void release();

    const capture::Frame &frame() const { return m_frame; }
    RtpLink *link() const { return m_link.get(); }
    _ZelRtpSession *session() const { return m_link ? m_link->session() : nullptr; }

private:
    // Runs capture on frame() once nothing else holds its buffer, the mirror kept equal.
    Capture fill(const CaptureStep &capture);
    void delivered(unsigned generation, SendOutcome outcome);

    capture::Frame m_frame;
    capture::ShareSurface *m_surface = nullptr;
    QSize m_target;
    QByteArray *m_mirror;
    std::unique_ptr<RtpLink> m_link;
    FrameLeft m_frameLeft;
    bool m_sending = false;
    bool m_linkRefused = false;
    unsigned m_generation = 0; // of the picture handed over last; outcomes of older ones drop
    QObject m_receiver; // delivers outcomes on the pump's thread; goes after the sender
    FrameSender m_sender;
};

} // namespace frames

#endif // TANDEO_FRAMES_FRAME_PUMP_H

#include "frame_pump.h"

#include "control_channel.h"

namespace frames {

FramePump::FramePump(QByteArray *mirror) : m_mirror(mirror) { }

FramePump::~FramePump()
{
    cancel();
}

Capture FramePump::fill(const CaptureStep &capture)
{
    // The mirror lets go of the last picture first, so the frame's buffer has a single owner
    // and the capture writes into it in place (the sender has let go once it is idle).
    m_sender.wait();
    if (m_mirror)
        m_mirror->clear();
    const Capture found = capture(m_frame);
    if (m_mirror)
        *m_mirror = m_frame.jpeg;
    return found;
}

int FramePump::pull(
        const QString &unitAddress, const QString &sessionId, const CaptureStep &capture)
{
    const Capture found = fill(capture);
    if (found == Capture::NothingToShare)
        return 0;
    if (found == Capture::Picture && !m_frame.isEmpty()) {
        if (!m_link)
            m_link = std::make_unique<RtpLink>(unitAddress, sessionId);
        _ZelRtpSession *session = m_link->open();
        m_linkRefused = session == nullptr;
        if (session) {
            const unsigned generation = ++m_generation;
            m_sending = true;
            m_sender.send(session, m_frame.jpeg, [this, generation](SendOutcome outcome) {
                QMetaObject::invokeMethod(
                        &m_receiver, [=, this] { delivered(generation, outcome); },
                        Qt::QueuedConnection);
            });
        }
    }
    return 1;
}

int FramePump::pull(const QString &unitAddress, const QString &sessionId)
{
    return pull(unitAddress, sessionId, [this](capture::Frame &frame) {
        return m_surface ? m_surface->capture(m_target, frame) : Capture::NothingToShare;
    });
}

void FramePump::prefetch()
{
    if (!m_surface || m_sending)
        return;
    fill([this](capture::Frame &frame) {
        m_surface->prefetch(m_target, frame);
        return Capture::NoPicture;
    });
}

void FramePump::delivered(unsigned generation, SendOutcome outcome)
{
    if (generation != m_generation || !m_sending)
        return; // cancelled, or a later picture was handed over meanwhile
    m_sending = false;
    if (m_frameLeft)
        m_frameLeft(outcome);
}

bool FramePump::cancel()
{
    const bool awaiting = std::exchange(m_sending, false);
    return m_sender.cancel() == SendOutcome::Sent && awaiting;
}

void FramePump::reportSent(const QString &sessionId)
{
    control::sendFrameSent(sessionId.toUtf8().constData());
}

void FramePump::release()
{
    cancel();
    m_link.reset();
    m_linkRefused = false;
}

} // namespace frames

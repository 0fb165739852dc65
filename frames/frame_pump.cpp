#include "frame_pump.h"

#include "control_channel.h"

namespace frames {

FramePump::FramePump(QByteArray *mirror) : m_mirror(mirror) { }

FramePump::~FramePump() = default;

int FramePump::pull(
        const QString &unitAddress, const QString &sessionId, const CaptureStep &capture)
{
    // The mirror lets go of the last picture first, so the frame's buffer has a single owner
    // and the capture writes into it in place.
    if (m_mirror)
        m_mirror->clear();
    const Capture found = capture(m_frame);
    if (m_mirror)
        *m_mirror = m_frame.jpeg;
    if (found == Capture::NothingToShare)
        return 0;
    if (found == Capture::Picture && !m_frame.isEmpty()) {
        if (!m_link)
            m_link = std::make_unique<RtpLink>(unitAddress, sessionId);
        m_link->send(m_frame.jpeg);
    }
    return 1;
}

void FramePump::reportSent(const QString &sessionId)
{
    control::sendFrameSent(sessionId.toUtf8().constData());
}

void FramePump::release()
{
    m_link.reset();
}

} // namespace frames

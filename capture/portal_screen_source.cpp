#include "portal_screen_source.h"

#include "capture_log.h"

#include <algorithm>

namespace capture {

PortalScreenSource::PortalScreenSource(
        const ScreenCastStream &granted, std::unique_ptr<PortalScreenCast> session)
    : m_granted(granted),
      m_session(std::move(session)),
      m_stream(std::make_unique<PipeWireStream>())
{
}

PortalScreenSource::~PortalScreenSource()
{
    // Pictures stop before the session that grants them goes.
    m_stream->stop();
    if (m_session)
        m_session->close();
}

std::unique_ptr<PortalScreenSource> PortalScreenSource::open(
        const ScreenCastStream &granted, std::unique_ptr<PortalScreenCast> session, QString *error)
{
    if (!granted.pipeWireFd.isValid()) {
        if (error)
            *error = QStringLiteral("no connection to PipeWire came with the grant");
        return nullptr;
    }
    std::unique_ptr<PortalScreenSource> source(new PortalScreenSource(granted, std::move(session)));
    if (!source->m_stream->start(granted.pipeWireFd.fileDescriptor(), granted.nodeId, error))
        return nullptr;
    // The stream has its own copy of the connection.
    source->m_granted.pipeWireFd = QDBusUnixFileDescriptor();
    return source;
}

void PortalScreenSource::waitForFirstPicture()
{
    if (m_stream->picturesReceived() == 0 && !m_stream->hasEnded())
        m_stream->waitForPicture(FirstPictureTimeout);
}

QSize PortalScreenSource::size()
{
    // The agreed size is that of the next picture; the picture handed out stays untouched.
    waitForFirstPicture();
    const QSize negotiated = m_stream->negotiatedSize();
    if (!negotiated.isEmpty())
        return negotiated;
    return m_picture.serial != 0 ? m_picture.size() : m_granted.size;
}

std::optional<PixelView> PortalScreenSource::grab()
{
    if (m_stream->hasEnded())
        return std::nullopt;
    waitForFirstPicture();
    m_stream->takeNewest(m_picture);
    if (m_picture.serial == 0) {
        qCWarning(lcCapture) << "no picture from the shared screen yet";
        return std::nullopt;
    }
    countGrab();
    return PixelView{ m_picture.pixels.data(), m_picture.width, m_picture.height,
        m_picture.strideBytes };
}

DesktopChanges PortalScreenSource::takeChanges()
{
    const std::uint64_t newest = m_stream->picturesReceived();
    if (newest == 0 || m_stream->hasEnded())
        return DesktopChanges::unknown();
    if (newest == m_changesSeen)
        return DesktopChanges::rows(0, 0);
    m_changesSeen = newest;
    // Known, so that the file made from the next grab is kept for a still screen.
    return DesktopChanges::rows(0, std::max(size().height(), 1));
}

} // namespace capture

#ifndef TANDEO_CAPTURE_PORTAL_SCREEN_SOURCE_H
#define TANDEO_CAPTURE_PORTAL_SCREEN_SOURCE_H

// The desktop of a Wayland session: the pictures of the screen the user granted through the
// screen-cast portal, read from PipeWire. The source owns the portal session, so destroying it
// ends the sharing on the desktop side too.
//
// A still screen sends no pictures; takeChanges() then reports nothing changed, so the last
// file goes out again without grabbing. Which rows a new picture changed is not known: it
// counts as changed everywhere.
//
// Use it from one thread at a time (the GUI thread in the program: ended() is queued there).

#include "pipewire_stream.h"
#include "portal_screencast.h"
#include "screen_source.h"

#include <chrono>
#include <memory>

namespace capture {

class PortalScreenSource : public ScreenSource
{
public:
    // How long size() and grab() wait for the stream's first picture.
    static constexpr std::chrono::milliseconds FirstPictureTimeout{ 2000 };

    // Opens the PipeWire stream of a granted screen cast; session (may be null) is kept open
    // while the source lives. Null with what failed in error when the stream cannot be made.
    static std::unique_ptr<PortalScreenSource> open(const ScreenCastStream &granted,
            std::unique_ptr<PortalScreenCast> session = nullptr, QString *error = nullptr);
    ~PortalScreenSource() override;

    // The pictures' size (after waiting for the first one when none has arrived yet); the
    // size the portal announced when no picture came.
    QSize size() override;
    // The newest picture; empty once the stream ended, or when no picture came in time.
    std::optional<PixelView> grab() override;
    // Nothing changed while no new picture arrived since the last call; else every row.
    DesktopChanges takeChanges() override;

    // The stream, for its ended() signal and counters.
    PipeWireStream &stream() { return *m_stream; }
    // The portal session, when the source was given one (for its sessionClosed() signal).
    PortalScreenCast *session() const { return m_session.get(); }
    // What the portal granted (without the connection, which the stream took over).
    const ScreenCastStream &granted() const { return m_granted; }

private:
    PortalScreenSource(const ScreenCastStream &granted, std::unique_ptr<PortalScreenCast> session);

    // Waits (bounded) until the stream's first picture is in, unless it ended.
    void waitForFirstPicture();

    ScreenCastStream m_granted;
    std::unique_ptr<PortalScreenCast> m_session;
    std::unique_ptr<PipeWireStream> m_stream;
    StreamPicture m_picture; // what the last grab() handed out
    std::uint64_t m_changesSeen = 0; // the newest serial takeChanges() reported
};

} // namespace capture

#endif // TANDEO_CAPTURE_PORTAL_SCREEN_SOURCE_H

#ifndef TANDEO_CAPTURE_SOURCE_CHOICE_H
#define TANDEO_CAPTURE_SOURCE_CHOICE_H

// Where the shared desktop comes from, chosen in this one place for the whole program: on a
// Wayland desktop the screen-cast portal and PipeWire (the user picks the screen in the
// desktop's dialog), elsewhere the X server's root window over shared memory (or Qt's grab).

#include "monitor_layout.h"
#include "portal_screen_source.h"
#include "portal_screencast.h"
#include "screen_source.h"
#include "share_surface.h"
#include "source_options.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QString>

#include <memory>

namespace capture {

enum class DesktopSourceKind {
    X11, // the X server's root window (XcbScreenSource, else QtScreenSource)
    Portal, // the screen-cast portal and PipeWire (PortalScreenSource)
};

// Whether the program runs on a Wayland desktop: Qt's platform is "wayland", or the session
// says it is Wayland and names its display.
bool isWaylandSession();
DesktopSourceKind desktopSourceKind();

struct DesktopSourceChoice
{
    DesktopSourceKind kind = DesktopSourceKind::X11;
    // Null when no source could be had; failure and detail then say why.
    std::unique_ptr<ScreenSource> source;
    QString detail;
    // For the portal: how asking went (None when the source is there).
    ScreenCastFailure failure = ScreenCastFailure::None;
    // The same source as the portal's (for its stream's ended() signal); null otherwise.
    PortalScreenSource *portal = nullptr;

    bool ok() const { return source != nullptr; }
};

// Asks the session's screen-cast portal which kinds of source it offers (AvailableSourceTypes)
// without waiting: a busy desktop may take seconds. windowSharingFailure() reads the answer.
QDBusPendingCall askPortalSourceTypes(QDBusConnection bus = QDBusConnection::sessionBus());
// What that answer means for sharing a single window: None when the portal offers windows;
// NoAnswer (detail: the seconds waited) or NoPortal (detail: the bus's error) when the question
// failed; WindowsNotOffered when the portal shares whole screens only.
ScreenCastFailure windowSharingFailure(const QDBusMessage &answer, QString *detail);

// The monitors a user may choose one of on the share page: on an X server with several, each
// with its name and area; none on a Wayland desktop, whose own dialog asks.
std::vector<x11::Monitor> monitorsToChoose();

// What the user chose on the share page.
enum class ShareChoice {
    Desktop,
    Window,
};

// The surface of a share for this session and the user's choice: on Wayland the portal's screen,
// or a window the user picks in its dialog; elsewhere the X server's desktop, or the application
// window titled windowTitle whose handle the caller keeps in windowHandle. Not prepared yet.
std::unique_ptr<ShareSurface> makeShareSurface(ShareChoice choice, const SourceOptions &options,
        const QString &windowTitle = {}, x11::WindowId *windowHandle = nullptr);

// Whether surface serves the choice as it is, so a new share can go on with it: the X server's
// desktop made with the same options, the same application window, a window or screen from the
// portal for that choice.
bool surfaceServes(const ShareSurface &surface, ShareChoice choice, const SourceOptions &options,
        const QString &windowTitle = {});

// The source for a portal start that finished (for callers that ran PortalScreenCast
// themselves without waiting); session is kept open while the source lives.
DesktopSourceChoice portalSourceFrom(
        const ScreenCastOutcome &outcome, std::unique_ptr<PortalScreenCast> session);

} // namespace capture

#endif // TANDEO_CAPTURE_SOURCE_CHOICE_H

#include "source_choice.h"

#include "desktop_capture.h"

#include <QGuiApplication>

namespace capture {

bool isWaylandSession()
{
    if (QGuiApplication::platformName() == QLatin1String("wayland"))
        return true;
    return qgetenv("XDG_SESSION_TYPE") == "wayland" && !qgetenv("WAYLAND_DISPLAY").isEmpty();
}

DesktopSourceKind desktopSourceKind()
{
    // On Wayland an X server may be there too (for older programs), but it sees only their
    // windows, never the desktop.
    return isWaylandSession() ? DesktopSourceKind::Portal : DesktopSourceKind::X11;
}

DesktopSourceChoice portalSourceFrom(
        const ScreenCastOutcome &outcome, std::unique_ptr<PortalScreenCast> session)
{
    DesktopSourceChoice choice;
    choice.kind = DesktopSourceKind::Portal;
    choice.failure = outcome.failure;
    if (!outcome.ok()) {
        choice.reason = outcome.reason;
        return choice;
    }
    QString error;
    auto source = PortalScreenSource::open(outcome.stream, std::move(session), &error);
    if (!source) {
        choice.failure = ScreenCastFailure::Failed;
        choice.reason = error;
        return choice;
    }
    choice.portal = source.get();
    choice.source = std::move(source);
    return choice;
}

DesktopSourceChoice chooseDesktopSource(
        const SourceOptions &options, ScreenCastSourceType type, QDBusConnection bus)
{
    if (desktopSourceKind() == DesktopSourceKind::X11) {
        DesktopSourceChoice choice;
        choice.source = openDesktopSource(options);
        return choice;
    }
    auto session = std::make_unique<PortalScreenCast>(std::move(bus));
    const ScreenCastOutcome outcome = session->startAndWait(options, type);
    return portalSourceFrom(outcome, std::move(session));
}

} // namespace capture

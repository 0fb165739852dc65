#include "source_choice.h"

#include "desktop_capture.h"
#include "monitor_list.h"
#include "portal_names.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVariant>
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

QDBusPendingCall askPortalSourceTypes(QDBusConnection bus)
{
    QDBusMessage get = QDBusMessage::createMethodCall(portal::Service, portal::Path,
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get.setArguments({ QStringLiteral("org.freedesktop.portal.ScreenCast"),
            QStringLiteral("AvailableSourceTypes") });
    return bus.asyncCall(get, int(PortalScreenCast::CallTimeout.count()));
}

ScreenCastFailure windowSharingFailure(const QDBusMessage &answer, QString *detail)
{
    if (answer.type() == QDBusMessage::ErrorMessage) {
        if (isPortalTimeout(answer)) {
            *detail = QString::number(PortalScreenCast::CallTimeout.count() / 1000);
            return ScreenCastFailure::NoAnswer;
        }
        *detail = answer.errorName();
        return ScreenCastFailure::NoPortal;
    }
    const quint32 types = answer.arguments().isEmpty()
            ? 0
            : qdbus_cast<QDBusVariant>(answer.arguments().first()).variant().toUInt();
    detail->clear();
    return (types & quint32(ScreenCastSourceType::Window)) != 0
            ? ScreenCastFailure::None
            : ScreenCastFailure::WindowsNotOffered;
}

DesktopSourceChoice portalSourceFrom(
        const ScreenCastOutcome &outcome, std::unique_ptr<PortalScreenCast> session)
{
    DesktopSourceChoice choice;
    choice.kind = DesktopSourceKind::Portal;
    choice.failure = outcome.failure;
    if (!outcome.ok()) {
        choice.detail = outcome.detail;
        return choice;
    }
    QString error;
    auto source = PortalScreenSource::open(outcome.stream, std::move(session), &error);
    if (!source) {
        choice.failure = ScreenCastFailure::NoPictures;
        choice.detail = error;
        return choice;
    }
    choice.portal = source.get();
    choice.source = std::move(source);
    return choice;
}

std::vector<x11::Monitor> monitorsToChoose()
{
    if (desktopSourceKind() != DesktopSourceKind::X11)
        return {};
    const x11::ScreenMonitors screen = x11::readDisplayMonitors();
    return x11::choosableMonitors(screen.monitors, screen.screen);
}

std::unique_ptr<ShareSurface> makeShareSurface(ShareChoice choice, const SourceOptions &options,
        const QString &windowTitle, x11::WindowId *windowHandle)
{
    if (desktopSourceKind() == DesktopSourceKind::Portal)
        return std::make_unique<PortalSurface>(choice == ShareChoice::Window
                        ? ShareSurface::Kind::PortalWindow
                        : ShareSurface::Kind::PortalScreen,
                options);
    if (choice == ShareChoice::Window)
        return std::make_unique<WindowSurface>(windowTitle, windowHandle);
    return std::make_unique<DesktopSurface>(options);
}

bool surfaceServes(const ShareSurface &surface, ShareChoice choice, const SourceOptions &options,
        const QString &windowTitle)
{
    switch (surface.kind()) {
    case ShareSurface::Kind::Desktop:
        return choice == ShareChoice::Desktop
                && static_cast<const DesktopSurface &>(surface).options() == options;
    case ShareSurface::Kind::Window:
        return choice == ShareChoice::Window
                && static_cast<const WindowSurface &>(surface).title() == windowTitle;
    case ShareSurface::Kind::PortalWindow:
        return choice == ShareChoice::Window;
    case ShareSurface::Kind::PortalScreen:
        return choice == ShareChoice::Desktop;
    }
    return false;
}

} // namespace capture

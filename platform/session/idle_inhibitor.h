#ifndef TANDEO_PLATFORM_IDLE_INHIBITOR_H
#define TANDEO_PLATFORM_IDLE_INHIBITOR_H

// Keeps the desktop from blanking or locking the screen while it is held: the unit shows the
// desktop, and a presenter may not touch the computer for a long time. X11 desktops offer the
// screen saver service (org.freedesktop.ScreenSaver), Wayland desktops the portal's Inhibit.
// Without a session bus or the service, hold() logs one info line and the caller goes on.

#include <QDBusConnection>
#include <QString>

namespace platform {

class IdleInhibitor
{
public:
    enum class Route {
        ScreenSaver, // org.freedesktop.ScreenSaver on /org/freedesktop/ScreenSaver
        Portal, // org.freedesktop.portal.Inhibit on the desktop portal
    };

    explicit IdleInhibitor(Route route, QDBusConnection bus = QDBusConnection::sessionBus());
    ~IdleInhibitor();
    IdleInhibitor(const IdleInhibitor &) = delete;
    IdleInhibitor &operator=(const IdleInhibitor &) = delete;

    // Asks for the inhibition unless one is held already; false when the desktop gave none.
    bool hold(const QString &reason);
    // Gives a held inhibition back; nothing when none is held.
    void release();
    bool held() const { return m_held; }

private:
    Route m_route;
    QDBusConnection m_bus;
    bool m_held = false;
    bool m_failureLogged = false;
    quint32 m_cookie = 0; // the screen saver's
    QString m_request; // the portal's request object path
};

} // namespace platform

#endif // TANDEO_PLATFORM_IDLE_INHIBITOR_H

#ifndef TANDEO_PLATFORM_IDLE_INHIBITOR_H
#define TANDEO_PLATFORM_IDLE_INHIBITOR_H

// Keeps the desktop from blanking or locking the screen while it is held: the unit shows the
// desktop, and a presenter may not touch the computer for a long time. X11 desktops offer the
// screen saver service (org.freedesktop.ScreenSaver), Wayland desktops the portal's Inhibit.
// The desktop is asked without waiting for its answer (a desktop busy elsewhere must not hold up
// a share), which comes through the event loop. Without a session bus or the service, one info
// line is logged and the caller goes on.

#include <QDBusConnection>
#include <QDBusPendingCallWatcher>
#include <QString>

#include <memory>

namespace platform {

class IdleInhibitor
{
public:
    enum class Route {
        ScreenSaver, // org.freedesktop.ScreenSaver on /org/freedesktop/ScreenSaver
        Portal, // org.freedesktop.portal.Inhibit on the desktop portal
    };

    explicit IdleInhibitor(Route route, QDBusConnection bus = QDBusConnection::sessionBus());
    // Gives back what is held, also an inhibition whose answer is still on its way.
    ~IdleInhibitor();
    IdleInhibitor(const IdleInhibitor &) = delete;
    IdleInhibitor &operator=(const IdleInhibitor &) = delete;

    // Asks for the inhibition unless one is held or asked for; false when there is no bus to
    // ask on. held() tells once the desktop has granted it.
    bool hold(const QString &reason);
    // Gives the inhibition back: a held one now, one still asked for once it is granted.
    void release();
    bool held() const { return m_held; }
    // The desktop's answer to hold() is awaited.
    bool asking() const { return m_asking && !m_answerTaken; }

private:
    void answered(const QDBusMessage &reply);
    void giveBack();
    void sayUnavailable(const QString &why); // the info line, once per inhibitor

    Route m_route;
    QDBusConnection m_bus;
    bool m_wanted = false; // hold() since the last release()
    bool m_held = false;
    bool m_failureLogged = false;
    quint32 m_cookie = 0; // the screen saver's
    QString m_request; // the portal's request object path
    std::unique_ptr<QDBusPendingCallWatcher> m_asking; // the last question, kept once answered
    bool m_answerTaken = false; // answered() has read m_asking's reply
};

} // namespace platform

#endif // TANDEO_PLATFORM_IDLE_INHIBITOR_H

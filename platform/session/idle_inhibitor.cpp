#include "idle_inhibitor.h"

#include "portal_names.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingReply>
#include <QLoggingCategory>
#include <QVariantMap>

#include <utility>

Q_LOGGING_CATEGORY(lcIdle, "tandeo.idle")

namespace platform {

namespace {

const QString ScreenSaverService = QStringLiteral("org.freedesktop.ScreenSaver");
const QString ScreenSaverPath = QStringLiteral("/org/freedesktop/ScreenSaver");
const QString &PortalService = portal::Service;
const QString &PortalPath = portal::Path;
constexpr quint32 PortalIdleFlag = 8;

// A desktop that does not answer is taken to grant nothing after this long.
constexpr int HoldTimeoutMs = 3000;
constexpr int ReleaseTimeoutMs = 2000;

QString applicationName()
{
    const QString name = QCoreApplication::applicationName();
    return name.isEmpty() ? QStringLiteral("tandeo-desktop") : name;
}

} // namespace

IdleInhibitor::IdleInhibitor(Route route, QDBusConnection bus)
    : m_route(route),
      m_bus(std::move(bus))
{
}

IdleInhibitor::~IdleInhibitor()
{
    m_wanted = false;
    if (asking()) {
        // Granted after the program went, it would be held by nobody: the answer is waited
        // for (as long as the question was given) and what it grants given back.
        m_asking->waitForFinished(); // may hand the answer over already
        if (asking())
            answered(m_asking->reply());
    }
    release();
}

bool IdleInhibitor::hold(const QString &reason)
{
    m_wanted = true;
    if (m_held || asking())
        return true;
    const bool portal = m_route == Route::Portal;
    if (!m_bus.isConnected()) {
        sayUnavailable(QStringLiteral("no session bus"));
        return false;
    }
    QDBusMessage call;
    if (portal) {
        call = QDBusMessage::createMethodCall(PortalService, PortalPath,
                QStringLiteral("org.freedesktop.portal.Inhibit"), QStringLiteral("Inhibit"));
        call.setArguments(
                { QString(), PortalIdleFlag, QVariantMap{ { QStringLiteral("reason"), reason } } });
    } else {
        call = QDBusMessage::createMethodCall(
                ScreenSaverService, ScreenSaverPath, ScreenSaverService, QStringLiteral("Inhibit"));
        call.setArguments({ applicationName(), reason });
    }
    // A finished question before it is let go here, outside its own signal.
    m_asking = std::make_unique<QDBusPendingCallWatcher>(m_bus.asyncCall(call, HoldTimeoutMs));
    m_answerTaken = false;
    QObject::connect(m_asking.get(), &QDBusPendingCallWatcher::finished, m_asking.get(),
            [this](QDBusPendingCallWatcher *asking) { answered(asking->reply()); });
    return true;
}

void IdleInhibitor::answered(const QDBusMessage &reply)
{
    m_answerTaken = true;
    const bool portal = m_route == Route::Portal;
    QString failure;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        failure = reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
    } else if (portal) {
        m_request = qdbus_cast<QDBusObjectPath>(reply.arguments().first()).path();
        m_held = !m_request.isEmpty();
    } else {
        m_cookie = reply.arguments().first().toUInt();
        m_held = true;
    }
    if (!m_held)
        sayUnavailable(failure.isEmpty() ? QStringLiteral("an unexpected answer") : failure);
    // Released while the desktop was asked: given back as soon as it is granted.
    if (m_held && !m_wanted)
        giveBack();
}

void IdleInhibitor::sayUnavailable(const QString &why)
{
    // Once per inhibitor: every later share would only say the same.
    if (std::exchange(m_failureLogged, true))
        return;
    qCInfo(lcIdle).noquote() << "The screen may blank while sharing:"
                             << (m_route == Route::Portal ? PortalService : ScreenSaverService)
                             << "is not available (" + why + ")";
}

void IdleInhibitor::release()
{
    m_wanted = false;
    if (m_held)
        giveBack();
}

void IdleInhibitor::giveBack()
{
    m_held = false;
    QDBusMessage call;
    if (m_route == Route::Portal) {
        call = QDBusMessage::createMethodCall(PortalService, std::exchange(m_request, QString()),
                portal::RequestInterface, QStringLiteral("Close"));
    } else {
        call = QDBusMessage::createMethodCall(ScreenSaverService, ScreenSaverPath,
                ScreenSaverService, QStringLiteral("UnInhibit"));
        call.setArguments({ std::exchange(m_cookie, 0u) });
    }
    // Waited for, so that it is sent even when the program ends right after; every stop path
    // has told the unit before it comes here.
    const QDBusMessage reply = m_bus.call(call, QDBus::Block, ReleaseTimeoutMs);
    if (reply.type() == QDBusMessage::ErrorMessage)
        qCDebug(lcIdle) << "giving the inhibition back:" << reply.errorMessage();
}

} // namespace platform

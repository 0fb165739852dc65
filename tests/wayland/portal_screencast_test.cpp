// The screen-cast portal client: against the stand-in portal of the test stack (granted,
// remembered, refused, ended) and on buses where no portal can answer.

#include "portal_screencast.h"
#include "qstring_printer.h"
#include "test_support.h"
#include "wayland_fixture.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>

using namespace capture;
using namespace std::chrono_literals;

namespace {

// The portal's object without screen casting, as a desktop without a screen-cast back-end
// shows it.
class NoScreenCastPortal : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")

public:
    using QObject::QObject;
};

// A screen-cast portal that takes calls and never answers them: its time-outs are ours.
class SilentPortal : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.ScreenCast")
    Q_PROPERTY(uint version READ version)
    Q_PROPERTY(uint AvailableSourceTypes READ sourceTypes)
    Q_PROPERTY(uint AvailableCursorModes READ cursorModes)

public:
    explicit SilentPortal(QDBusConnection bus) : m_bus(std::move(bus)) { }
    uint version() const { return 4; }
    uint sourceTypes() const { return 1; }
    uint cursorModes() const { return 1; }

    QList<QDBusMessage> calls;

public slots:
    QDBusObjectPath CreateSession(const QVariantMap &options, const QDBusMessage &message)
    {
        (void)options;
        message.setDelayedReply(true);
        calls.append(message);
        return {};
    }

private:
    QDBusConnection m_bus;
};

class NoPortalTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!m_bus.isUp())
            GTEST_SKIP() << "no dbus-daemon to run a bus of our own";
    }

    // Puts an object on the bus as the desktop portal.
    void offerPortal(QObject *object)
    {
        m_portalSide = m_bus.connect();
        ASSERT_TRUE(m_portalSide.registerService(QStringLiteral("org.freedesktop.portal.Desktop")));
        ASSERT_TRUE(m_portalSide.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"),
                object, QDBusConnection::ExportAllContents));
    }

    waylandtest::PrivateBus m_bus;
    QDBusConnection m_portalSide{ QString() };
    testsupport::TempHome m_home;
};

TEST_F(NoPortalTest, BusWithoutPortalOrWithoutScreenCastingIsNoPortal)
{
    PortalScreenCast bare(m_bus.connect());
    ScreenCastOutcome outcome = bare.startAndWait(SourceOptions{});
    EXPECT_EQ(outcome.failure, ScreenCastFailure::NoPortal);
    EXPECT_TRUE(outcome.reason.contains(QStringLiteral("install xdg-desktop-portal")))
            << outcome.reason.toStdString();

    NoScreenCastPortal settingsOnly;
    offerPortal(&settingsOnly);
    PortalScreenCast client(m_bus.connect());
    outcome = client.startAndWait(SourceOptions{});
    EXPECT_EQ(outcome.failure, ScreenCastFailure::NoPortal) << outcome.reason.toStdString();
    EXPECT_FALSE(client.isStarting());
}

TEST_F(NoPortalTest, PortalThatNeverAnswersFailsAfterTheCallTimeout)
{
    SilentPortal silent(m_bus.connect());
    offerPortal(&silent);
    PortalScreenCast client(m_bus.connect());
    client.setTimeouts(300ms, 300ms);
    const ScreenCastOutcome outcome = client.startAndWait(SourceOptions{});
    EXPECT_EQ(outcome.failure, ScreenCastFailure::Failed);
    EXPECT_TRUE(outcome.reason.contains(QStringLiteral("did not answer")))
            << outcome.reason.toStdString();
    ASSERT_EQ(silent.calls.size(), 1);
    // The request path the client waited on is the one the portal's rules predict.
    const auto options = qdbus_cast<QVariantMap>(silent.calls.first().arguments().value(0));
    EXPECT_FALSE(options.value(QStringLiteral("handle_token")).toString().isEmpty());
    EXPECT_FALSE(options.value(QStringLiteral("session_handle_token")).toString().isEmpty());
}

} // namespace

#include "portal_screencast_test.moc"

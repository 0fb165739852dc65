// The screen-cast portal client: against the stand-in portal of the test stack (granted,
// remembered, refused, ended) and on buses where no portal can answer.

#include "desktop_capture.h"
#include "portal_screen_source.h"
#include "portal_screencast.h"
#include "qstring_printer.h"
#include "source_choice.h"
#include "standin_picture.h"
#include "test_support.h"
#include "wayland_fixture.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <csignal>

using namespace capture;
using namespace std::chrono_literals;
using testsupport::waitUntil;

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

// A screen-cast portal on a bus of the test's own that answers CreateSession in one of the two
// ways the stand-in never does: not at all, or with its Response ("other end") sent before the
// call's reply, which a client that subscribes only after the call misses.
class BareScreenCastPortal : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.ScreenCast")
    Q_PROPERTY(uint version READ version)
    Q_PROPERTY(uint AvailableSourceTypes READ sourceTypes)
    Q_PROPERTY(uint AvailableCursorModes READ cursorModes)

public:
    enum class Answer { Never, ResponseFirst };
    explicit BareScreenCastPortal(Answer answer) : m_answer(answer) { }
    uint version() const { return 4; }
    uint sourceTypes() const { return 1; }
    uint cursorModes() const { return 1; }

    QDBusConnection bus{ QString() };
    QList<QVariantMap> createOptions;

public slots:
    QDBusObjectPath CreateSession(const QVariantMap &options, const QDBusMessage &message)
    {
        createOptions.append(options);
        const QString sender = message.service().mid(1).replace(u'.', u'_');
        const QString request = QStringLiteral("/org/freedesktop/portal/desktop/request/") + sender
                + u'/' + options.value(QStringLiteral("handle_token")).toString();
        if (m_answer == Answer::Never) {
            message.setDelayedReply(true);
            return {};
        }
        QDBusMessage response = QDBusMessage::createSignal(request,
                QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"));
        response << 2u << QVariantMap();
        bus.send(response);
        return QDBusObjectPath(request);
    }

private:
    Answer m_answer;
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
    EXPECT_EQ(outcome.failure, ScreenCastFailure::NoPortal) << outcome.detail.toStdString();

    NoScreenCastPortal settingsOnly;
    offerPortal(&settingsOnly);
    PortalScreenCast client(m_bus.connect());
    outcome = client.startAndWait(SourceOptions{});
    EXPECT_EQ(outcome.failure, ScreenCastFailure::NoPortal) << outcome.detail.toStdString();
    EXPECT_FALSE(client.isStarting());
}

// The answer to "which sources do you share?" before a window is asked for: only a portal that
// says windows lets the dialog open; one that cannot be asked says why, not "screens only".
TEST(WindowSharingAnswer, ReadsTheSourceTypesAndTheWaysTheQuestionFails)
{
    const QDBusMessage question = QDBusMessage::createMethodCall(
            "org.freedesktop.portal.Desktop", "/", "org.freedesktop.DBus.Properties", "Get");
    const auto failureOf = [](const QDBusMessage &answer, QString *detail) {
        return windowSharingFailure(answer, detail);
    };
    QString detail = "left over";
    EXPECT_EQ(failureOf(question.createReply(QVariant::fromValue(QDBusVariant(3u))), &detail),
            ScreenCastFailure::None);
    EXPECT_EQ(detail, QString());
    EXPECT_EQ(failureOf(question.createReply(QVariant::fromValue(QDBusVariant(1u))), &detail),
            ScreenCastFailure::WindowsNotOffered);
    EXPECT_EQ(failureOf(question.createReply(), &detail), ScreenCastFailure::WindowsNotOffered);
    EXPECT_EQ(failureOf(question.createErrorReply("org.freedesktop.DBus.Error.NoReply", "late"),
                      &detail),
            ScreenCastFailure::NoAnswer);
    EXPECT_EQ(detail, "30") << "seconds waited";
    EXPECT_EQ(failureOf(question.createErrorReply(
                                "org.freedesktop.DBus.Error.ServiceUnknown", "nobody"),
                      &detail),
            ScreenCastFailure::NoPortal);
    EXPECT_EQ(detail, "org.freedesktop.DBus.Error.ServiceUnknown");
}

TEST_F(NoPortalTest, PortalThatNeverAnswersFailsAfterTheCallTimeout)
{
    BareScreenCastPortal silent(BareScreenCastPortal::Answer::Never);
    offerPortal(&silent);
    PortalScreenCast client(m_bus.connect());
    client.setTimeouts(300ms, 300ms);
    const ScreenCastOutcome outcome = client.startAndWait(SourceOptions{});
    EXPECT_EQ(outcome.failure, ScreenCastFailure::NoAnswer);
    EXPECT_EQ(outcome.detail, QStringLiteral("1")) << "seconds, rounded up";
    ASSERT_EQ(silent.createOptions.size(), 1);
    EXPECT_FALSE(silent.createOptions.first()
                         .value(QStringLiteral("session_handle_token"))
                         .toString()
                         .isEmpty());
}

TEST_F(NoPortalTest, ResponseSentBeforeTheCallReturnsIsNotMissed)
{
    BareScreenCastPortal eager(BareScreenCastPortal::Answer::ResponseFirst);
    offerPortal(&eager);
    eager.bus = m_portalSide;
    PortalScreenCast client(m_bus.connect());
    client.setTimeouts(2s, 2s);
    const ScreenCastOutcome outcome = client.startAndWait(SourceOptions{});
    EXPECT_EQ(outcome.failure, ScreenCastFailure::NotStarted)
            << "the Response on the predicted request path was missed";
}

QColor colourOf(standin::Rgb rgb)
{
    return QColor(rgb.r, rgb.g, rgb.b);
}

// A stand-in portal of the test's own (taking the portal's name over from the stack's), with
// its record of events and its tokens in the test's folder, and clients of it.
class StandinTest : public waylandtest::PipeWireTest
{
protected:
    void SetUp() override
    {
        waylandtest::PipeWireTest::SetUp();
        if (IsSkipped())
            return;
        if (!QDBusConnection::sessionBus().isConnected())
            GTEST_SKIP() << "no session bus; run through scripts/wayland_stack.sh";
        ASSERT_TRUE(m_dir.isValid());
    }

    void TearDown() override
    {
        if (m_standin) {
            m_standin->terminate();
            m_standin->waitForFinished(10'000);
        }
        waylandtest::PipeWireTest::TearDown();
    }

    void startStandin(const QStringList &arguments = {})
    {
        m_standin = std::make_unique<QProcess>();
        m_standin->setProcessChannelMode(QProcess::ForwardedChannels);
        m_standin->start(QStringLiteral(TANDEO_PORTAL_STANDIN_PROGRAM),
                QStringList{ QStringLiteral("--replace"), QStringLiteral("--record"),
                        m_dir.filePath(QStringLiteral("record")), QStringLiteral("--token-store"),
                        m_dir.filePath(QStringLiteral("tokens")) }
                        + arguments);
        ASSERT_TRUE(m_standin->waitForStarted());
        const auto pid = uint(m_standin->processId());
        const auto bus = QDBusConnection::sessionBus().interface();
        ASSERT_TRUE(waitUntil([&] {
            return bus->servicePid(QStringLiteral("org.freedesktop.portal.Desktop")) == pid;
        })) << "the stand-in did not take the portal's name";
    }

    // A client keeping its token where the test looks.
    std::unique_ptr<PortalScreenCast> newClient()
    {
        auto client = std::make_unique<PortalScreenCast>();
        client->setTokenFile(m_dir.filePath(QStringLiteral("screencast-token")));
        return client;
    }

    QStringList recorded() const
    {
        QFile file(m_dir.filePath(QStringLiteral("record")));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
    }

    // The line of the record that starts with prefix (the last such); empty when none.
    QString recordedLine(const QString &prefix) const
    {
        const QStringList lines = recorded().filter(QRegularExpression(u'^' + prefix));
        return lines.isEmpty() ? QString() : lines.last();
    }

    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_standin;
};

TEST_F(StandinTest, GrantedScreenArrivesWithItsFourQuadrantsAndAsJpeg)
{
    const QSize size(320, 240);
    startStandin({ QStringLiteral("--size"), QStringLiteral("320x240") });
    auto client = newClient();
    const ScreenCastOutcome outcome = client->startAndWait(SourceOptions{});
    ASSERT_TRUE(outcome.ok()) << outcome.detail.toStdString();
    EXPECT_TRUE(client->isRunning());
    EXPECT_EQ(outcome.stream.size, size);
    EXPECT_EQ(outcome.stream.sourceType, ScreenCastSourceType::Monitor);
    EXPECT_EQ(recordedLine(QStringLiteral("select-sources")),
            QStringLiteral("select-sources types=1 cursor=1 persist=2 restored=no"));
    EXPECT_FALSE(client->storedRestoreToken().isEmpty());

    QString error;
    auto source = PortalScreenSource::open(outcome.stream, std::move(client), &error);
    ASSERT_TRUE(source) << error.toStdString();
    EXPECT_EQ(source->size(), size);
    const std::optional<PixelView> picture = source->grab();
    ASSERT_TRUE(picture);
    ASSERT_EQ(picture->size(), size);
    // Every quadrant exactly, up to its edges.
    for (const QPoint point : { QPoint(0, 0), QPoint(159, 119), QPoint(160, 0), QPoint(319, 119),
                 QPoint(0, 120), QPoint(159, 239), QPoint(160, 120), QPoint(319, 239) }) {
        const QColor expected = colourOf(
                standin::quadrantColourAt(point.x(), point.y(), size.width(), size.height()));
        const QColor seen = waylandtest::pixelAt(*picture, point.x(), point.y());
        EXPECT_EQ(seen, expected) << "at " << point.x() << "," << point.y() << ": "
                                  << seen.name().toStdString();
    }

    // The frame the unit gets, halved: the quadrants away from their edges.
    DesktopCapture capture(std::move(source));
    QByteArray jpeg;
    ASSERT_TRUE(capture.captureJpeg(QSize(160, 120), jpeg));
    const QImage decoded = QImage::fromData(jpeg, "JPEG");
    ASSERT_EQ(decoded.size(), QSize(160, 120));
    for (const QPoint point :
            { QPoint(40, 30), QPoint(120, 30), QPoint(40, 90), QPoint(120, 90) }) {
        const QColor expected = colourOf(standin::quadrantColourAt(
                point.x() * 2, point.y() * 2, size.width(), size.height()));
        const QColor seen = decoded.pixelColor(point);
        EXPECT_TRUE(waylandtest::near(seen, expected, 24))
                << "at " << point.x() << "," << point.y() << ": " << seen.name().toStdString();
    }
}

TEST_F(StandinTest, KeptTokenLetsTheNextClientShareAgainAndCloseEndsTheSession)
{
    startStandin();
    {
        auto first = newClient();
        // A token the portal never gave changes nothing.
        QFile token(first->tokenFile());
        ASSERT_TRUE(token.open(QIODevice::WriteOnly));
        token.write("not-a-token-the-portal-gave\n");
        token.close();
        ASSERT_TRUE(first->startAndWait(SourceOptions{}).ok());
        EXPECT_TRUE(recordedLine(QStringLiteral("select-sources")).endsWith(u"restored=no"));
        first->close();
        EXPECT_FALSE(first->isRunning());
    }
    ASSERT_TRUE(waitUntil([&] { return recorded().contains(QStringLiteral("session-closed")); }))
            << "closing did not end the portal's session";

    auto second = newClient();
    const ScreenCastOutcome outcome = second->startAndWait(SourceOptions{});
    ASSERT_TRUE(outcome.ok()) << outcome.detail.toStdString();
    EXPECT_TRUE(recordedLine(QStringLiteral("select-sources")).endsWith(u"restored=yes"))
            << recordedLine(QStringLiteral("select-sources")).toStdString();
}

// What SelectSources asks for, from what the program wants and what the portal offers.
struct SelectCase
{
    const char *sourceTypes;
    const char *cursorModes;
    ScreenCastSourceType wanted;
    bool showPointer;
    const char *recorded;
};

class SelectSourcesTest : public StandinTest, public ::testing::WithParamInterface<SelectCase>
{
};

TEST_P(SelectSourcesTest, AsksOnlyForWhatIsOffered)
{
    const SelectCase &c = GetParam();
    startStandin({ QStringLiteral("--source-types"), QString::fromLatin1(c.sourceTypes),
            QStringLiteral("--cursor-modes"), QString::fromLatin1(c.cursorModes),
            QStringLiteral("--size"), QStringLiteral("128x96") });
    auto client = newClient();
    SourceOptions options;
    options.showPointer = c.showPointer;
    const ScreenCastOutcome outcome = client->startAndWait(options, c.wanted);
    ASSERT_TRUE(outcome.ok()) << outcome.detail.toStdString();
    EXPECT_EQ(recordedLine(QStringLiteral("select-sources")), QString::fromLatin1(c.recorded));

    // The pointer, when drawn in, is where the stand-in draws it.
    auto source = PortalScreenSource::open(outcome.stream, std::move(client));
    ASSERT_TRUE(source);
    const std::optional<PixelView> picture = source->grab();
    ASSERT_TRUE(picture);
    const bool embedded = QString::fromLatin1(c.recorded).contains(u"cursor=2");
    const int x = standin::CursorMarkX + standin::CursorMarkSize / 2;
    const int y = standin::CursorMarkY + standin::CursorMarkSize / 2;
    EXPECT_EQ(waylandtest::pixelAt(*picture, x, y),
            colourOf(standin::pictureColourAt(x, y, 128, 96, embedded)));
}

INSTANTIATE_TEST_SUITE_P(Offers, SelectSourcesTest,
        ::testing::Values(SelectCase{ "1", "3", ScreenCastSourceType::Monitor, false,
                                  "select-sources types=1 cursor=1 persist=2 restored=no" },
                SelectCase{ "1", "3", ScreenCastSourceType::Monitor, true,
                        "select-sources types=1 cursor=2 persist=2 restored=no" },
                SelectCase{ "1", "1", ScreenCastSourceType::Monitor, true,
                        "select-sources types=1 cursor=1 persist=2 restored=no" },
                SelectCase{ "3", "3", ScreenCastSourceType::Window, false,
                        "select-sources types=2 cursor=1 persist=2 restored=no" },
                SelectCase{ "1", "3", ScreenCastSourceType::Window, false,
                        "select-sources types=1 cursor=1 persist=2 restored=no" }));

TEST_F(StandinTest, CancelInTheDialogIsRefused)
{
    startStandin({ QStringLiteral("--answer"), QStringLiteral("cancel") });
    auto client = newClient();
    const ScreenCastOutcome outcome = client->startAndWait(SourceOptions{});
    EXPECT_EQ(outcome.failure, ScreenCastFailure::Refused) << outcome.detail.toStdString();
    EXPECT_FALSE(outcome.stream.pipeWireFd.isValid());
    EXPECT_FALSE(client->isRunning());
    EXPECT_TRUE(recorded().contains(QStringLiteral("start cancelled")));
    EXPECT_TRUE(client->storedRestoreToken().isEmpty());
}

TEST_F(StandinTest, NodeRemovedWhileSharingEndsTheSourceCleanly)
{
    startStandin({ QStringLiteral("--size"), QStringLiteral("256x144") });
    auto client = newClient();
    const ScreenCastOutcome outcome = client->startAndWait(SourceOptions{});
    ASSERT_TRUE(outcome.ok()) << outcome.detail.toStdString();
    auto opened = PortalScreenSource::open(outcome.stream, std::move(client));
    ASSERT_TRUE(opened);
    PortalScreenSource &source = *opened;
    QString endedWith;
    QObject::connect(&source.stream(), &PipeWireStream::ended,
            [&](const QString &reason) { endedWith = reason; });
    DesktopCapture capture(std::move(opened));
    QByteArray jpeg;
    ASSERT_TRUE(capture.captureJpeg(QSize(128, 72), jpeg));

    ::kill(pid_t(m_standin->processId()), SIGUSR1); // the stand-in removes its nodes
    ASSERT_TRUE(waitUntil([&] { return !endedWith.isEmpty(); }, 10s))
            << "no notice when the node went away";
    EXPECT_TRUE(recorded().contains(QStringLiteral("node-removed")));
    EXPECT_FALSE(source.grab());
    EXPECT_FALSE(capture.captureJpeg(QSize(128, 72), jpeg));
    EXPECT_TRUE(jpeg.isEmpty());
}

// The portal asked and its answer made a source, as the share surface does without waiting.
DesktopSourceChoice askPortal(QDBusConnection bus = QDBusConnection::sessionBus())
{
    auto session = std::make_unique<PortalScreenCast>(std::move(bus));
    const ScreenCastOutcome outcome = session->startAndWait(SourceOptions{});
    return portalSourceFrom(outcome, std::move(session));
}

TEST_F(StandinTest, WaylandSessionChoosesThePortalAndSaysWhatIsMissing)
{
    ASSERT_TRUE(isWaylandSession());
    ASSERT_EQ(desktopSourceKind(), DesktopSourceKind::Portal);
    startStandin({ QStringLiteral("--size"), QStringLiteral("64x64") });
    QFile::remove(PortalScreenCast::defaultTokenFile());
    DesktopSourceChoice choice = askPortal();
    ASSERT_TRUE(choice.ok()) << choice.detail.toStdString();
    EXPECT_EQ(choice.kind, DesktopSourceKind::Portal);
    ASSERT_TRUE(choice.portal);
    EXPECT_EQ(choice.source->size(), QSize(64, 64));
    const std::optional<PixelView> picture = choice.source->grab();
    ASSERT_TRUE(picture);
    EXPECT_EQ(waylandtest::pixelAt(*picture, 63, 63), colourOf(standin::BottomRightColour));
    choice = {};
    EXPECT_TRUE(waitUntil([&] { return recorded().contains(QStringLiteral("session-closed")); }))
            << "dropping the source did not end the portal's session";

    waylandtest::PrivateBus empty;
    ASSERT_TRUE(empty.isUp());
    const DesktopSourceChoice none = askPortal(empty.connect());
    EXPECT_FALSE(none.ok());
    EXPECT_EQ(none.failure, ScreenCastFailure::NoPortal);
}

} // namespace

#include "portal_screencast_test.moc"

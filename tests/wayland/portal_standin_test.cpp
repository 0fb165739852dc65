// The stand-in screen-cast portal, walked like a client does over the test stack's session
// bus, and its node read back through the PipeWire connection the portal hands out. Runs
// inside scripts/wayland_stack.sh (ctest label "wayland").

#include "pipewire_stream.h"
#include "portal_types.h"
#include "standin_picture.h"
#include "test_support.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>
#include <gtest/gtest.h>
#include <optional>

using namespace std::chrono_literals;
using testsupport::waitUntil;

namespace {

const QString PortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString PortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString ScreenCast = QStringLiteral("org.freedesktop.portal.ScreenCast");
// Signals are matched by path alone: each test replaces the stand-in, and a subscription by
// the portal's name could still expect the previous owner for a moment.
const QString AnySender;

std::uint32_t packed(standin::Rgb colour)
{
    return std::uint32_t(colour.r) << 16 | std::uint32_t(colour.g) << 8 | colour.b;
}

// The red, green, blue of a pixel of the stream's picture (bytes blue, green, red, unused).
std::uint32_t rgbAt(const capture::StreamPicture &picture, int x, int y)
{
    const std::uint8_t *pixel =
            picture.pixels.data() + std::size_t(y) * picture.strideBytes + std::size_t(x) * 4;
    return std::uint32_t(pixel[2]) << 16 | std::uint32_t(pixel[1]) << 8 | pixel[0];
}

// The node read as the program reads it, and whether its end reached the test's event loop
// (ended() is queued to the stream's thread).
struct NodeReader
{
    capture::PipeWireStream stream;
    bool endHeard = false;
};

struct PortalAnswer
{
    uint response = 99;
    QVariantMap results;
};

// Catches one Request's Response, subscribed before the call as clients must.
class ResponseCatcher : public QObject
{
    Q_OBJECT

public:
    std::optional<PortalAnswer> answer;

public slots:
    void onResponse(uint response, const QVariantMap &results)
    {
        answer = PortalAnswer{ response, results };
    }
};

class ClosedCatcher : public QObject
{
    Q_OBJECT

public:
    bool closed = false;

public slots:
    void onClosed(const QVariantMap &) { closed = true; }
};

class PortalStandinTest : public ::testing::Test
{
protected:
    void TearDown() override { stopStandin(); }

    // Starts a stand-in of our own that takes the portal's name over; it records into
    // recordPath() and keeps tokens in the fixture's store, across restarts.
    void startStandin(const QStringList &extraArguments = {})
    {
        stopStandin();
        m_standin = std::make_unique<QProcess>();
        m_standin->setProcessChannelMode(QProcess::ForwardedChannels);
        m_standin->start(QStringLiteral(TANDEO_PORTAL_STANDIN_PROGRAM),
                QStringList{ QStringLiteral("--replace"), QStringLiteral("--record"), recordPath(),
                        QStringLiteral("--token-store"), m_dir.filePath(QStringLiteral("tokens")) }
                        + extraArguments);
        ASSERT_TRUE(m_standin->waitForStarted());
        const auto pid = uint(m_standin->processId());
        ASSERT_TRUE(waitUntil([&] { return bus().interface()->servicePid(PortalService) == pid; }))
                << "the stand-in did not take the portal's name";
    }

    void stopStandin()
    {
        if (!m_standin)
            return;
        m_standin->terminate();
        m_standin->waitForFinished();
        m_standin.reset();
    }

    // The connection the walk uses: the session bus, or one a test opens to drop it later.
    QDBusConnection bus() const { return m_bus; }

    QString recordPath() const { return m_dir.filePath(QStringLiteral("record")); }

    QStringList recorded() const
    {
        QFile file(recordPath());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
    }

    // Calls a ScreenCast method that answers through a Request and waits for its Response.
    PortalAnswer callWithRequest(const QString &method, QVariantList arguments)
    {
        const QString token = QStringLiteral("t%1").arg(++m_tokens);
        QVariantMap options = arguments.takeLast().toMap();
        options.insert(QStringLiteral("handle_token"), token);
        arguments.append(options);
        const QString sender = bus().baseService().mid(1).replace(u'.', u'_');
        const QString requestPath = PortalPath + "/request/" + sender + '/' + token;
        ResponseCatcher catcher;
        EXPECT_TRUE(bus().connect(AnySender, requestPath,
                QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"),
                &catcher, SLOT(onResponse(uint, QVariantMap))));
        QDBusMessage call =
                QDBusMessage::createMethodCall(PortalService, PortalPath, ScreenCast, method);
        call.setArguments(arguments);
        const QDBusReply<QDBusObjectPath> handle = bus().call(call);
        EXPECT_TRUE(handle.isValid())
                << method.toStdString() << ": " << handle.error().message().toStdString();
        if (handle.isValid()) {
            EXPECT_EQ(handle.value().path(), requestPath);
        }
        EXPECT_TRUE(waitUntil([&] { return catcher.answer.has_value(); }))
                << method.toStdString() << " got no Response";
        bus().disconnect(AnySender, requestPath, QStringLiteral("org.freedesktop.portal.Request"),
                QStringLiteral("Response"), &catcher, SLOT(onResponse(uint, QVariantMap)));
        return catcher.answer.value_or(PortalAnswer{});
    }

    QDBusObjectPath createSession()
    {
        const PortalAnswer answer = callWithRequest(QStringLiteral("CreateSession"),
                { QVariantMap{
                        { QStringLiteral("session_handle_token"), QStringLiteral("s1") } } });
        EXPECT_EQ(answer.response, 0u);
        return QDBusObjectPath(answer.results.value(QStringLiteral("session_handle")).toString());
    }

    PortalAnswer selectSources(const QDBusObjectPath &session, QVariantMap options)
    {
        return callWithRequest(
                QStringLiteral("SelectSources"), { QVariant::fromValue(session), options });
    }

    PortalAnswer start(const QDBusObjectPath &session)
    {
        return callWithRequest(QStringLiteral("Start"),
                { QVariant::fromValue(session), QString(), QVariantMap{} });
    }

    // The streams of a Start answer, checked to travel as a(ua{sv}).
    static QList<standin::StreamDescription> streamsOf(const PortalAnswer &answer)
    {
        const auto argument =
                answer.results.value(QStringLiteral("streams")).value<QDBusArgument>();
        EXPECT_EQ(argument.currentSignature(), QStringLiteral("a(ua{sv})"));
        QList<standin::StreamDescription> streams;
        argument >> streams;
        return streams;
    }

    // Reads the node as the program does, over the connection the portal hands out; null
    // when no picture came.
    std::unique_ptr<NodeReader> readNode(const QDBusObjectPath &session, std::uint32_t nodeId)
    {
        const QDBusReply<QDBusUnixFileDescriptor> remote =
                bus().call(QDBusMessage::createMethodCall(PortalService, PortalPath, ScreenCast,
                                   QStringLiteral("OpenPipeWireRemote"))
                        << QVariant::fromValue(session) << QVariantMap{});
        EXPECT_TRUE(remote.isValid()) << remote.error().message().toStdString();
        if (!remote.isValid())
            return nullptr;
        auto reader = std::make_unique<NodeReader>();
        QObject::connect(&reader->stream, &capture::PipeWireStream::ended,
                [raw = reader.get()] { raw->endHeard = true; });
        QString error;
        EXPECT_TRUE(reader->stream.start(remote.value().fileDescriptor(), nodeId, &error))
                << error.toStdString();
        EXPECT_TRUE(reader->stream.waitForPicture(10s)) << "no picture from node " << nodeId << ": "
                                                        << reader->stream.endReason().toStdString();
        if (reader->stream.picturesReceived() == 0)
            return nullptr;
        return reader;
    }

    // The newest picture of a stream that has sent one.
    static capture::StreamPicture newestPicture(capture::PipeWireStream &reader)
    {
        capture::StreamPicture picture;
        EXPECT_TRUE(reader.takeNewest(picture));
        return picture;
    }

    // The stream's end, as its owner hears of it.
    static bool waitForEnd(const NodeReader &reader)
    {
        return waitUntil([&] { return reader.endHeard; }, 10s) && reader.stream.hasEnded();
    }

    QVariantMap monitorOptions(uint cursorMode, uint persistMode, const QString &token = {})
    {
        QVariantMap options{ { QStringLiteral("types"), 1u }, { QStringLiteral("multiple"), false },
            { QStringLiteral("cursor_mode"), cursorMode },
            { QStringLiteral("persist_mode"), persistMode } };
        if (!token.isEmpty())
            options.insert(QStringLiteral("restore_token"), token);
        return options;
    }

    QTemporaryDir m_dir;
    QDBusConnection m_bus = QDBusConnection::sessionBus();
    std::unique_ptr<QProcess> m_standin;
    int m_tokens = 0;
};

TEST_F(PortalStandinTest, AnswersTheScreenCastProperties)
{
    startStandin({ QStringLiteral("--source-types"), QStringLiteral("3") });
    QDBusInterface properties(
            PortalService, PortalPath, QStringLiteral("org.freedesktop.DBus.Properties"), bus());
    const QDBusReply<QVariantMap> all = properties.call(QStringLiteral("GetAll"), ScreenCast);
    ASSERT_TRUE(all.isValid()) << all.error().message().toStdString();
    EXPECT_EQ(all.value().value(QStringLiteral("AvailableSourceTypes")), QVariant(3u));
    EXPECT_EQ(all.value().value(QStringLiteral("AvailableCursorModes")), QVariant(3u));
    EXPECT_EQ(all.value().value(QStringLiteral("version")), QVariant(4u));
}

TEST_F(PortalStandinTest, SharesTheKnownPictureAndRestoresWithItsToken)
{
    startStandin();
    QDBusObjectPath session = createSession();
    EXPECT_EQ(selectSources(session, monitorOptions(1, 2)).response, 0u);
    PortalAnswer started = start(session);
    ASSERT_EQ(started.response, 0u);
    QList<standin::StreamDescription> streams = streamsOf(started);
    ASSERT_EQ(streams.size(), 1);
    const auto size = streams[0].properties.value(QStringLiteral("size")).value<QDBusArgument>();
    standin::IntPair widthHeight;
    size >> widthHeight;
    EXPECT_EQ(widthHeight.first, standin::DefaultWidth);
    EXPECT_EQ(widthHeight.second, standin::DefaultHeight);
    EXPECT_EQ(streams[0].properties.value(QStringLiteral("source_type")), QVariant(1u));
    const QString firstToken = started.results.value(QStringLiteral("restore_token")).toString();
    EXPECT_FALSE(firstToken.isEmpty());

    {
        const auto reader = readNode(session, streams[0].nodeId);
        ASSERT_TRUE(reader);
        EXPECT_EQ(reader->stream.negotiatedFormat(), QStringLiteral("BGRx"))
                << "the preferred format";
        EXPECT_EQ(reader->stream.negotiatedSize(),
                QSize(standin::DefaultWidth, standin::DefaultHeight));
        const capture::StreamPicture frame = newestPicture(reader->stream);
        ASSERT_EQ(frame.width, standin::DefaultWidth);
        ASSERT_EQ(frame.height, standin::DefaultHeight);
        const int w = frame.width;
        const int h = frame.height;
        EXPECT_EQ(rgbAt(frame, w / 4, h / 4), packed(standin::TopLeftColour));
        EXPECT_EQ(rgbAt(frame, 3 * w / 4, h / 4), packed(standin::TopRightColour));
        EXPECT_EQ(rgbAt(frame, w / 4, 3 * h / 4), packed(standin::BottomLeftColour));
        EXPECT_EQ(rgbAt(frame, 3 * w / 4, 3 * h / 4), packed(standin::BottomRightColour));
        EXPECT_EQ(rgbAt(frame, standin::CursorMarkX + 8, standin::CursorMarkY + 8),
                packed(standin::TopLeftColour))
                << "a hidden pointer is not drawn";
    }

    // A later run of the stand-in knows the token; the restored share embeds the pointer.
    startStandin();
    session = createSession();
    EXPECT_EQ(selectSources(session, monitorOptions(2, 2, firstToken)).response, 0u);
    started = start(session);
    ASSERT_EQ(started.response, 0u);
    streams = streamsOf(started);
    ASSERT_EQ(streams.size(), 1);
    const QString secondToken = started.results.value(QStringLiteral("restore_token")).toString();
    EXPECT_FALSE(secondToken.isEmpty());
    EXPECT_NE(secondToken, firstToken) << "a token restores once";
    const auto reader = readNode(session, streams[0].nodeId);
    ASSERT_TRUE(reader);
    const capture::StreamPicture frame = newestPicture(reader->stream);
    ASSERT_EQ(frame.size(), QSize(standin::DefaultWidth, standin::DefaultHeight));
    EXPECT_EQ(rgbAt(frame, standin::CursorMarkX + 8, standin::CursorMarkY + 8),
            packed(standin::CursorMarkInside));
    EXPECT_EQ(rgbAt(frame, standin::CursorMarkX, standin::CursorMarkY),
            packed(standin::CursorMarkBorderColour));

    const QStringList lines = recorded();
    EXPECT_TRUE(lines.contains("select-sources types=1 cursor=1 persist=2 restored=no"))
            << lines.join(u'|').toStdString();
    EXPECT_TRUE(lines.contains("select-sources types=1 cursor=2 persist=2 restored=yes"))
            << lines.join(u'|').toStdString();
    EXPECT_EQ(lines.filter(QStringLiteral("open-remote")).size(), 2);
}

TEST_F(PortalStandinTest, CancelledStartAnswersOneAndClosesTheSession)
{
    startStandin({ QStringLiteral("--answer"), QStringLiteral("cancel") });
    const QDBusObjectPath session = createSession();
    ClosedCatcher closed;
    bus().connect(AnySender, session.path(), QStringLiteral("org.freedesktop.portal.Session"),
            QStringLiteral("Closed"), &closed, SLOT(onClosed(QVariantMap)));
    EXPECT_EQ(selectSources(session, monitorOptions(1, 0)).response, 0u);
    const PortalAnswer started = start(session);
    EXPECT_EQ(started.response, 1u);
    EXPECT_FALSE(started.results.contains(QStringLiteral("streams")));
    EXPECT_TRUE(waitUntil([&] { return closed.closed; }));
    EXPECT_TRUE(recorded().contains(QStringLiteral("start cancelled")));
}

TEST_F(PortalStandinTest, SessionsClosedFromThePortalSideAreAnnounced)
{
    startStandin();
    const QDBusObjectPath session = createSession();
    ClosedCatcher closed;
    bus().connect(AnySender, session.path(), QStringLiteral("org.freedesktop.portal.Session"),
            QStringLiteral("Closed"), &closed, SLOT(onClosed(QVariantMap)));
    const QDBusMessage reply = bus().call(QDBusMessage::createMethodCall(PortalService,
            QStringLiteral("/org/tandeo/PortalStandin"), QStringLiteral("org.tandeo.PortalStandin"),
            QStringLiteral("CloseSessions")));
    EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    EXPECT_TRUE(waitUntil([&] { return closed.closed; }));
    EXPECT_TRUE(recorded().contains(QStringLiteral("session-closed")));
}

TEST_F(PortalStandinTest, ClientThatLeavesTheBusLosesItsSessionAndNode)
{
    startStandin();
    const QString name = QStringLiteral("leaving-client");
    m_bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, name);
    ASSERT_TRUE(m_bus.isConnected());
    const QDBusObjectPath session = createSession();
    EXPECT_EQ(selectSources(session, monitorOptions(1, 0)).response, 0u);
    const PortalAnswer started = start(session);
    ASSERT_EQ(started.response, 0u);
    const QList<standin::StreamDescription> streams = streamsOf(started);
    ASSERT_EQ(streams.size(), 1);
    const auto reader = readNode(session, streams[0].nodeId);
    ASSERT_TRUE(reader);

    m_bus = QDBusConnection::sessionBus();
    QDBusConnection::disconnectFromBus(name);
    EXPECT_TRUE(waitUntil([&] { return recorded().contains(QStringLiteral("session-closed")); }))
            << "a session outlived its client";
    EXPECT_TRUE(waitForEnd(*reader)) << "the stream outlived the session";
}

// The three ways a test can make the shared node go away mid-share.
enum class Removal { BusMethod, Signal, FrameCount };

class NodeRemovalTest : public PortalStandinTest, public ::testing::WithParamInterface<Removal>
{
};

TEST_P(NodeRemovalTest, EndsTheConsumersStreamAndKeepsTheSession)
{
    if (GetParam() == Removal::FrameCount)
        startStandin({ QStringLiteral("--remove-node-after-frames"), QStringLiteral("20") });
    else
        startStandin();
    const QDBusObjectPath session = createSession();
    EXPECT_EQ(selectSources(session, monitorOptions(1, 0)).response, 0u);
    const PortalAnswer started = start(session);
    ASSERT_EQ(started.response, 0u);
    EXPECT_FALSE(started.results.contains(QStringLiteral("restore_token")));
    const QList<standin::StreamDescription> streams = streamsOf(started);
    ASSERT_EQ(streams.size(), 1);
    const auto reader = readNode(session, streams[0].nodeId);
    ASSERT_TRUE(reader);

    if (GetParam() == Removal::BusMethod) {
        const QDBusMessage removed = bus().call(QDBusMessage::createMethodCall(PortalService,
                QStringLiteral("/org/tandeo/PortalStandin"),
                QStringLiteral("org.tandeo.PortalStandin"), QStringLiteral("RemoveNode")));
        EXPECT_EQ(removed.type(), QDBusMessage::ReplyMessage)
                << removed.errorMessage().toStdString();
    } else if (GetParam() == Removal::Signal) {
        ::kill(pid_t(m_standin->processId()), SIGUSR1);
    }
    EXPECT_TRUE(waitForEnd(*reader)) << "the stream outlived the node";
    EXPECT_TRUE(waitUntil([&] { return recorded().contains(QStringLiteral("node-removed")); }));
    EXPECT_FALSE(recorded().contains(QStringLiteral("session-closed")));
}

INSTANTIATE_TEST_SUITE_P(Ways, NodeRemovalTest,
        ::testing::Values(Removal::BusMethod, Removal::Signal, Removal::FrameCount));

TEST_F(PortalStandinTest, RefusesCallsOutOfOrderAndOptionsOfTheWrongType)
{
    startStandin();
    const QDBusObjectPath session = createSession();
    const QDBusMessage early = bus().call(QDBusMessage::createMethodCall(PortalService, PortalPath,
                                                  ScreenCast, QStringLiteral("Start"))
            << QVariant::fromValue(session) << QString() << QVariantMap{});
    EXPECT_EQ(early.type(), QDBusMessage::ErrorMessage) << "Start before SelectSources";

    // "types" is a u; an i (a common slip in clients) is refused as the desktop portal does.
    const QDBusMessage wrongType = bus().call(
            QDBusMessage::createMethodCall(
                    PortalService, PortalPath, ScreenCast, QStringLiteral("SelectSources"))
            << QVariant::fromValue(session) << QVariantMap{ { QStringLiteral("types"), 1 } });
    EXPECT_EQ(
            wrongType.errorName(), QStringLiteral("org.freedesktop.portal.Error.InvalidArgument"));

    const QDBusMessage remoteTooEarly =
            bus().call(QDBusMessage::createMethodCall(PortalService, PortalPath, ScreenCast,
                               QStringLiteral("OpenPipeWireRemote"))
                    << QVariant::fromValue(session) << QVariantMap{});
    EXPECT_EQ(remoteTooEarly.type(), QDBusMessage::ErrorMessage) << "remote before Start";
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    standin::registerPortalTypes();
    return RUN_ALL_TESTS();
}

#include "portal_standin_test.moc"

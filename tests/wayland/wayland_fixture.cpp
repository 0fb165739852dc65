#include "wayland_fixture.h"

#include "test_support.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <atomic>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace waylandtest {

using namespace std::chrono_literals;

QString pipeWireSocketPath()
{
    QString dir = qEnvironmentVariable("PIPEWIRE_RUNTIME_DIR");
    if (dir.isEmpty())
        dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    const QString path = dir + QStringLiteral("/pipewire-0");
    return !dir.isEmpty() && QFileInfo::exists(path) ? path : QString();
}

int connectPipeWire()
{
    const QByteArray path = pipeWireSocketPath().toLocal8Bit();
    if (path.isEmpty())
        return -1;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

QColor pixelAt(const capture::PixelView &picture, int x, int y)
{
    const std::uint8_t *pixel = picture.data + std::ptrdiff_t(y) * picture.strideBytes + x * 4;
    return QColor(pixel[2], pixel[1], pixel[0]);
}

bool near(const QColor &seen, const QColor &expected, int tolerance)
{
    return std::abs(seen.red() - expected.red()) <= tolerance
            && std::abs(seen.green() - expected.green()) <= tolerance
            && std::abs(seen.blue() - expected.blue()) <= tolerance;
}

void PipeWireTest::SetUp()
{
    if (pipeWireSocketPath().isEmpty())
        GTEST_SKIP() << "no PipeWire daemon here; run through scripts/wayland_stack.sh";
}

void PipeWireTest::TearDown()
{
    stopProducer();
}

namespace {

// The id of the node named name, from the daemon's object list; 0 when it is not there.
quint32 findNode(const QString &name)
{
    QProcess dump;
    dump.start(QStringLiteral("pw-dump"), {});
    if (!dump.waitForFinished(10'000))
        return 0;
    const QJsonArray objects = QJsonDocument::fromJson(dump.readAllStandardOutput()).array();
    for (const QJsonValue &object : objects) {
        const QJsonObject props =
                object[QStringLiteral("info")][QStringLiteral("props")].toObject();
        if (props.value(QStringLiteral("node.name")).toString() == name)
            return quint32(object[QStringLiteral("id")].toInt());
    }
    return 0;
}

} // namespace

quint32 PipeWireTest::startProducer(const QString &format, QSize size, QColor colour)
{
    if (QStandardPaths::findExecutable(QStringLiteral("gst-launch-1.0")).isEmpty()
            || QStandardPaths::findExecutable(QStringLiteral("pw-dump")).isEmpty()) {
        ADD_FAILURE() << "gst-launch-1.0 and pw-dump are needed";
        return 0;
    }
    static std::atomic<int> counter{ 0 };
    m_producerName = QStringLiteral("tandeo-test-%1-%2")
                             .arg(QCoreApplication::applicationPid())
                             .arg(++counter);
    m_producer = std::make_unique<QProcess>();
    m_producer->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_producer->start(QStringLiteral("gst-launch-1.0"),
            { QStringLiteral("-q"), QStringLiteral("videotestsrc"),
                    QStringLiteral("pattern=solid-color"),
                    QStringLiteral("foreground-color=0x%1")
                            .arg(0xff000000u | colour.rgb(), 8, 16, QLatin1Char('0')),
                    QStringLiteral("!"),
                    QStringLiteral("video/x-raw,format=%1,width=%2,height=%3,framerate=10/1")
                            .arg(format)
                            .arg(size.width())
                            .arg(size.height()),
                    QStringLiteral("!"), QStringLiteral("pipewiresink"),
                    QStringLiteral("mode=provide"),
                    QStringLiteral("stream-properties=p,node.name=%1").arg(m_producerName) });
    if (!m_producer->waitForStarted(5000))
        return 0;
    quint32 node = 0;
    testsupport::waitUntil([&] { return (node = findNode(m_producerName)) != 0; }, 10s);
    return node;
}

void PipeWireTest::stopProducer()
{
    if (!m_producer)
        return;
    m_producer->terminate();
    if (!m_producer->waitForFinished(5000)) {
        m_producer->kill();
        m_producer->waitForFinished(5000);
    }
    m_producer.reset();
}

PrivateBus::PrivateBus()
{
    // No service files: nothing is started on demand, not even an installed portal.
    if (!m_config.open())
        return;
    m_config.write("<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
                   "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                   "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
    m_config.flush();
    m_daemon.start(QStringLiteral("dbus-daemon"),
            { QStringLiteral("--config-file=") + m_config.fileName(), QStringLiteral("--nofork"),
                    QStringLiteral("--print-address=1") });
    if (!m_daemon.waitForStarted(5000))
        return;
    testsupport::waitUntil([&] { return m_daemon.canReadLine(); }, 10s);
    m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    m_up = !m_address.isEmpty();
}

PrivateBus::~PrivateBus()
{
    for (const QString &name : std::as_const(m_connections))
        QDBusConnection::disconnectFromBus(name);
    m_daemon.terminate();
    if (!m_daemon.waitForFinished(5000)) {
        m_daemon.kill();
        m_daemon.waitForFinished(5000);
    }
}

QDBusConnection PrivateBus::connect()
{
    static std::atomic<int> counter{ 0 };
    const QString name = QStringLiteral("private-bus-%1").arg(++counter);
    m_connections.append(name);
    return QDBusConnection::connectToBus(m_address, name);
}

} // namespace waylandtest

// The built program and the emulator on a real link instead of loopback: each in a network
// namespace of its own, joined by a veth pair whose program end a tbf queue limits to a rate,
// as a unit behind a slow network has it. The desktop is a busy photo-like picture, so frames
// are large and the link is what limits them. Whatever the rate, every frame must reach the
// unit whole, frames must come as fast as the link lets them through, and Stop must not wait
// behind pictures queued for the link.

#include "program_session.h"
#include "test_pictures.h"
#include "x_painter.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <iostream>
#include <memory>
#include <netinet/in.h>
#include <sched.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>

using namespace std::chrono_literals;
using testsupport::DesktopProcess;
using testsupport::UnitProcess;
using Control = DesktopProcess::Control;

namespace {

const QString UnitAddress = "10.77.0.2";
constexpr char ProgramAddress[] = "10.77.0.1";
constexpr int HeadersOnTheWire = 20 + 8; // IPv4 and UDP, before every RTP datagram
constexpr auto SharingTime = 5500ms;

QString findTool(const QString &name)
{
    const QString found = QStandardPaths::findExecutable(name);
    return found.isEmpty() ? QStandardPaths::findExecutable(name, { "/usr/sbin", "/sbin" }) : found;
}

// Runs a command to its end: whether it succeeded, and what it wrote (both channels).
std::pair<bool, QString> runTool(const QString &program, const QStringList &args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    const bool ended = p.waitForFinished(10000);
    if (!ended)
        p.kill();
    const bool ok = ended && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    return { ok, QString::fromUtf8(p.readAll()).trimmed() };
}

// Empty when the command succeeded, else the command and what it said.
QString failureOf(const QString &program, const QStringList &args)
{
    const auto [ok, output] = runTool(program, args);
    return ok ? QString() : (QStringList{ program } + args).join(' ') + " failed: " + output;
}

// Two network namespaces joined by a veth pair, 10.77.0.1/30 for the program and
// 10.77.0.2/30 for the unit, nothing routed anywhere else; the program's end sends through a
// tbf queue of the given rate. The names carry the test's pid, so runs never meet. Removing
// the namespaces at the end removes the pair with them.
class LinkBed
{
public:
    // mtu 0: the veth's own (1500).
    explicit LinkBed(const QString &rate, int mtu = 0)
    {
        static int serial = 0;
        const QString stem = QString("tandeo-%1-%2").arg(::getpid()).arg(++serial);
        m_program = stem + "-pc";
        m_unit = stem + "-unit";
        if (::geteuid() != 0) {
            m_failure = "making network namespaces needs root";
            return;
        }
        m_ip = findTool("ip");
        m_tc = findTool("tc");
        if (m_ip.isEmpty() || m_tc.isEmpty()) {
            m_failure = "ip or tc (iproute2) is not installed";
            return;
        }
        removeLeftovers();
        for (const QString &ns : { m_program, m_unit }) {
            if (!(m_failure = failureOf(m_ip, { "netns", "add", ns })).isEmpty())
                return;
            m_made.append(ns);
        }
        const QList<QStringList> steps = {
            { "-n", m_program, "link", "add", "pc0", "type", "veth", "peer", "name", "unit0",
                    "netns", m_unit },
            { "-n", m_program, "addr", "add", QString(ProgramAddress) + "/30", "dev", "pc0" },
            { "-n", m_unit, "addr", "add", UnitAddress + "/30", "dev", "unit0" },
            { "-n", m_program, "link", "set", "lo", "up" },
            { "-n", m_unit, "link", "set", "lo", "up" },
            { "-n", m_program, "link", "set", "pc0", "up" },
            { "-n", m_unit, "link", "set", "unit0", "up" },
        };
        for (const QStringList &step : steps) {
            if (!(m_failure = failureOf(m_ip, step)).isEmpty())
                return;
        }
        for (const auto &[ns, device] : { std::pair{ m_program, "pc0" }, { m_unit, "unit0" } }) {
            if (mtu > 0
                    && !(m_failure = failureOf(m_ip,
                                 { "-n", ns, "link", "set", device, "mtu", QString::number(mtu) }))
                                .isEmpty())
                return;
        }
        // A veth hands each packet to the backlog of the processor that sent it, and the tbf
        // queue sends from whichever processor its timer fires on: two processors' backlogs
        // then reorder a frame's packets, which no real link does. Receive packet steering
        // keeps a flow on one processor, as a network card's receive hashing does (where the
        // kernel has none, nothing changes).
        steerFlowsToOneProcessor();
        m_failure = failureOf(m_tc,
                { "-n", m_program, "qdisc", "add", "dev", "pc0", "root", "tbf", "rate", rate,
                        "burst", "32kbit", "latency", "400ms" });
    }

    ~LinkBed()
    {
        for (const QString &ns : m_made)
            failureOf(m_ip, { "netns", "del", ns });
    }

    LinkBed(const LinkBed &) = delete;
    LinkBed &operator=(const LinkBed &) = delete;

    // Empty when the bed stands, else why it could not be made.
    QString failure() const { return m_failure; }
    // The program's side refuses to send UDP to port 50001, as a firewall of the computer
    // that lets the unit's other traffic through does; and lets it through again.
    QString refusePictures(bool refuse) const
    {
        return failureOf(m_ip,
                { "-n", m_program, "rule", refuse ? "add" : "del", "ipproto", "udp", "dport",
                        "50001", "prohibit" });
    }
    // Another program's UDP socket on the program's side, bound to its address without address
    // reuse; -1 when it cannot be had. The caller closes it.
    int holdProgramPort(int port) const
    {
        int fd = -1;
        std::thread([&] { // a thread of its own enters the namespace, and ends with it
            const int ns = ::open(qPrintable("/run/netns/" + m_program), O_RDONLY | O_CLOEXEC);
            if (ns >= 0 && ::setns(ns, CLONE_NEWNET) == 0)
                fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (ns >= 0)
                ::close(ns);
        })
                .join();
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(std::uint16_t(port));
        ::inet_pton(AF_INET, ProgramAddress, &address.sin_addr);
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            ::close(fd);
            fd = -1;
        }
        return fd;
    }
    testsupport::Launcher programSide() const { return { m_ip, "netns", "exec", m_program }; }
    testsupport::Launcher unitSide() const { return { m_ip, "netns", "exec", m_unit }; }

    // The link stops carrying anything (one packet in ten seconds) while keeping what is
    // queued: a unit that went away behind a switch.
    QString choke() const
    {
        return failureOf(m_tc,
                { "-n", m_program, "qdisc", "change", "dev", "pc0", "root", "tbf", "rate", "1kbit",
                        "burst", "1600", "limit", "16mb" });
    }

    // Where packets were lost on the way: dropped by the link's queue, and refused by the
    // unit's side for a full receive buffer. -1 when not known.
    int linkDrops() const
    {
        static const QRegularExpression dropped("dropped (\\d+)");
        const auto [ok, text] =
                runTool(m_tc, { "-n", m_program, "-s", "qdisc", "show", "dev", "pc0" });
        const QRegularExpressionMatch m = dropped.match(text);
        return ok && m.hasMatch() ? m.captured(1).toInt() : -1;
    }
    int unitBufferDrops() const
    {
        const auto [ok, text] = runTool(m_ip, { "netns", "exec", m_unit, "cat", "/proc/net/snmp" });
        QList<QStringList> udp; // the names' line, then the values' line
        for (const QString &line : text.split('\n'))
            if (line.startsWith("Udp: "))
                udp.append(line.split(' '));
        const qsizetype at = udp.size() == 2 ? udp[0].indexOf("RcvbufErrors") : -1;
        return ok && at > 0 && at < udp[1].size() ? udp[1][at].toInt() : -1;
    }

private:
    void steerFlowsToOneProcessor() const
    {
        const int processors = std::clamp(QThread::idealThreadCount(), 1, 31);
        const QString cpus = QString::number((1u << processors) - 1, 16);
        failureOf(m_ip,
                { "netns", "exec", m_unit, "sh", "-c",
                        "echo " + cpus + " > /sys/class/net/unit0/queues/rx-0/rps_cpus" });
    }

    // The namespaces of a run that was killed before it could remove them (a test's time ran
    // out): those of this test whose process is gone.
    void removeLeftovers() const
    {
        static const QRegularExpression ours("^tandeo-(\\d+)-\\d+-(pc|unit)\\b");
        const auto [ok, text] = runTool(m_ip, { "netns", "list" });
        for (const QString &line : text.split('\n')) {
            const QRegularExpressionMatch m = ours.match(line);
            if (m.hasMatch() && ::kill(pid_t(m.captured(1).toInt()), 0) != 0 && errno == ESRCH)
                failureOf(m_ip, { "netns", "del", m.captured(0) });
        }
    }

    QString m_ip;
    QString m_tc;
    QString m_program;
    QString m_unit;
    QStringList m_made;
    QString m_failure;
};

qint64 realtimeUs()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now); // the clock of the unit's arrival stamps
    return qint64(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// What one share over the link came to, from the unit's log and the program's output.
struct Figures
{
    int pulled = 0; // MSG_NEXT_FRAME the unit sent
    int reportedSent = 0; // MSG_FRAME_SENT the program sent
    int frames = 0; // frames that reached the unit, whole or not
    int damaged = 0; // not valid, or reported sent and never seen at all
    QString firstProblem;
    double wireBytes = 0; // a whole frame's mean size on the wire, IP and UDP headers counted
    double framesPerSecond = 0; // whole frames, first to last
    double allowed = 0; // what the link lets through: its rate / wireBytes
    double stopLatencyMs = -1; // the Stop click to MSG_STOP's arrival
    int sendErrors = 0; // the streaming library's "error sending" lines
    int linkDrops = -1; // packets the link's queue dropped
    int unitBufferDrops = -1; // datagrams the unit's full receive buffer refused

    std::string text() const
    {
        std::ostringstream out;
        out.precision(3);
        out << "pulled " << pulled << ", reported sent " << reportedSent << ", frames " << frames
            << ", damaged " << damaged << ", " << framesPerSecond << " whole frames/s of "
            << allowed << " the link allows ("
            << (allowed > 0 ? int(100 * framesPerSecond / allowed) : 0) << " %, " << int(wireBytes)
            << " bytes a frame on the wire), stop latency " << stopLatencyMs << " ms, "
            << sendErrors << " send errors, " << linkDrops << " dropped by the link, "
            << unitBufferDrops << " by the unit's receive buffer";
        if (!firstProblem.isEmpty())
            out << "; first damage: " << firstProblem.toStdString();
        return out.str();
    }
};

Figures measure(const QList<QJsonObject> &events, const QString &programOutput,
        double linkBitsPerSecond, qint64 stopClickUs)
{
    Figures f;
    qint64 firstWholeMs = -1;
    qint64 lastWholeMs = -1;
    int whole = 0;
    double wholeWireBytes = 0;
    double largestWireBytes = 0; // of any frame, for when none came whole
    for (const QJsonObject &e : events) {
        if (e["event"] == "control") {
            f.pulled += e["dir"] == "out" && e["type"] == "MSG_NEXT_FRAME";
            f.reportedSent += e["dir"] == "in" && e["type"] == "MSG_FRAME_SENT";
            if (f.stopLatencyMs < 0 && UnitProcess::controlIn("MSG_STOP")(e)
                    && e.contains("arrivedUs"))
                f.stopLatencyMs = (e["arrivedUs"].toInteger() - stopClickUs) / 1000.0;
        }
        if (e["event"] != "frame")
            continue;
        ++f.frames;
        const double wire =
                e["datagramBytes"].toDouble() + HeadersOnTheWire * e["packets"].toDouble();
        largestWireBytes = std::max(largestWireBytes, wire);
        if (e["valid"] != true) {
            ++f.damaged;
            if (f.firstProblem.isEmpty())
                f.firstProblem = QString("frame %1: %2, %3 packets lost")
                                         .arg(e["index"].toInt())
                                         .arg(e["problem"].toString())
                                         .arg(e["lost"].toInt());
            continue;
        }
        ++whole;
        wholeWireBytes += wire;
        lastWholeMs = e["t"].toInteger();
        if (firstWholeMs < 0)
            firstWholeMs = lastWholeMs;
    }
    // A frame whose every packet was lost never shows in the unit's log.
    f.damaged += std::max(0, f.reportedSent - f.frames);
    if (f.firstProblem.isEmpty() && f.reportedSent > f.frames)
        f.firstProblem = "frames reported sent never arrived";
    if (f.frames > 0) {
        f.wireBytes = whole > 0 ? wholeWireBytes / whole : largestWireBytes;
        f.allowed = linkBitsPerSecond / 8 / f.wireBytes;
    }
    if (whole > 1 && lastWholeMs > firstWholeMs)
        f.framesPerSecond = (whole - 1) * 1000.0 / double(lastWholeMs - firstWholeMs);
    f.sendErrors = int(programOutput.count("error sending"));
    return f;
}

struct LinkCase
{
    const char *name;
    const char *rate; // as tc takes it
    double bitsPerSecond;
    QStringList unitOptions;
    // Where the link, not the encoder, limits the frame rate: the share of what the link allows
    // that whole frames must reach (0: not checked).
    double linkShare;
    bool stopChecked;
    int mtu = 0; // of the link; 0: Ethernet's 1500
};

void PrintTo(const LinkCase &c, std::ostream *os)
{
    *os << c.name;
}

class SlowLink : public ::testing::TestWithParam<LinkCase>
{
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            GTEST_SKIP() << "needs the X display of the test run";
        bed = std::make_unique<LinkBed>(GetParam().rate, GetParam().mtu);
        if (!bed->failure().isEmpty())
            GTEST_SKIP() << "no network namespaces with a limited link here: "
                         << bed->failure().toStdString();
        painter = std::make_unique<testsupport::Painter>();
        ASSERT_TRUE(painter->ok());
        // Photo-like with grain: JPEG frames of about 200 KB at 1280 x 720.
        painter->backdrop(testpictures::photoLike({ 1920, 1080 }, 11, 40));
        unit = std::make_unique<UnitProcess>(UnitAddress,
                QStringList{ "--family", "zmt" } + GetParam().unitOptions, bed->unitSide());
        ASSERT_TRUE(unit->started()) << unit->output().toStdString();
        desktop = std::make_unique<DesktopProcess>(
                *unit, "1234", QStringList(), QStringList(), bed->programSide());
        ASSERT_TRUE(desktop->started()) << desktop->output().toStdString();
    }

    std::string diagnosis() const
    {
        // The program's output may hold thousands of send errors: its end tells enough.
        return ("program:\n" + desktop->output().right(4000) + "\nunit:\n" + unit->output())
                .toStdString();
    }

    // Declared first: the namespaces go after the processes in them.
    std::unique_ptr<LinkBed> bed;
    std::unique_ptr<testsupport::Painter> painter;
    std::unique_ptr<UnitProcess> unit;
    std::unique_ptr<DesktopProcess> desktop;
};

TEST_P(SlowLink, EveryFrameArrivesWholeAtTheLinksPace)
{
    const LinkCase &c = GetParam();
    desktop->click(Control::ProfileRow);
    desktop->click(Control::Login);
    ASSERT_TRUE(unit->waitFor(UnitProcess::command("firmware"))) << diagnosis();
    desktop->click(Control::Share);
    ASSERT_TRUE(unit->waitFor(UnitProcess::controlIn("MSG_FRAME_SENT"))) << diagnosis();
    std::this_thread::sleep_for(SharingTime);
    const qint64 stopClickUs = realtimeUs();
    desktop->click(Control::Stop);
    ASSERT_TRUE(unit->waitFor(UnitProcess::controlIn("MSG_STOP"), 1, 10s)) << diagnosis();
    // What is still queued for the link arrives (the queue holds at most 400 ms of it), and
    // the emulator, which checks pictures only with time the program leaves over, records
    // every frame reported sent; a frame lost whole never shows, hence the time limit.
    std::this_thread::sleep_for(500ms);
    const int reportedSent = unit->count(UnitProcess::controlIn("MSG_FRAME_SENT"));
    unit->waitFor([](const QJsonObject &e) { return e["event"] == "frame"; }, reportedSent, 10s);

    Figures f = measure(unit->events(), desktop->output(), c.bitsPerSecond, stopClickUs);
    f.linkDrops = bed->linkDrops();
    f.unitBufferDrops = bed->unitBufferDrops();
    std::cout << "[ figures  ] " << c.name << ": " << f.text() << std::endl;
    EXPECT_GT(f.pulled, 1) << f.text();
    // Nothing is refused at the sender, dropped by the link or reordered on the way.
    EXPECT_EQ(f.sendErrors, 0) << f.text();
    EXPECT_EQ(f.linkDrops, 0) << f.text();
    EXPECT_EQ(f.damaged, 0) << f.text();
    if (c.linkShare > 0) {
        EXPECT_GE(f.framesPerSecond, c.linkShare * f.allowed) << f.text();
    }
    if (c.stopChecked) {
        EXPECT_GE(f.stopLatencyMs, 0) << f.text();
        EXPECT_LE(f.stopLatencyMs, 300) << f.text();
    }
}

// Disabled: an embedded unit, a small receive buffer (56 of the client's packets). A frame's
// first 32 KB come at line rate and the rest at 300 Mbit/s, so the unit's reader must run
// within about 1.3 ms of a frame's first packet. The emulator's reader only takes datagrams
// off the socket, but on a loaded two-processor machine it now and then does not run for 1 to
// 3 ms (even at real-time priority), and one frame in a run of 57 loses packets there.
INSTANTIATE_TEST_SUITE_P(DISABLED_Unmet, SlowLink,
        ::testing::Values(LinkCase{ "Rate1gbitSmallUnitBuffer", "1gbit", 1e9,
                { "--rtp-rcvbuf", "65536", "--pull-interval", "100" }, 0, false }),
        [](const auto &info) { return std::string(info.param.name); });

// A picture that cannot leave for 2 s ends the share as a unit that went away does, and the
// program stays usable.
class LinkGone : public SlowLink
{
};

TEST_P(LinkGone, APictureThatCannotLeaveEndsTheShare)
{
    desktop->click(Control::ProfileRow);
    desktop->click(Control::Login);
    ASSERT_TRUE(unit->waitFor(UnitProcess::command("firmware"))) << diagnosis();
    desktop->click(Control::Share);
    const auto pull = UnitProcess::controlOut("MSG_NEXT_FRAME");
    ASSERT_TRUE(unit->waitFor(pull, 2)) << diagnosis();
    // Right after a pull, so the picture it asks for is too large for the socket's buffer.
    ASSERT_TRUE(unit->waitFor(pull, unit->count(pull) + 1)) << diagnosis();
    ASSERT_EQ(bed->choke(), "");
    const auto choked = std::chrono::steady_clock::now();

    ASSERT_TRUE(desktop->waitForBox("The unit ended the connection.", 10s)) << diagnosis();
    const auto waited = std::chrono::steady_clock::now() - choked;
    EXPECT_GE(waited, 1900ms);
    EXPECT_LE(waited, 5s);
    EXPECT_EQ(desktop->output().count("a picture could not leave for 2 s"), 1) << diagnosis();
    EXPECT_TRUE(desktop->running());
}

INSTANTIATE_TEST_SUITE_P(LinkLost, LinkGone,
        ::testing::Values(LinkCase{ "Rate5mbit", "5mbit", 5e6, {}, 0, false }),
        [](const auto &info) { return std::string(info.param.name); });

// Another program holds UDP 50001 on the program's address: the unit would get no picture from
// a port it does not expect. The share ends with a box saying why, and Share works again once
// the port is free.
class PortTaken : public SlowLink
{
};

TEST_P(PortTaken, TheShareEndsWithABoxAndWorksOnceThePortIsFree)
{
    const int holder = bed->holdProgramPort(50001);
    ASSERT_GE(holder, 0);
    desktop->click(Control::ProfileRow);
    desktop->click(Control::Login);
    ASSERT_TRUE(unit->waitFor(UnitProcess::command("firmware"))) << diagnosis();
    desktop->click(Control::Share);
    EXPECT_TRUE(desktop->waitForBox(
            "Pictures cannot be sent: another program on this computer uses UDP port 50001.", 10s))
            << diagnosis();
    EXPECT_TRUE(unit->waitFor(UnitProcess::controlIn("MSG_STOP"))) << diagnosis();
    EXPECT_EQ(unit->count(UnitProcess::controlIn("MSG_FRAME_SENT")), 0) << diagnosis();
    EXPECT_EQ(unit->count([](const QJsonObject &e) { return e["event"] == "frame"; }), 0);

    ::close(holder);
    desktop->answerBoxes();
    desktop->click(Control::Share);
    EXPECT_TRUE(unit->waitFor(UnitProcess::validFrame(), 3)) << diagnosis();
}

// The same when the computer refuses to send the pictures at all: every packet is refused
// (here by a rule of the program's side, errno EACCES), nothing is reported sent.
TEST_P(PortTaken, PicturesTheComputerRefusesEndTheShareWithABox)
{
    ASSERT_EQ(bed->refusePictures(true), "");
    desktop->click(Control::ProfileRow);
    desktop->click(Control::Login);
    ASSERT_TRUE(unit->waitFor(UnitProcess::command("firmware"))) << diagnosis();
    desktop->click(Control::Share);
    EXPECT_TRUE(desktop->waitForBox("Pictures cannot be sent: this computer does not let them "
                                    "reach the unit (a firewall may block UDP port 50001).",
            10s))
            << diagnosis();
    EXPECT_TRUE(unit->waitFor(UnitProcess::controlIn("MSG_STOP"))) << diagnosis();
    EXPECT_EQ(unit->count(UnitProcess::controlIn("MSG_FRAME_SENT")), 0) << diagnosis();

    ASSERT_EQ(bed->refusePictures(false), "");
    desktop->answerBoxes();
    desktop->click(Control::Share);
    EXPECT_TRUE(unit->waitFor(UnitProcess::validFrame(), 3)) << diagnosis();
}

INSTANTIATE_TEST_SUITE_P(PictureLink, PortTaken,
        ::testing::Values(LinkCase{ "Rate1gbit", "1gbit", 1e9, {}, 0, false }),
        [](const auto &info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(LinkRates, SlowLink,
        ::testing::Values(LinkCase{ "Rate1gbit", "1gbit", 1e9, {}, 0, false },
                // MSG_FRAME_SENT reaches the unit behind the frame in the link's queue, so the
                // link idles while the next pull comes: 87-90 % of what the link allows with
                // the next picture readied meanwhile (84-86 % with another process taking a whole
                // processor), 72-80 % without (a pull then waits for the encoding), 65-93 %
                // while the emulator checked pictures at the program's priority. The floor sits
                // below that spread; it catches a sender that leaves the link idle within a
                // frame.
                LinkCase{ "Rate100mbit", "100mbit", 100e6, {}, 0.72, false },
                LinkCase{ "Rate20mbit", "20mbit", 20e6, {}, 0.8, false },
                LinkCase{ "Rate5mbit", "5mbit", 5e6, {}, 0.8, true },
                // A tunnel's MTU (a VPN, IPv6 transition) below the 1440 bytes of a picture
                // packet: the kernel cannot cut a burst into such datagrams, so they go one by
                // one and are fragmented on the way, as any UDP sender's are.
                LinkCase{ "Rate100mbitMtu1280", "100mbit", 100e6, {}, 0, false, 1280 }),
        [](const auto &info) { return std::string(info.param.name); });

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv); // for QProcess
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// Where the time of a shared frame goes, and how the whole share compares with a GStreamer
// pipeline doing the same work, all in one run on the 1920 x 1080 X screen of DISPLAY:
//   1. the steps one by one (grab, scale, encode, send) at 1280 x 720 and 1024 x 576, with the
//      plain Qt way and the best building blocks (shared-memory grab, Qt's smooth scale straight
//      from it, TurboJPEG into a reused buffer) beside our chain;
//   2. a closed-loop share of the real main window against the emulated unit pulling as fast
//      as it can (ZMT unit: 1280 x 720, QMT unit: 1024 x 576);
//   3. the GStreamer pipeline (ximagesrc ! videoscale ! jpegenc ! rtpjpegpay ! udpsink).
// The host's speed drifts: compare figures of one run only. Prints figures; asserts nothing.
//
//   share_bench [--frames N] [--seconds S] [--no-peer]
//   share_bench --share-with ADDRESS [--seconds S]   (share with a unit running elsewhere)

#include "control_channel.h"
#include "desktop_capture.h"
#include "flow_timings.h"
#include "jpeg_encoder.h"
#include "mainwindow.h"
#include "mainwindow_state.h"
#include "picture_box.h"
#include "test_pictures.h"
#include "unit_sim.h"
#include "xcb_screen_source.h"
#include "zelrtp.h"

#include <QApplication>
#include <QBuffer>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QLabel>
#include <QListView>
#include <QMessageBox>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char *SinkAddress = "127.0.0.88"; // where the step-by-step sends and the peer send to
const char *ZmtUnitAddress = "127.0.0.80";
const char *QmtUnitAddress = "127.0.0.81";
constexpr int RtpPort = 50001;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

bool waitFor(const std::function<bool()> &pred, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!pred()) {
        if (deadline.hasExpired())
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

// Reads and drops every datagram sent to SinkAddress:50001, so the sends cost what they cost
// towards a real receiver.
class UdpDrain
{
public:
    UdpDrain()
    {
        m_fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(RtpPort);
        inet_pton(AF_INET, SinkAddress, &address.sin_addr);
        const int size = 8 << 20;
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        if (::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            std::perror("drain bind");
        m_thread = std::thread([this] {
            char buffer[2048];
            while (!m_stop) {
                pollfd p{ m_fd, POLLIN, 0 };
                if (::poll(&p, 1, 50) > 0)
                    while (::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0)
                        ++m_datagrams;
            }
        });
    }
    ~UdpDrain()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_fd);
    }
    long datagrams() const { return m_datagrams; }

private:
    int m_fd = -1;
    std::atomic<bool> m_stop{ false };
    std::atomic<long> m_datagrams{ 0 };
    std::thread m_thread;
};

// The desktop the figures are taken on: a photo under two panels of text, and two real text
// windows over it.
struct DesktopContent
{
    QLabel background;
    QPlainTextEdit notes;
    QPlainTextEdit log;

    void show(QSize screen)
    {
        background.setWindowFlags(Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
        background.setPixmap(QPixmap::fromImage(
                testpictures::withTextPanels(testpictures::photoLike(screen, 11, 3))));
        background.setGeometry(QRect(QPoint(0, 0), screen));
        background.show();
        QString text;
        for (int i = 0; i < 80; ++i)
            text += QString("%1  The quick brown fox jumps over the lazy dog; shared pictures "
                            "are pulled one at a time.\n")
                            .arg(i, 3);
        for (QPlainTextEdit *edit : { &notes, &log }) {
            edit->setWindowFlags(Qt::X11BypassWindowManagerHint);
            edit->setPlainText(text);
        }
        notes.setGeometry(120, 560, 760, 460);
        log.setGeometry(1000, 80, 820, 420);
        notes.show();
        log.show();
        waitFor([] { return false; }, 500); // let everything paint
    }
};

struct StepFigures
{
    QSize size;
    double grab = 0, scaleOne = 0, encode = 0, send = 0, serialChain = 0;
    double overlappedGrab = 0, overlappedScale = 0, overlappedEncode = 0, chain = 0;
    double bestScale = 0, bestEncode = 0, bestChain = 0;
    double qtGrab = 0, qtChain = 0;
    qsizetype jpegBytes = 0, bestBytes = 0;
};

StepFigures measureSteps(
        QSize target, int frames, capture::XcbScreenSource &screen, _ZelRtpSession *session)
{
    StepFigures f;
    f.size = target;
    std::vector<double> grab, scaleOne, encode, send, serialChain, overlappedGrab, overlappedScale,
            overlappedEncode, chain, bestScale, bestEncode, bestChain, qtGrab, qtChain;

    // Our steps, on the shared-memory picture in place.
    const std::optional<capture::PixelView> first = screen.grab();
    if (!first)
        return f;
    capture::SmoothScaler scaler(first->size(), target);
    capture::I420Frame planes;
    planes.resize(target);
    capture::JpegEncoder encoder;
    QByteArray jpeg;
    for (int i = 0; i < frames; ++i) {
        const auto begin = Clock::now();
        auto start = begin;
        const std::optional<capture::PixelView> view = screen.grab();
        grab.push_back(msSince(start));
        start = Clock::now();
        scaler.scale(*view, planes);
        scaleOne.push_back(msSince(start));
        start = Clock::now();
        encoder.encode(planes, jpeg);
        encode.push_back(msSince(start));
        start = Clock::now();
        sendJpegFrameWithSize(
                session, jpeg.constData(), int(jpeg.size()), target.width(), target.height());
        send.push_back(msSince(start));
        serialChain.push_back(msSince(begin));
    }

    // Our whole chain as the frame slot runs it: the steps overlapping.
    capture::DesktopCapture ours(capture::XcbScreenSource::open());
    for (int i = 0; i < frames; ++i) {
        const auto start = Clock::now();
        capture::FrameTimings timings;
        ours.captureJpeg(target, jpeg, &timings);
        sendJpegFrameWithSize(
                session, jpeg.constData(), int(jpeg.size()), target.width(), target.height());
        chain.push_back(msSince(start));
        overlappedGrab.push_back(timings.grabMs);
        overlappedScale.push_back(timings.scaleMs);
        overlappedEncode.push_back(timings.encodeMs);
    }
    f.jpegBytes = jpeg.size();

    // The best blocks: shared-memory grab, Qt's smooth scale reading the segment in place,
    // TurboJPEG from the scaled picture into a reused buffer.
    QByteArray best;
    for (int i = 0; i < frames; ++i) {
        const auto start = Clock::now();
        const std::optional<capture::PixelView> view = screen.grab();
        const QImage wrapped(
                view->data, view->width, view->height, view->strideBytes, QImage::Format_RGB32);
        auto step = Clock::now();
        const QImage scaled = wrapped.scaled(target, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        bestScale.push_back(msSince(step));
        step = Clock::now();
        encoder.encode(scaled, best);
        bestEncode.push_back(msSince(step));
        sendJpegFrameWithSize(
                session, best.constData(), int(best.size()), target.width(), target.height());
        bestChain.push_back(msSince(start));
    }
    f.bestBytes = best.size();

    // The plain Qt way: Qt's screen grab, smooth scale and "jpg" writer.
    QScreen *qtScreen = QGuiApplication::primaryScreen();
    const int qtFrames = std::max(10, frames / 4);
    for (int i = 0; i < qtFrames; ++i) {
        const auto start = Clock::now();
        const QPixmap pixmap = qtScreen->grabWindow(0);
        qtGrab.push_back(msSince(start));
        const QPixmap scaled = pixmap.scaled(target, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        scaled.save(&buffer, "jpg");
        sendJpegFrameWithSize(
                session, bytes.constData(), int(bytes.size()), target.width(), target.height());
        qtChain.push_back(msSince(start));
    }

    f.grab = median(grab);
    f.scaleOne = median(scaleOne);
    f.serialChain = median(serialChain);
    f.overlappedGrab = median(overlappedGrab);
    f.overlappedScale = median(overlappedScale);
    f.overlappedEncode = median(overlappedEncode);
    f.encode = median(encode);
    f.send = median(send);
    f.chain = median(chain);
    f.bestScale = median(bestScale);
    f.bestEncode = median(bestEncode);
    f.bestChain = median(bestChain);
    f.qtGrab = median(qtGrab);
    f.qtChain = median(qtChain);
    return f;
}

struct LoopFigures
{
    QSize size;
    double framesPerSecond = 0;
    double pullToFrameSentMs = 0; // mean, from the unit's pull to the client's frame-sent
    int frames = 0;
    bool ok = false;
};

// The real window logs in to an emulated unit and shares; the unit pulls as fast as frames
// come back. Frames per second over the measuring time after a warm-up.
LoopFigures closedLoop(const char *address, unitsim::Family family, double seconds)
{
    LoopFigures figures;
    unitsim::Options options;
    options.address = address;
    options.family = family;
    options.sessionId = "Bn42";
    options.otherPath = unitsim::OtherPath::Silent; // the login is decided by one reply
    unitsim::UnitSim unit(options);
    if (const auto error = unit.start()) {
        std::fprintf(stderr, "emulator: %s\n", error->c_str());
        return figures;
    }
    resetModuleState();
    {
        MainWindow window;
        window.insertProfile("Bench", address, "1234");
        window.setGeometry(1500, 600, 349, 429);
        window.show();
        auto *list = window.findChild<QListView *>("listViewProfile");
        if (!list || !list->model() || list->model()->rowCount() < 1)
            return figures;
        list->selectionModel()->select(list->model()->index(list->model()->rowCount() - 1, 0),
                QItemSelectionModel::Select);
        window.findChild<QPushButton *>("BtnLogin")->click();
        if (!waitFor([] { return b_loggedIn && !strSessionID.isEmpty(); }, 10000))
            return figures;
        window.findChild<QPushButton *>("BtnShare")->click();
        if (!waitFor([&] { return unit.counters().framesValid > 20; }, 10000))
            return figures;

        const int startFrames = unit.counters().framesValid;
        const auto startTime = Clock::now();
        waitFor([] { return false; }, int(seconds * 1000));
        const int endFrames = unit.counters().framesValid;
        const double elapsed = msSince(startTime) / 1000.0;
        figures.frames = endFrames - startFrames;
        figures.framesPerSecond = figures.frames / elapsed;

        // Pull to frame-sent at the unit's millisecond clock: the client's whole work for one
        // pulled frame (the frame-sent message follows the frame's last packet). The mean of
        // whole-millisecond differences over many frames is good to a fraction of a millisecond.
        const auto messages = unit.controlMessages();
        const auto frames = unit.frames();
        double sum = 0;
        int pairs = 0;
        std::int64_t pulledAt = -1;
        std::size_t skip = std::size_t(startFrames);
        for (const auto &m : messages) {
            if (m.direction == unitsim::Direction::ToClient
                    && m.type == std::uint8_t(unitsim::ControlType::NextFrame)) {
                pulledAt = m.timeMs;
            } else if (m.direction == unitsim::Direction::FromClient
                    && m.type == std::uint8_t(unitsim::ControlType::FrameSent) && pulledAt >= 0) {
                if (skip > 0) {
                    --skip;
                } else {
                    sum += double(m.timeMs - pulledAt);
                    ++pairs;
                }
                pulledAt = -1;
            }
        }
        figures.pullToFrameSentMs = pairs ? sum / pairs : 0;
        figures.size = frames.empty() ? QSize() : QSize(frames.back().width, frames.back().height);
        figures.ok = true;

        window.findChild<QPushButton *>("BtnLogout")->click();
        waitFor([] { return !b_loggedIn; }, 5000);
    }
    control::stopChannel();
    unit.stop();
    return figures;
}

// Shares the desktop with a unit that runs elsewhere (such as the emulator with its viewer)
// for the given time, then logs out.
bool shareWith(const QString &address, double seconds)
{
    resetModuleState();
    MainWindow window;
    window.insertProfile("Bench", address, "1234");
    window.setGeometry(1500, 600, 349, 429);
    window.show();
    auto *list = window.findChild<QListView *>("listViewProfile");
    if (!list || !list->model() || list->model()->rowCount() < 1)
        return false;
    list->selectionModel()->select(
            list->model()->index(list->model()->rowCount() - 1, 0), QItemSelectionModel::Select);
    window.findChild<QPushButton *>("BtnLogin")->click();
    if (!waitFor([] { return b_loggedIn && !strSessionID.isEmpty(); }, 10000))
        return false;
    window.findChild<QPushButton *>("BtnShare")->click();
    waitFor([] { return false; }, int(seconds * 1000));
    window.findChild<QPushButton *>("BtnLogout")->click();
    waitFor([] { return !b_loggedIn; }, 5000);
    control::stopChannel();
    return true;
}

struct PeerFigures
{
    QSize size;
    double framesPerSecond = 0;
    bool ok = false;
};

std::optional<double> runPipeline(const QString &display, QSize size, int buffers)
{
    const QString pipeline = QString("ximagesrc display-name=%1 use-damage=false num-buffers=%2 "
                                     "! video/x-raw,framerate=10000/1 ! videoscale n-threads=2 "
                                     "! video/x-raw,width=%3,height=%4 ! videoconvert n-threads=2 "
                                     "! video/x-raw,format=I420 ! jpegenc quality=75 "
                                     "! rtpjpegpay mtu=1412 ! udpsink host=%5 port=%6")
                                     .arg(display)
                                     .arg(buffers)
                                     .arg(size.width())
                                     .arg(size.height())
                                     .arg(SinkAddress)
                                     .arg(RtpPort);
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer timer;
    timer.start();
    process.start("gst-launch-1.0", QProcess::splitCommand(pipeline));
    if (!process.waitForStarted(5000) || !process.waitForFinished(120000)
            || process.exitCode() != 0) {
        std::fprintf(stderr, "gst-launch-1.0 failed: %s\n", process.readAll().constData());
        return std::nullopt;
    }
    return timer.nsecsElapsed() / 1e6;
}

// Start-up of the pipeline drops out of the difference of a short and a long run.
PeerFigures measurePeer(const QString &display, QSize size, int frames)
{
    PeerFigures figures;
    figures.size = size;
    std::vector<double> rates;
    for (int round = 0; round < 3; ++round) {
        const auto shortRun = runPipeline(display, size, 30);
        const auto longRun = runPipeline(display, size, 30 + frames);
        if (!shortRun || !longRun)
            return figures;
        if (*longRun > *shortRun)
            rates.push_back(frames / ((*longRun - *shortRun) / 1000.0));
    }
    figures.framesPerSecond = median(rates);
    figures.ok = !rates.empty();
    return figures;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "xcb");
    // The window's debug lines go to the terminal; they are not what is measured.
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    QTemporaryDir home;
    qputenv("HOME", home.path().toLocal8Bit());
    QApplication app(argc, argv);

    int frames = 300;
    double seconds = 4;
    bool peer = true;
    QString shareAddress;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == "--frames" && i + 1 < args.size())
            frames = args[++i].toInt();
        else if (args[i] == "--seconds" && i + 1 < args.size())
            seconds = args[++i].toDouble();
        else if (args[i] == "--no-peer")
            peer = false;
        else if (args[i] == "--share-with" && i + 1 < args.size())
            shareAddress = args[++i];
    }

    const QSize screenSize = QGuiApplication::primaryScreen()->virtualGeometry().size();
    std::printf("screen %dx%d on %s, %u cores\n", screenSize.width(), screenSize.height(),
            qgetenv("DISPLAY").constData(), std::thread::hardware_concurrency());
    auto screen = capture::XcbScreenSource::open();
    if (!screen) {
        std::fprintf(stderr, "no X connection\n");
        return 1;
    }
    std::printf("grab through shared memory: %s; strips encoded while scaling: %s\n",
            screen->usesSharedMemory() ? "yes" : "no",
            capture::StripJpegEncoder::available() ? "yes" : "no");

    // A box of the window would wait for a click: close it and say so.
    QTimer boxCloser;
    QObject::connect(&boxCloser, &QTimer::timeout, [] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (auto *box = qobject_cast<QMessageBox *>(widget); box && box->isVisible()) {
                std::fprintf(stderr, "box: %s\n", qPrintable(box->text()));
                box->done(QMessageBox::Ok);
            }
        }
    });
    boxCloser.start(50);

    DesktopContent content;
    content.show(screenSize);
    if (!shareAddress.isEmpty()) {
        // Windows that were there before (a viewer) stay in front of the picture.
        content.background.lower();
        const bool shared = shareWith(shareAddress, seconds);
        std::printf("shared with %s for %.0f s: %s\n", qPrintable(shareAddress), seconds,
                shared ? "done" : "the login or the share did not work");
        return shared ? 0 : 1;
    }
    UdpDrain drain;

    // 1. Steps.
    initRtp();
    _ZelRtpSession *session = initSession("127.0.0.1", RtpPort + 10, SinkAddress, RtpPort, 5, 0x42);
    std::vector<StepFigures> steps;
    for (const QSize size : { QSize(1280, 720), QSize(1024, 576) })
        steps.push_back(measureSteps(size, frames, *screen, session));
    exitSession(session);
    exitRtp();

    std::printf("\nSteps, median ms per frame (%d frames)\n", frames);
    std::printf("%-34s %12s %12s\n", "", "1280x720", "1024x576");
    const auto row = [&](const char *name, double StepFigures::*field) {
        std::printf("%-34s %12.2f %12.2f\n", name, steps[0].*field, steps[1].*field);
    };
    row("grab (MIT-SHM, one piece)", &StepFigures::grab);
    row("scale into planes, 1 thread", &StepFigures::scaleOne);
    row("encode planes whole (q75 4:2:0)", &StepFigures::encode);
    row("send (RTP, 1400-byte payloads)", &StepFigures::send);
    row("the four one after the other", &StepFigures::serialChain);
    row("overlapped: all rows in at", &StepFigures::overlappedGrab);
    row("overlapped: all rows scaled at", &StepFigures::overlappedScale);
    row("overlapped: file done at", &StepFigures::overlappedEncode);
    row("our chain (overlapped) + send", &StepFigures::chain);
    row("best blocks: Qt smooth scale", &StepFigures::bestScale);
    row("best blocks: tjCompress2", &StepFigures::bestEncode);
    row("best blocks chain", &StepFigures::bestChain);
    row("plain Qt: grabWindow", &StepFigures::qtGrab);
    row("plain Qt chain", &StepFigures::qtChain);
    const auto rate = [&](const char *name, double StepFigures::*field) {
        std::printf("%-34s %12.1f %12.1f\n", name, 1000.0 / (steps[0].*field),
                1000.0 / (steps[1].*field));
    };
    std::printf("whole chain, frames/s\n");
    rate("  ours (overlapped)", &StepFigures::chain);
    rate("  ours, steps one after the other", &StepFigures::serialChain);
    rate("  best blocks", &StepFigures::bestChain);
    rate("  plain Qt", &StepFigures::qtChain);
    std::printf("%-34s %12lld %12lld\n", "JPEG bytes (ours)", (long long)steps[0].jpegBytes,
            (long long)steps[1].jpegBytes);
    std::printf("%-34s %12lld %12lld\n", "JPEG bytes (best blocks)", (long long)steps[0].bestBytes,
            (long long)steps[1].bestBytes);

    // 2. Closed loop through the real window.
    flowTimings() = FlowTimings{};
    flowTimings().waitStepMs = 20;
    std::vector<LoopFigures> loops = { closedLoop(ZmtUnitAddress, unitsim::Family::Zmt, seconds),
        closedLoop(QmtUnitAddress, unitsim::Family::Qmt, seconds) };
    std::printf("\nClosed-loop share, the unit pulling as fast as it can (%.0f s)\n", seconds);
    for (const LoopFigures &loop : loops) {
        if (!loop.ok) {
            std::printf("  share did not run\n");
            continue;
        }
        std::printf("  %dx%d: %7.1f frames/s (%.2f ms a cycle); the client's part, from the "
                    "pull to its frame-sent: %.2f ms\n",
                loop.size.width(), loop.size.height(), loop.framesPerSecond,
                1000.0 / loop.framesPerSecond, loop.pullToFrameSentMs);
    }

    // 3. The peer.
    std::vector<PeerFigures> peers;
    if (peer) {
        if (QStandardPaths::findExecutable("gst-launch-1.0").isEmpty()) {
            std::printf("\ngst-launch-1.0 not found: the GStreamer peer is left out\n");
        } else {
            const QString display = QString::fromLocal8Bit(qgetenv("DISPLAY"));
            for (const QSize size : { QSize(1280, 720), QSize(1024, 576) })
                peers.push_back(measurePeer(display, size, frames));
            std::printf("\nGStreamer, two threads (three runs, median)\n");
            for (const PeerFigures &p : peers)
                std::printf("  %dx%d: %7.1f frames/s = %.2f ms per frame\n", p.size.width(),
                        p.size.height(), p.framesPerSecond,
                        p.ok ? 1000.0 / p.framesPerSecond : 0.0);
        }
    }

    // The goal: per pulled frame at most 0.9 x the peer's time and 1.15 x the best blocks.
    std::printf("\nGoal per pulled frame: <= 0.9 x GStreamer and <= 1.15 x best blocks\n");
    for (std::size_t i = 0; i < loops.size(); ++i) {
        if (!loops[i].ok)
            continue;
        const double ours = loops[i].pullToFrameSentMs;
        std::printf("  %dx%d: ours %.2f ms; best blocks %.2f ms (x%.2f)", steps[i].size.width(),
                steps[i].size.height(), ours, steps[i].bestChain, ours / steps[i].bestChain);
        if (i < peers.size() && peers[i].ok) {
            const double theirs = 1000.0 / peers[i].framesPerSecond;
            std::printf("; GStreamer %.2f ms (x%.2f)", theirs, ours / theirs);
            std::printf(" -> %s",
                    ours <= 0.9 * theirs && ours <= 1.15 * steps[i].bestChain ? "met" : "NOT met");
        }
        std::printf("\n");
    }
    std::printf("datagrams drained: %ld\n", drain.datagrams());
    return 0;
}

// Where the time of a shared frame goes, and how the whole share compares with a GStreamer
// pipeline doing the same work, all in one run on the 1920 x 1080 X screen of DISPLAY:
//   1. the steps one by one (grab, scale, encode, send) at 1280 x 720 and 1024 x 576, with the
//      plain Qt way and the best building blocks (shared-memory grab, Qt's smooth scale straight
//      from it, TurboJPEG into a reused buffer) beside our chain;
//   2. a closed-loop share of the real main window against the emulated unit pulling as fast
//      as it can (ZMT unit: 1280 x 720, QMT unit: 1024 x 576);
//   3. the GStreamer pipeline (ximagesrc ! videoscale ! jpegenc ! rtpjpegpay ! udpsink), its
//      wall time and CPU time per frame;
//   4. pulls through the frame pump on three screens: still, a clock-sized corner changing
//      every frame, and a moving full-screen picture; time and CPU time per pulled frame
//      beside the pipeline's;
//   5. the closed-loop share with the unit pulling 30 frames a second: the client's CPU use.
// The host's speed drifts: compare figures of one run only. Prints figures; asserts nothing.
//
//   share_bench [--frames N] [--seconds S] [--no-peer] [--paced-only [--only TEXT]]
//   share_bench --share-with ADDRESS [--seconds S]   (share with a unit running elsewhere)

#include "control_channel.h"
#include "desktop_capture.h"
#include "flow_timings.h"
#include "frame_pump.h"
#include "jpeg_encoder.h"
#include "mainwindow_state.h"
#include "picture_box.h"
#include "test_pictures.h"
#include "test_support.h"
#include "unit_window.h"
#include "xcb_screen_source.h"
#include "zelrtp.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProcess>
#include <QScopeGuard>
#include <QScreen>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <set>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <xcb/xcb.h>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

const char *SinkAddress = "127.0.0.88"; // where the step-by-step sends and the peer send to
const char *ZmtUnitAddress = "127.0.0.80";
const char *QmtUnitAddress = "127.0.0.81";
constexpr int RtpPort = 50001;
const QSize WindowSize(349, 429);

// Where the main window goes: in the screen's lower right, or off every screen (its share
// status changes with every frame, and then it is not in the shared picture). In the
// window's own coordinates, whatever the screen's size and scale.
QRect windowPlace(bool onScreen)
{
    const QRect screens = QGuiApplication::primaryScreen()->virtualGeometry();
    if (!onScreen)
        return QRect(screens.topRight() + QPoint(200, 0), WindowSize);
    return QRect(screens.bottomRight() - QPoint(WindowSize.width() + 70, WindowSize.height() + 50),
            WindowSize);
}

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

double cpuMs(const rusage &usage)
{
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
            + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// User and system time of the whole process so far.
double processCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return cpuMs(usage);
}

// Time one thread of the process has run so far (the scheduler's nanosecond count).
double threadCpuMs(long tid)
{
    QFile file(QString("/proc/self/task/%1/schedstat").arg(tid));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return file.readAll().split(' ').value(0).toDouble() / 1e6;
}

std::set<long> threadIds()
{
    std::set<long> ids;
    for (const QString &name : QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        ids.insert(name.toLong());
    return ids;
}

long currentThreadId()
{
    return long(syscall(SYS_gettid));
}

// The CPU time of every thread of the process, by thread, with the threads' names.
struct ThreadTimes
{
    struct Thread
    {
        QString name;
        double cpuMs = 0;
    };
    std::map<long, Thread> threads;

    static ThreadTimes now()
    {
        ThreadTimes t;
        for (const long id : threadIds()) {
            QFile comm(QString("/proc/self/task/%1/comm").arg(id));
            const QString name = comm.open(QIODevice::ReadOnly)
                    ? QString::fromUtf8(comm.readAll()).trimmed()
                    : QString();
            t.threads[id] = { id == long(getpid()) ? QString("GUI") : name, threadCpuMs(id) };
        }
        return t;
    }

    // What each thread alive at `end` ran since this snapshot, leaving out the given threads.
    // A thread that ended in between is not counted: a steady share starts and ends none.
    std::map<long, Thread> spentUntil(const ThreadTimes &end, const std::set<long> &leftOut) const
    {
        std::map<long, Thread> spent;
        for (const auto &[id, thread] : end.threads) {
            // The emulator's threads name themselves, also those it starts later.
            if (leftOut.count(id) || thread.name.startsWith("unitsim-"))
                continue;
            const auto before = threads.find(id);
            spent[id] = { thread.name,
                thread.cpuMs - (before == threads.end() ? 0 : before->second.cpuMs) };
        }
        return spent;
    }
};

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
            m_tid = long(syscall(SYS_gettid));
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
    long threadId() const { return m_tid; }
    // CPU time of the draining thread, to be taken out of the process's.
    double cpuMs() const { return m_tid ? threadCpuMs(m_tid) : 0; }

private:
    std::atomic<long> m_tid{ 0 };
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
        testsupport::processEventsFor(std::chrono::milliseconds(500)); // let everything paint
    }
};

// What changes on the screen between two pulls, drawn by the X server on a connection of
// the bench's own: nothing, a clock-sized corner, or a full-screen picture that moves.
class Scene
{
public:
    enum Kind { Still, Clock, Moving };
    static constexpr const char *Names[] = { "still screen", "clock-sized change", "full change" };

    explicit Scene(Kind kind) : m_kind(kind)
    {
        m_connection = xcb_connect(nullptr, nullptr);
        m_screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
        m_gc = xcb_generate_id(m_connection);
        if (kind == Clock) {
            m_window = createWindow(QRect(1780, 1040, 120, 32));
            xcb_create_gc(m_connection, m_gc, m_window, 0, nullptr);
        } else if (kind == Moving) {
            // A photo a little larger than the screen, shown at a new offset every frame.
            const QSize screen(m_screen->width_in_pixels, m_screen->height_in_pixels);
            const QImage photo = testpictures::photoLike(screen + QSize(320, 180), 23)
                                         .convertToFormat(QImage::Format_RGB32);
            m_pixmap = xcb_generate_id(m_connection);
            xcb_create_pixmap(m_connection, m_screen->root_depth, m_pixmap, m_screen->root,
                    std::uint16_t(photo.width()), std::uint16_t(photo.height()));
            xcb_create_gc(m_connection, m_gc, m_pixmap, 0, nullptr);
            for (int top = 0; top < photo.height(); top += 16) {
                const int rows = std::min(16, photo.height() - top);
                xcb_put_image(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, m_pixmap, m_gc,
                        std::uint16_t(photo.width()), std::uint16_t(rows), 0, std::int16_t(top), 0,
                        m_screen->root_depth, std::uint32_t(rows * photo.bytesPerLine()),
                        photo.constScanLine(top));
            }
            m_window = createWindow(QRect(QPoint(0, 0), screen));
        }
        advance();
    }
    ~Scene()
    {
        if (m_window)
            xcb_destroy_window(m_connection, m_window);
        if (m_pixmap)
            xcb_free_pixmap(m_connection, m_pixmap);
        xcb_free_gc(m_connection, m_gc);
        sync();
        xcb_disconnect(m_connection);
    }

    // The next picture of the scene, drawn by the time this returns.
    void advance()
    {
        ++m_step;
        if (m_kind == Clock) {
            const std::uint32_t colour[] = { std::uint32_t(0x101010 + (m_step % 200) * 0x010100) };
            xcb_change_gc(m_connection, m_gc, XCB_GC_FOREGROUND, colour);
            const xcb_rectangle_t face{ 0, 0, 120, 32 };
            xcb_poly_fill_rectangle(m_connection, m_window, m_gc, 1, &face);
            const std::uint32_t white[] = { 0xffffff };
            xcb_change_gc(m_connection, m_gc, XCB_GC_FOREGROUND, white);
            const xcb_rectangle_t hand{ std::int16_t(4 + m_step % 100), 6, 12, 20 };
            xcb_poly_fill_rectangle(m_connection, m_window, m_gc, 1, &hand);
        } else if (m_kind == Moving) {
            xcb_copy_area(m_connection, m_pixmap, m_window, m_gc, std::int16_t(m_step * 7 % 320),
                    std::int16_t(m_step * 3 % 180), 0, 0, m_screen->width_in_pixels,
                    m_screen->height_in_pixels);
        }
        sync();
    }

private:
    xcb_window_t createWindow(const QRect &place)
    {
        const xcb_window_t window = xcb_generate_id(m_connection);
        const std::uint32_t values[] = { 0, 1 }; // black background, override-redirect
        xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, window, m_screen->root,
                std::int16_t(place.x()), std::int16_t(place.y()), std::uint16_t(place.width()),
                std::uint16_t(place.height()), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                m_screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(m_connection, window);
        return window;
    }
    void sync()
    {
        std::free(xcb_get_input_focus_reply(
                m_connection, xcb_get_input_focus(m_connection), nullptr));
    }

    Kind m_kind;
    xcb_connection_t *m_connection = nullptr;
    xcb_screen_t *m_screen = nullptr;
    xcb_window_t m_window = 0;
    xcb_pixmap_t m_pixmap = 0;
    xcb_gcontext_t m_gc = 0;
    int m_step = 0;
};

struct PullFigures
{
    double wallMs = 0; // median, from the pull to the last packet sent
    double captureMs = 0; // median, of that the capture step
    double cpuMs = 0; // mean CPU time of the process per pull (the drain's taken out)
    int kept = 0, rows = 0, whole = 0;
};

// Pulls through the frame pump as the frame slot makes them, the scene moving on between
// pulls (outside the measured time), the RTP packets going to the drain.
PullFigures measurePulls(Scene::Kind kind, QSize target, int frames, const UdpDrain &drain)
{
    PullFigures figures;
    Scene scene(kind);
    capture::DesktopCapture desktop(capture::XcbScreenSource::open());
    frames::FramePump pump;
    double captureMs = 0;
    const auto step = [&](capture::Frame &frame) {
        const auto start = Clock::now();
        const bool captured = desktop.captureFrame(target, frame);
        captureMs = msSince(start);
        return captured ? frames::Capture::Picture : frames::Capture::NoPicture;
    };
    for (int i = 0; i < 10; ++i) {
        scene.advance();
        pump.pull(SinkAddress, "Bn42", step);
        pump.waitUntilLeft();
    }
    std::vector<double> wall, captures;
    double cpu = 0;
    for (int i = 0; i < frames; ++i) {
        scene.advance();
        const double drainBefore = drain.cpuMs();
        const double cpuBefore = processCpuMs();
        const auto start = Clock::now();
        pump.pull(SinkAddress, "Bn42", step);
        pump.waitUntilLeft();
        wall.push_back(msSince(start));
        captures.push_back(captureMs);
        const double cpuAfter = processCpuMs();
        cpu += cpuAfter - cpuBefore - (drain.cpuMs() - drainBefore);
        switch (desktop.lastWork()) {
        case capture::DesktopCapture::Work::Kept:
            ++figures.kept;
            break;
        case capture::DesktopCapture::Work::ChangedRows:
            ++figures.rows;
            break;
        default:
            ++figures.whole;
            break;
        }
    }
    figures.wallMs = median(wall);
    figures.captureMs = median(captures);
    figures.cpuMs = cpu / frames;
    return figures;
}

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
    ours.setFollowChanges(false); // the whole chain every time, on this still screen
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
    double clientCpuPercent = 0; // of one core: the client's threads only
    QString busiestThreads; // the client's threads that ran most, with their share of a core
    // What a watcher saw change on the screen every 33 ms while measuring.
    int checks = 0, changedChecks = 0, changedTop = INT_MAX, changedBottom = 0;
    double framesPerSecond = 0;
    double pullToFrameSentMs = 0; // mean, from the unit's pull to the client's frame-sent
    int frames = 0;
    double packetsPerFrame = 0; // of the last frame, and its UDP payload in KB
    double frameKb = 0;
    bool ok = false;
};

// Looks every 33 ms at what changed on the screen, on a thread and an X connection of its own,
// so its work is told apart from the client's.
class ScreenWatcher
{
public:
    ScreenWatcher()
        : m_thread([this] {
              m_tid = currentThreadId();
              const auto source = capture::XcbScreenSource::open();
              if (source)
                  source->takeChanges();
              m_ready = true;
              while (!m_stop) {
                  std::this_thread::sleep_for(std::chrono::milliseconds(33));
                  if (!source)
                      continue;
                  const capture::DesktopChanges changes = source->takeChanges();
                  std::lock_guard lock(m_mutex);
                  ++m_checks;
                  if (!changes.none()) {
                      ++m_changed;
                      m_top = std::min(m_top, changes.top);
                      m_bottom = std::max(m_bottom, changes.bottom);
                  }
              }
          })
    {
        while (!m_ready)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~ScreenWatcher() { stop(); }
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    long threadId() const { return m_tid; }
    void fill(LoopFigures &figures) const
    {
        std::lock_guard lock(m_mutex);
        figures.checks = m_checks;
        figures.changedChecks = m_changed;
        figures.changedTop = m_top;
        figures.changedBottom = m_bottom;
    }

private:
    std::atomic<long> m_tid{ 0 };
    std::atomic<bool> m_ready{ false };
    std::atomic<bool> m_stop{ false };
    mutable std::mutex m_mutex;
    int m_checks = 0, m_changed = 0, m_top = INT_MAX, m_bottom = 0;
    std::thread m_thread;
};

// The real window logs in to an emulated unit and shares; the unit pulls as fast as frames
// come back. Frames per second over the measuring time after a warm-up. The client's CPU is
// that of its own threads: the emulator's, the bench's screen watcher and the UDP drain are
// left out.
LoopFigures closedLoop(const char *address, unitsim::Family family, double seconds,
        int pullIntervalMs = 0, std::optional<Scene::Kind> sceneKind = std::nullopt,
        bool windowOnScreen = true, const std::set<long> &benchThreads = {},
        testsupport::BoxAnswerer *boxes = nullptr)
{
    LoopFigures figures;
    // The scene changes on a thread of the bench's own.
    std::optional<Scene> scene;
    std::atomic<bool> sceneStop{ false };
    std::atomic<long> sceneThreadId{ 0 };
    std::thread sceneThread;
    if (sceneKind) {
        scene.emplace(*sceneKind);
        sceneThread = std::thread([&] {
            sceneThreadId = currentThreadId();
            while (!sceneStop) {
                std::this_thread::sleep_for(
                        std::chrono::milliseconds(pullIntervalMs > 0 ? pullIntervalMs : 10));
                scene->advance();
            }
        });
    }
    const auto stopScene = qScopeGuard([&] {
        sceneStop = true;
        if (sceneThread.joinable())
            sceneThread.join();
    });
    // The unit decides the login by one reply (the other dialect's path stays unanswered).
    testsupport::UnitWindow shared;
    shared.timings.waitStepMs = 20;
    const std::set<long> before = threadIds();
    if (const auto error = shared.startUnit(address, family, "Bn42",
                [&](unitsim::Options &o) { o.pullIntervalMs = pullIntervalMs; })) {
        std::fprintf(stderr, "emulator: %s\n", error->c_str());
        return figures;
    }
    unitsim::UnitSim &unit = *shared.unit;
    // The emulator's threads: what the unit does is not the client's CPU.
    std::set<long> leftOut = benchThreads;
    for (const long id : threadIds())
        if (!before.count(id))
            leftOut.insert(id);
    const int warmUp = pullIntervalMs >= 100 ? 2 : 20;
    if (!shared.openWindow(address, "1234", windowPlace(windowOnScreen)) || !shared.logIn()
            || !shared.share(warmUp + 1))
        return figures;
    if (!windowOnScreen
            && QGuiApplication::primaryScreen()->virtualGeometry().intersects(
                    shared.window->frameGeometry()))
        std::fprintf(stderr, "the window is still on the screen\n");

    const int startFrames = unit.counters().framesValid;
    ScreenWatcher watcher;
    leftOut.insert(watcher.threadId());
    leftOut.insert(sceneThreadId);
    // A box would end the share early; looking for one seldom keeps the looking out of the
    // figures.
    if (boxes)
        boxes->setInterval(std::chrono::milliseconds(1000));
    const auto startTime = Clock::now();
    const ThreadTimes cpuBefore = ThreadTimes::now();
    // Waiting in the event loop, so the bench's own waiting costs no CPU of its own.
    QEventLoop idle;
    QTimer::singleShot(int(seconds * 1000), &idle, &QEventLoop::quit);
    idle.exec();
    const ThreadTimes cpuAfter = ThreadTimes::now();
    const double elapsed = msSince(startTime) / 1000.0;
    if (boxes)
        boxes->setInterval(std::chrono::milliseconds(50));
    watcher.stop();
    watcher.fill(figures);
    const int endFrames = unit.counters().framesValid;
    std::vector<std::pair<double, QString>> busiest;
    for (const auto &[id, thread] : cpuBefore.spentUntil(cpuAfter, leftOut)) {
        figures.clientCpuPercent += thread.cpuMs / elapsed / 10.0;
        busiest.emplace_back(thread.cpuMs / elapsed / 10.0, thread.name);
    }
    std::sort(busiest.rbegin(), busiest.rend());
    for (std::size_t i = 0; i < busiest.size() && i < 4 && busiest[i].first >= 0.01; ++i)
        figures.busiestThreads += QString("%1%2 %3")
                                          .arg(i ? ", " : "")
                                          .arg(busiest[i].second)
                                          .arg(busiest[i].first, 0, 'f', 2);
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
    if (!frames.empty()) {
        figures.packetsPerFrame = double(frames.back().packetCount);
        figures.frameKb = frames.back().datagramBytes / 1024.0;
    }
    figures.ok = true;
    return figures; // the window logs out, then the control channel and the unit close
}

// Shares the desktop with a unit that runs elsewhere (such as the emulator with its viewer)
// for the given time, then logs out.
bool shareWith(const QString &address, double seconds)
{
    testsupport::UnitWindow shared;
    shared.timings.waitStepMs = 20;
    if (!shared.openWindow(address, "1234", windowPlace(true)) || !shared.logIn())
        return false;
    shared.button("BtnShare")->click();
    testsupport::processEventsFor(std::chrono::milliseconds(int(seconds * 1000)));
    shared.logOut();
    return true;
}

struct PeerFigures
{
    QSize size;
    double framesPerSecond = 0;
    double cpuMsPerFrame = 0;
    bool ok = false;
};

struct RunCost
{
    double wallMs = 0;
    double cpuMs = 0;
};

// Runs a program to its end; its wall time and the CPU time it used (wait4's usage).
std::optional<RunCost> runMeasured(const QString &program, const QStringList &arguments)
{
    std::vector<QByteArray> storage{ program.toLocal8Bit() };
    for (const QString &argument : arguments)
        storage.push_back(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    QElapsedTimer timer;
    timer.start();
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return std::nullopt;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    return RunCost{ timer.nsecsElapsed() / 1e6, cpuMs(usage) };
}

std::optional<RunCost> runPipeline(const QString &display, QSize size, int buffers)
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
    const auto cost = runMeasured("gst-launch-1.0", QProcess::splitCommand(pipeline));
    if (!cost)
        std::fprintf(stderr, "gst-launch-1.0 failed: %s\n", qPrintable(pipeline));
    return cost;
}

// Start-up of the pipeline drops out of the difference of a short and a long run.
PeerFigures measurePeer(const QString &display, QSize size, int frames)
{
    PeerFigures figures;
    figures.size = size;
    std::vector<double> rates, cpu;
    for (int round = 0; round < 3; ++round) {
        const auto shortRun = runPipeline(display, size, 30);
        const auto longRun = runPipeline(display, size, 30 + frames);
        if (!shortRun || !longRun)
            return figures;
        if (longRun->wallMs > shortRun->wallMs) {
            rates.push_back(frames / ((longRun->wallMs - shortRun->wallMs) / 1000.0));
            cpu.push_back((longRun->cpuMs - shortRun->cpuMs) / frames);
        }
    }
    figures.framesPerSecond = median(rates);
    figures.cpuMsPerFrame = median(cpu);
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
    testsupport::TempHome home;
    QApplication app(argc, argv);

    int frames = 300;
    double seconds = 4;
    bool peer = true;
    bool pacedOnly = false; // only the share with the unit pulling 30 frames a second
    QString onlyCase; // of those, only the ones whose name holds this text
    QString shareAddress;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == "--frames" && i + 1 < args.size())
            frames = args[++i].toInt();
        else if (args[i] == "--seconds" && i + 1 < args.size())
            seconds = args[++i].toDouble();
        else if (args[i] == "--no-peer")
            peer = false;
        else if (args[i] == "--paced-only")
            pacedOnly = true;
        else if (args[i] == "--only" && i + 1 < args.size())
            onlyCase = args[++i];
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

    // A box of the window would wait for a click: answer it and say so. Looking only every
    // 50 ms keeps the looking out of the client's CPU figures.
    testsupport::BoxAnswerer boxes(std::chrono::milliseconds(50));
    boxes.onBox = [](const testsupport::SeenBox &box) {
        std::fprintf(stderr, "box: %s\n", qPrintable(box.text));
    };

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
    while (!drain.threadId())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const std::set<long> benchThreads{ drain.threadId() };
    if (!pacedOnly) {

        // 1. Steps.
        initRtp();
        _ZelRtpSession *session =
                initSession("127.0.0.1", RtpPort + 10, SinkAddress, RtpPort, 5, 0x42);
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
        std::printf("%-34s %12lld %12lld\n", "JPEG bytes (best blocks)",
                (long long)steps[0].bestBytes, (long long)steps[1].bestBytes);

        // 2. Closed loop through the real window.
        std::vector<LoopFigures> loops = { closedLoop(
                                                   ZmtUnitAddress, unitsim::Family::Zmt, seconds),
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
                for (const PeerFigures &p : peers) {
                    if (!p.ok) {
                        // Its elements come with gstreamer1.0-plugins-good.
                        std::printf("  %dx%d: the pipeline did not run\n", p.size.width(),
                                p.size.height());
                        continue;
                    }
                    std::printf(
                            "  %dx%d: %7.1f frames/s = %.2f ms per frame, CPU %.2f ms per frame\n",
                            p.size.width(), p.size.height(), p.framesPerSecond,
                            1000.0 / p.framesPerSecond, p.cpuMsPerFrame);
                }
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
                        ours <= 0.9 * theirs && ours <= 1.15 * steps[i].bestChain ? "met"
                                                                                  : "NOT met");
            }
            std::printf("\n");
        }

        // 4. Pulls on a still, a slightly changing and a fully changing screen.
        const QSize sizes[] = { QSize(1280, 720), QSize(1024, 576) };
        const double goals[] = { 0.15, 0.5, 0.9 };
        std::printf("\nPulls through the frame pump, %d per screen: median ms from the pull to the "
                    "last "
                    "packet, mean CPU ms of the process per pull; pictures kept / rows redone / "
                    "whole\n",
                frames);
        std::printf("%-20s %-9s %7s %7s %7s %13s %9s %9s %7s %7s %s\n", "screen", "size", "ms",
                "capture", "cpu", "kept/rows/all", "GSt ms", "GSt cpu", "x ms", "x cpu",
                "goal (ms)");
        for (const Scene::Kind kind : { Scene::Still, Scene::Clock, Scene::Moving }) {
            for (std::size_t i = 0; i < 2; ++i) {
                const PullFigures f = measurePulls(kind, sizes[i], frames, drain);
                std::printf("%-20s %4dx%-4d %7.3f %7.3f %7.3f %4d/%4d/%4d", Scene::Names[kind],
                        sizes[i].width(), sizes[i].height(), f.wallMs, f.captureMs, f.cpuMs, f.kept,
                        f.rows, f.whole);
                if (i < peers.size() && peers[i].ok) {
                    const double theirs = 1000.0 / peers[i].framesPerSecond;
                    const double ratio = f.wallMs / theirs;
                    std::printf(" %9.2f %9.2f %7.3f %7.3f <= %.2f %s", theirs,
                            peers[i].cpuMsPerFrame, ratio, f.cpuMs / peers[i].cpuMsPerFrame,
                            goals[kind], ratio <= goals[kind] ? "met" : "NOT met");
                }
                std::printf("\n");
            }
        }
    }

    // 5. The unit pulling 30 frames a second for 10 s: the client's share of one core.
    std::printf("\nClosed-loop share, the unit pulling every 33 ms for 10 s: the client's CPU use "
                "(the emulator's threads taken out; goal on the still screen <= 3 %%); with one "
                "pull a second, what the share costs besides the pulls\n");
    const struct
    {
        const char *address;
        unitsim::Family family;
    } units[] = { { ZmtUnitAddress, unitsim::Family::Zmt },
        { QmtUnitAddress, unitsim::Family::Qmt } };
    for (const auto &unit : units) {
        const struct
        {
            std::optional<Scene::Kind> scene;
            bool windowOnScreen;
            int intervalMs;
            const char *what;
        } cases[] = { { std::nullopt, true, 33, "still, the window's status on it" },
            { std::nullopt, false, 33, "still, the window off it" },
            { std::nullopt, false, 1000, "still, window off, 1 pull/s" },
            { Scene::Clock, false, 33, "clock, the window off it" } };
        for (const auto &c : cases) {
            const QString name = QString("%1 %2")
                                         .arg(unit.family == unitsim::Family::Zmt ? "ZMT" : "QMT")
                                         .arg(c.what);
            if (!name.contains(onlyCase))
                continue;
            const LoopFigures loop = closedLoop(unit.address, unit.family, 10, c.intervalMs,
                    c.scene, c.windowOnScreen, benchThreads, &boxes);
            if (!loop.ok) {
                std::printf("  share did not run\n");
                continue;
            }
            std::printf("  %-7s %-34s %5.1f frames/s, client CPU %5.2f %% of one core; the "
                        "screen changed in %d of %d looks",
                    unit.family == unitsim::Family::Zmt ? "ZMT" : "QMT", c.what,
                    loop.framesPerSecond, loop.clientCpuPercent, loop.changedChecks, loop.checks);
            if (loop.changedChecks)
                std::printf(", rows %d-%d", loop.changedTop, loop.changedBottom);
            std::printf("\n            frames of %.0f packets (%.0f KB); the client's busiest "
                        "threads, %% of a core: %s\n",
                    loop.packetsPerFrame, loop.frameKb, qPrintable(loop.busiestThreads));
        }
    }
    std::printf("datagrams drained: %ld\n", drain.datagrams());
    return 0;
}

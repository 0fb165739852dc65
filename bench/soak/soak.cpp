// A long session of the built tandeo-desktop against the built tandeo-unitsim, each as its own
// process, the window driven through the X server of DISPLAY like a user (clicks, the window
// manager's close request), while the program's resources are watched from outside:
//   1. one share of --frames frames (default 10,000) to the unit pulling as fast as the client
//      sends, then Stop and Logout;
//   2. --cycles cycles (default 30) of Login, Share (--cycle-frames frames, default 10), Stop,
//      Logout;
//   3. the window's close request, after which the program must end with exit status 0.
// Every --every seconds (default 2) and after each cycle the program's resident memory (VmRSS
// of /proc/PID/status), open descriptors (entries of /proc/PID/fd) and threads (Threads: of
// /proc/PID/status) are sampled and printed as one row of a table.
//
// Verdicts, one per measure for the long share and one for the cycles:
//   - the long share is judged on the samples taken while frames flow; the cycles on the
//     samples taken half a second after each cycle's logout, when the program is back on its
//     login page in the same state every time (the samples in between are printed, not judged);
//   - the first sample of each is a warm-up and is left out; the median of the last third of
//     the rest is compared with the median of the first third;
//   - resident memory is "growing" when it rose by more than 8 MiB or by more than 10 % of the
//     start, whichever is less; descriptors and threads are "growing" when the median of the
//     last third is above every count of the first third (a count stepping between two values
//     is not a rise, one more for good is). Anything else is "flat".
// Exit status 0 when the session went through and every measure is flat; 1 when a measure is
// growing or the session failed (a step the unit never saw, a stalled share, a box, an unclean
// end); 2 for a bad option or no display. The host's speed drifts: compare figures of one run.
//
//   soak [--frames N] [--cycles M] [--cycle-frames K] [--every S] [--address A]

#include "growth_verdict.h"
#include "program_session.h"

#include <QCoreApplication>
#include <QJsonObject>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::DesktopProcess;
using testsupport::ProcessEnd;
using testsupport::UnitProcess;
using Control = DesktopProcess::Control;

const char *UsageText = "usage: soak [--frames N] [--cycles M] [--cycle-frames K] [--every S] "
                        "[--address A]\n";

// A share that receives no frame for this long has stalled.
constexpr auto StallTimeout = 30s;
constexpr auto StepTimeout = 20s;
// After the unit saw the logout the program still ends its session (threads, sockets).
constexpr auto SettleTime = 500ms;

struct Options
{
    int frames = 10000;
    int cycles = 30;
    int cycleFrames = 10;
    double everySeconds = 2;
    QString address = "127.0.0.120";
    bool help = false;
};

std::optional<long> wholeNumber(const char *text, long least)
{
    char *end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end || value < least)
        return std::nullopt;
    return value;
}

std::optional<Options> parseOptions(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--help") {
            options.help = true;
            continue;
        }
        if (i + 1 >= argc)
            return std::nullopt;
        const char *value = argv[++i];
        int *count = name == "--frames"    ? &options.frames
                : name == "--cycles"       ? &options.cycles
                : name == "--cycle-frames" ? &options.cycleFrames
                                           : nullptr;
        if (count) {
            // No cycles at all is allowed; a share needs a frame.
            const std::optional<long> n = wholeNumber(value, count == &options.cycles ? 0 : 1);
            if (!n || *n > 100'000'000)
                return std::nullopt;
            *count = int(*n);
        } else if (name == "--every") {
            char *end = nullptr;
            options.everySeconds = std::strtod(value, &end);
            if (end == value || *end || !(options.everySeconds >= 0.1)
                    || options.everySeconds > 3600)
                return std::nullopt;
        } else if (name == "--address") {
            options.address = QString::fromLocal8Bit(value);
        } else {
            return std::nullopt;
        }
    }
    return options;
}

// What a process holds, as /proc shows it.
struct Usage
{
    long rssKiB = 0;
    int fds = 0;
    int threads = 0;
};

std::optional<Usage> usageOf(qint64 pid)
{
    const std::string dir = "/proc/" + std::to_string(pid);
    std::ifstream status(dir + "/status");
    Usage usage;
    bool rssSeen = false;
    bool threadsSeen = false;
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmRSS:")) {
            usage.rssKiB = std::strtol(line.c_str() + 6, nullptr, 10);
            rssSeen = true;
        } else if (line.starts_with("Threads:")) {
            usage.threads = int(std::strtol(line.c_str() + 8, nullptr, 10));
            threadsSeen = true;
        }
    }
    std::error_code error;
    std::filesystem::directory_iterator it(dir + "/fd", error);
    for (; !error && it != std::filesystem::directory_iterator(); it.increment(error))
        ++usage.fds;
    if (error || !rssSeen || !threadsSeen)
        return std::nullopt;
    return usage;
}

// Which verdict a sample counts towards.
enum class Series { None, Share, Cycles };

struct Sample
{
    double seconds = 0;
    std::string phase;
    int frames = 0;
    Usage usage;
    Series series = Series::None;
};

// What the unit's log has shown so far.
struct UnitCounts
{
    int validFrames = 0;
    int invalidFrames = 0;
    int firmwareRequests = 0;
    int logoutRequests = 0;
    int stopsReceived = 0;
};

class Soak
{
public:
    explicit Soak(const Options &options) : m_options(options) { }

    // Runs the whole session; false when a step failed (already reported).
    bool run();
    // Prints the verdicts; false when a measure is growing.
    bool printVerdicts() const;

private:
    bool start();
    bool longShare();
    bool cycle(int number);
    bool closeWindow();

    bool logIn();
    bool share(int frames);
    bool stop();
    bool logOut();
    bool settle();

    // Reads the unit's log and samples when a sample is due, until pred() holds. A share waits
    // with stall=true: the deadline moves on with every frame that arrives.
    bool waitFor(const char *what, const std::function<bool()> &pred,
            std::chrono::milliseconds timeout, bool stall = false);
    void readUnitLog();
    bool sampleIfDue();
    bool sample(const std::string &phase, Series series);
    bool fail(const std::string &what);
    double secondsSinceStart() const;

    Options m_options;
    std::unique_ptr<UnitProcess> m_unit;
    std::unique_ptr<DesktopProcess> m_desktop;
    qint64 m_logOffset = 0;
    UnitCounts m_counts;
    std::vector<Sample> m_samples;
    Clock::time_point m_start = Clock::now();
    Clock::time_point m_nextSample = m_start;
    std::string m_phase = "start";
    Series m_series = Series::None;
    double m_shareSeconds = 0; // from the Share click to the last frame of the long share
    double m_cyclesSeconds = 0;
};

double Soak::secondsSinceStart() const
{
    return std::chrono::duration<double>(Clock::now() - m_start).count();
}

bool Soak::run()
{
    std::printf("%8s  %-10s %8s %9s %5s %8s\n", "time s", "phase", "frames", "RSS KiB", "fds",
            "threads");
    if (!start())
        return false;

    if (!longShare())
        return false;

    const double cyclesStart = secondsSinceStart();
    for (int i = 1; i <= m_options.cycles; ++i) {
        if (!cycle(i))
            return false;
    }
    m_cyclesSeconds = secondsSinceStart() - cyclesStart;
    return closeWindow();
}

bool Soak::start()
{
    m_unit = std::make_unique<UnitProcess>(m_options.address);
    if (!m_unit->started())
        return fail("the unit did not start on " + m_options.address.toStdString());
    m_desktop = std::make_unique<DesktopProcess>(*m_unit);
    if (!m_desktop->started())
        return fail("the program's window did not appear");
    return sample("start", Series::None);
}

bool Soak::longShare()
{
    m_phase = "login";
    if (!logIn())
        return false;
    m_phase = "share";
    const double shareStart = secondsSinceStart();
    m_desktop->click(Control::Share);
    if (!waitFor(
                "the first frame", [&] { return m_counts.validFrames > 0; }, StepTimeout))
        return false;
    // From the first frame on, the samples show the program sharing.
    m_series = Series::Share;
    if (!sample("share", Series::Share))
        return false;
    const bool shared = waitFor(
            "the long share", [&] { return m_counts.validFrames >= m_options.frames; },
            StallTimeout, true);
    m_series = Series::None;
    m_shareSeconds = secondsSinceStart() - shareStart;
    if (!shared || !sample("share", Series::Share))
        return false;
    m_phase = "stop";
    return stop() && logOut() && settle() && sample("logged out", Series::None);
}

bool Soak::cycle(int number)
{
    m_phase = "cycles";
    if (!logIn() || !share(m_options.cycleFrames) || !stop() || !logOut() || !settle())
        return false;
    return sample("cycle " + std::to_string(number), Series::Cycles);
}

bool Soak::closeWindow()
{
    m_phase = "closing";
    const QStringList boxes = m_desktop->boxes();
    if (!boxes.isEmpty())
        return fail("the program showed a box: " + boxes.join(" | ").toStdString());
    m_desktop->requestClose();
    const std::optional<ProcessEnd> end = m_desktop->waitForExit(10s);
    if (!end)
        return fail("the program did not end after the window's close request");
    if (!end->clean()) {
        return fail(end->crashed
                        ? "the program was ended by signal " + std::to_string(end->code)
                        : "the program ended with exit status " + std::to_string(end->code));
    }
    std::printf("window closed: exit status 0\n");
    return true;
}

bool Soak::logIn()
{
    const int expected = m_counts.firmwareRequests + 1;
    m_desktop->click(Control::ProfileRow);
    m_desktop->click(Control::Login);
    // The firmware request follows an accepted login.
    return waitFor(
            "the login", [&] { return m_counts.firmwareRequests >= expected; }, StepTimeout);
}

bool Soak::share(int frames)
{
    const int expected = m_counts.validFrames + frames;
    m_desktop->click(Control::Share);
    return waitFor(
            "a share", [&] { return m_counts.validFrames >= expected; }, StallTimeout, true);
}

bool Soak::stop()
{
    const int expected = m_counts.stopsReceived + 1;
    m_desktop->click(Control::Stop);
    return waitFor(
            "the stop", [&] { return m_counts.stopsReceived >= expected; }, StepTimeout);
}

bool Soak::logOut()
{
    const int expected = m_counts.logoutRequests + 1;
    m_desktop->click(Control::Logout);
    return waitFor(
            "the logout", [&] { return m_counts.logoutRequests >= expected; }, StepTimeout);
}

bool Soak::settle()
{
    const auto until = Clock::now() + SettleTime;
    return waitFor(
            "settling", [&] { return Clock::now() >= until; }, SettleTime + 1s);
}

bool Soak::waitFor(const char *what, const std::function<bool()> &pred,
        std::chrono::milliseconds timeout, bool stall)
{
    auto deadline = Clock::now() + timeout;
    int frames = m_counts.validFrames;
    for (;;) {
        readUnitLog();
        if (pred())
            return true;
        if (!sampleIfDue())
            return false;
        if (stall && m_counts.validFrames != frames) {
            frames = m_counts.validFrames;
            deadline = Clock::now() + timeout;
        }
        if (Clock::now() >= deadline)
            return fail(std::string(what) + " did not happen");
        std::this_thread::sleep_for(50ms);
    }
}

void Soak::readUnitLog()
{
    const auto stopIn = UnitProcess::controlIn("MSG_STOP");
    const auto firmware = UnitProcess::command("firmware");
    const auto logout = UnitProcess::command("logout");
    for (const QJsonObject &event : m_unit->eventsAfter(m_logOffset)) {
        if (event["event"] == "frame")
            ++(event["valid"] == true ? m_counts.validFrames : m_counts.invalidFrames);
        else if (stopIn(event))
            ++m_counts.stopsReceived;
        else if (firmware(event))
            ++m_counts.firmwareRequests;
        else if (logout(event))
            ++m_counts.logoutRequests;
    }
}

bool Soak::sampleIfDue()
{
    if (Clock::now() < m_nextSample)
        return true;
    return sample(m_phase, m_series);
}

bool Soak::sample(const std::string &phase, Series series)
{
    const auto every = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(m_options.everySeconds));
    while (m_nextSample <= Clock::now())
        m_nextSample += every;
    const std::optional<Usage> usage = usageOf(m_desktop->pid());
    if (!usage)
        return fail("the program is gone");
    Sample s{ secondsSinceStart(), phase, m_counts.validFrames, *usage, series };
    m_samples.push_back(s);
    std::printf("%8.1f  %-10s %8d %9ld %5d %8d\n", s.seconds, s.phase.c_str(), s.frames,
            s.usage.rssKiB, s.usage.fds, s.usage.threads);
    std::fflush(stdout);
    return true;
}

bool Soak::fail(const std::string &what)
{
    std::fflush(stdout);
    std::fprintf(stderr, "soak: %s (after %.1f s, %d frames)\n", what.c_str(), secondsSinceStart(),
            m_counts.validFrames);
    const auto tail = [](const QString &text) {
        const QStringList lines = text.split('\n', Qt::SkipEmptyParts);
        return lines.mid(std::max<qsizetype>(0, lines.size() - 15)).join('\n').toStdString();
    };
    if (m_desktop)
        std::fprintf(stderr, "program:\n%s\n", tail(m_desktop->output()).c_str());
    if (m_unit)
        std::fprintf(stderr, "unit:\n%s\n", tail(m_unit->output()).c_str());
    return false;
}

bool Soak::printVerdicts() const
{
    std::printf("frames: %d valid, %d invalid; long share %d frames in %.1f s (%.1f frames/s); "
                "%d cycles in %.1f s (%.2f s each)\n",
            m_counts.validFrames, m_counts.invalidFrames, m_options.frames, m_shareSeconds,
            m_shareSeconds > 0 ? m_options.frames / m_shareSeconds : 0.0, m_options.cycles,
            m_cyclesSeconds, m_options.cycles ? m_cyclesSeconds / m_options.cycles : 0.0);
    struct Measure
    {
        const char *name;
        soak::GrowthRule rule;
        double (*value)(const Usage &);
    };
    const Measure measures[] = {
        { "RSS KiB", soak::MemoryRule, [](const Usage &u) { return double(u.rssKiB); } },
        { "fds", soak::CountRule, [](const Usage &u) { return double(u.fds); } },
        { "threads", soak::CountRule, [](const Usage &u) { return double(u.threads); } },
    };
    bool flat = true;
    for (const auto &[series, name] :
            { std::pair{ Series::Share, "share" }, std::pair{ Series::Cycles, "cycles" } }) {
        for (const Measure &measure : measures) {
            std::vector<double> values;
            for (const Sample &s : m_samples) {
                if (s.series == series)
                    values.push_back(measure.value(s.usage));
            }
            const soak::Judgement j = soak::judgeGrowth(values, measure.rule);
            std::printf("verdict  %-7s %-8s %10.1f -> %10.1f  (%zu samples)  %s\n", name,
                    measure.name, j.start, j.end, values.size(), soak::trendName(j.trend));
            flat = flat && j.trend != soak::Trend::Growing;
        }
    }
    return flat;
}

} // namespace

int main(int argc, char **argv)
{
    const std::optional<Options> options = parseOptions(argc, argv);
    if (!options) {
        std::fputs(UsageText, stderr);
        return 2;
    }
    if (options->help) {
        std::fputs(UsageText, stdout);
        return 0;
    }
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fputs("soak: needs an X display; run it as xvfb-run -s \"-screen 0 1920x1080x24\" "
                   "build/bin/soak, or after `source scripts/common.sh; start_xvfb`\n",
                stderr);
        return 2;
    }
    QCoreApplication app(argc, argv); // for QProcess

    const auto started = Clock::now();
    Soak soak(*options);
    const bool wentThrough = soak.run();
    const bool flat = soak.printVerdicts();
    std::printf("run time %.1f s\n", std::chrono::duration<double>(Clock::now() - started).count());
    if (!wentThrough)
        std::printf("soak: session failed\n");
    else
        std::printf("soak: %s\n", flat ? "every measure flat" : "a measure is growing");
    return wentThrough && flat ? 0 : 1;
}

// tandeo-unitsim: one conferencing unit on one address, for tests and the demo. See --help.

#include "cli_options.h"
#include "profile_writer.h"
#include "unit_sim.h"
#include "unitsim_log.h"
#include "viewer_window.h"

#include <QApplication>
#include <QCoreApplication>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

std::atomic<bool> stopAsked{ false };

void onSignal(int)
{
    stopAsked = true;
}

bool displayAvailable()
{
    return std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY")
            || std::getenv("QT_QPA_PLATFORM");
}

// --write-profile: the profile database of a demo home, and nothing else.
int writeProfile(const unitsim::CommandLine &cl, int &argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::optional<std::string> error = unitsim::writeProfileDatabase(
            cl.writeProfile, cl.profileTitle, cl.options.address, cl.options.accessCode);
    if (error) {
        std::fprintf(stderr, "tandeo-unitsim: %s\n", error->c_str());
        return 1;
    }
    std::fprintf(stderr, "tandeo-unitsim: wrote profile \"%s\" -> %s into %s\n",
            cl.profileTitle.c_str(), cl.options.address.c_str(), cl.writeProfile.c_str());
    return 0;
}

// SIGINT and SIGTERM end the run with its summary; a client that went away raises no SIGPIPE.
void catchSignals()
{
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    const unitsim::CommandLine cl = unitsim::parseCommandLine(args);
    if (cl.help) {
        std::fputs(unitsim::helpText().c_str(), stdout);
        return 0;
    }
    if (cl.error) {
        std::fprintf(stderr, "tandeo-unitsim: %s (see --help)\n", cl.error->c_str());
        return 2;
    }

    if (!cl.writeProfile.empty())
        return writeProfile(cl, argc, argv);
    catchSignals();

    unitsim::UnitSim unit(cl.options);
    if (std::optional<std::string> error = unit.start()) {
        std::fprintf(stderr, "tandeo-unitsim: %s\n", error->c_str());
        return 1;
    }
    const unitsim::Options &o = cl.options;
    std::fprintf(stderr,
            "tandeo-unitsim: %s unit on %s (http %u, control %u, rtp %u), access code \"%s\", "
            "session \"%s\"\n",
            o.family == unitsim::Family::Qmt ? "QMT" : "ZMT", o.address.c_str(),
            unsigned(o.httpPort), unsigned(o.controlPort), unsigned(o.rtpPort),
            o.accessCode.c_str(), o.sessionId.c_str());

    const auto started = std::chrono::steady_clock::now();
    auto shouldExit = [&] {
        if (stopAsked)
            return true;
        if (cl.exitAfterFrames > 0 && unit.counters().framesValid >= cl.exitAfterFrames)
            return true;
        return cl.runForMs >= 0
                && std::chrono::steady_clock::now() - started
                >= std::chrono::milliseconds(cl.runForMs);
    };

    bool viewer = o.viewer;
    if (viewer && !displayAvailable()) {
        std::fprintf(stderr, "tandeo-unitsim: no display, running without the viewer\n");
        viewer = false;
    }
    if (viewer) {
        QApplication app(argc, argv);
        unitsim::ViewerWindow window(unit);
        window.show();
        QTimer exitCheck;
        QObject::connect(&exitCheck, &QTimer::timeout, [&] {
            if (shouldExit())
                app.quit();
        });
        exitCheck.start(50);
        app.exec();
        qCDebug(lcUnitsim) << "viewer closed";
    } else {
        while (!shouldExit())
            unit.waitFor([&](const unitsim::UnitSim &) { return shouldExit(); },
                    std::chrono::milliseconds(200));
    }
    unit.stop();
    if (!cl.quiet)
        std::fputs(unit.summary().c_str(), stdout);
    return 0;
}

#include "command_line.h"
#include "font_substitutes.h"
#include "log_defaults.h"
#include "mainwindow.h"
#include "single_instance.h"
#include "termination_signals.h"

#include <QApplication>
#include <QStringList>

#include <cstdio>
#include <cstring>

namespace {

constexpr char HelpText[] = R"(Usage: tandeo-desktop [--show-pointer] [--help | --version]

Shows this computer's screen on a conferencing unit in the same local network. Keep connection
profiles (a title, the unit's IPv4 address and its access code), log in to a unit, press Share.

      --show-pointer  draw the mouse pointer into the shared picture (X11 desktop, Wayland)
  -h, --help          print this text and exit
  -v, --version       print the version and exit

The standard Qt options (-display, -platform, -style, ...) are taken as well.
Profiles are kept in ~/database.dat. Debug output: QT_LOGGING_RULES="tandeo.*.debug=true".
)";

bool isOption(const char *arg, const char *shortName, const char *longName)
{
    return std::strcmp(arg, shortName) == 0 || std::strcmp(arg, longName) == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    // Answered before the application object exists, so they need no display.
    for (int i = 1; i < argc; ++i) {
        if (isOption(argv[i], "-h", "--help")) {
            std::fputs(HelpText, stdout);
            return 0;
        }
        if (isOption(argv[i], "-v", "--version")) {
            std::printf("tandeo-desktop %s\n", TANDEO_VERSION);
            return 0;
        }
    }
    if (const auto unknown = commandline::firstUnknownArgument(argc, argv)) {
        std::fprintf(
                stderr, "tandeo-desktop: unknown argument \"%s\" (see --help)\n", unknown->c_str());
        return 2;
    }

    // Before Qt starts any thread, so the signals reach only the event loop's descriptor.
    TerminationSignals::blockInAllThreads();
    TerminationSignals::ignoreBrokenPipes();
    installLogDefaults();
    QApplication app(argc, argv);
    // The application object has taken the Qt options; our own come next, anything left is a
    // mistake.
    QStringList rest = app.arguments().mid(1);
    capture::SourceOptions shareOptions;
    shareOptions.showPointer = rest.removeAll(QStringLiteral("--show-pointer")) > 0;
    if (!rest.isEmpty()) {
        std::fprintf(stderr, "tandeo-desktop: unknown argument \"%s\" (see --help)\n",
                qPrintable(rest.first()));
        return 2;
    }
    if (const std::optional<int> status = instance::handOverToRunning())
        return *status;
    fonts::installFontSubstitutes();
    // Watched before the window is built: its construction can wait for the user on a box (a
    // profile file that cannot be opened), and the end of the desktop session must not.
    TerminationSignals termination;
    bool endedWhileStarting = false;
    const QMetaObject::Connection whileStarting =
            QObject::connect(&termination, &TerminationSignals::received, [&] {
                endedWhileStarting = true;
                QCoreApplication::exit(0); // leaves the box's loop; later boxes do not wait
            });
    MainWindow window;
    QObject::disconnect(whileStarting);
    if (endedWhileStarting)
        return 0;
    window.setShareOptions(shareOptions);
    QObject::connect(&termination, &TerminationSignals::received, &window,
            [&window](int signalNumber) { window.endOnSignal(signalNumber); });
    window.show();
    return app.exec();
}

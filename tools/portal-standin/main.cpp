// tandeo-portal-standin: a stand-in for the desktop's screen-cast portal back-end, for tests.
// It owns org.freedesktop.portal.Desktop on the session bus and answers the screen-cast
// portal's calls itself, without a chooser or a compositor behind it; what it shares is a real
// PipeWire Video/Source node showing a known picture (standin_picture.h). Only the portal's
// back-end is stood in: the D-Bus calls, the PipeWire stream and its buffers are real.

#include "portal_types.h"
#include "screencast_portal.h"
#include "standin_picture.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <optional>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

const QString PortalBusName = QStringLiteral("org.freedesktop.portal.Desktop");

struct Invocation
{
    standin::PortalSettings settings;
    QString recordPath;
    QString tokenStorePath;
    bool replace = false;
};

std::optional<Invocation> parseArguments(const QCoreApplication &app, QString *error)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
            QStringLiteral("Stand-in screen-cast portal back-end over real PipeWire, for tests."));
    parser.addHelpOption();
    const QCommandLineOption answer(QStringLiteral("answer"),
            QStringLiteral("How the user answers every Start: grant or cancel."),
            QStringLiteral("grant|cancel"), QStringLiteral("grant"));
    const QCommandLineOption sourceTypes(QStringLiteral("source-types"),
            QStringLiteral("AvailableSourceTypes: 1 monitors, 3 monitors and windows."),
            QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption cursorModes(QStringLiteral("cursor-modes"),
            QStringLiteral("AvailableCursorModes: 1 hidden, 2 embedded (4 is not offered)."),
            QStringLiteral("N"), QStringLiteral("3"));
    const QCommandLineOption size(QStringLiteral("size"),
            QStringLiteral("The shared picture's size."), QStringLiteral("WxH"),
            QStringLiteral("%1x%2").arg(standin::DefaultWidth).arg(standin::DefaultHeight));
    const QCommandLineOption record(QStringLiteral("record"),
            QStringLiteral("Append one line per event to FILE."), QStringLiteral("FILE"));
    const QCommandLineOption tokenStore(QStringLiteral("token-store"),
            QStringLiteral("Keep restore tokens in FILE across runs."), QStringLiteral("FILE"));
    const QCommandLineOption picture(QStringLiteral("picture"),
            QStringLiteral("Show this image (read when a cast starts, scaled to the size) instead "
                           "of the quadrants; for demonstrations."),
            QStringLiteral("FILE"));
    const QCommandLineOption removeAfter(QStringLiteral("remove-node-after-frames"),
            QStringLiteral("Remove each node after it sent N frames."), QStringLiteral("N"));
    const QCommandLineOption answerAfter(QStringLiteral("answer-after"),
            QStringLiteral("The user answers every Start after MS milliseconds."),
            QStringLiteral("MS"), QStringLiteral("0"));
    const QCommandLineOption replace(QStringLiteral("replace"),
            QStringLiteral("Take the portal's bus name over from a running stand-in."));
    parser.addOptions({ answer, sourceTypes, cursorModes, size, record, tokenStore, removeAfter,
            replace, picture, answerAfter });
    parser.process(app);

    Invocation invocation;
    standin::PortalSettings &settings = invocation.settings;
    if (parser.value(answer) == QLatin1String("cancel"))
        settings.answer = standin::Answer::Cancel;
    else if (parser.value(answer) != QLatin1String("grant")) {
        *error = QStringLiteral("--answer takes grant or cancel");
        return std::nullopt;
    }
    bool ok = false;
    settings.sourceTypes = parser.value(sourceTypes).toUInt(&ok);
    if (!ok || settings.sourceTypes == 0 || settings.sourceTypes > 3) {
        *error = QStringLiteral("--source-types takes 1, 2 or 3");
        return std::nullopt;
    }
    settings.cursorModes = parser.value(cursorModes).toUInt(&ok);
    if (!ok || settings.cursorModes == 0 || settings.cursorModes > 3) {
        *error = QStringLiteral("--cursor-modes takes 1, 2 or 3");
        return std::nullopt;
    }
    const QStringList sides = parser.value(size).split(u'x');
    bool widthOk = false;
    bool heightOk = false;
    if (sides.size() == 2) {
        settings.width = sides[0].toInt(&widthOk);
        settings.height = sides[1].toInt(&heightOk);
    }
    if (!widthOk || !heightOk || settings.width < standin::MinimumSide
            || settings.height < standin::MinimumSide || settings.width > 8192
            || settings.height > 8192) {
        *error = QStringLiteral("--size takes WxH, each side from %1 to 8192")
                         .arg(standin::MinimumSide);
        return std::nullopt;
    }
    if (parser.isSet(removeAfter)) {
        settings.removeNodeAfterFrames = parser.value(removeAfter).toInt(&ok);
        if (!ok || settings.removeNodeAfterFrames < 1) {
            *error = QStringLiteral("--remove-node-after-frames takes a positive count");
            return std::nullopt;
        }
    }
    settings.answerAfterMs = parser.value(answerAfter).toInt(&ok);
    if (!ok || settings.answerAfterMs < 0) {
        *error = QStringLiteral("--answer-after takes milliseconds");
        return std::nullopt;
    }
    settings.pictureFile = parser.value(picture);
    invocation.recordPath = parser.value(record);
    invocation.tokenStorePath = parser.value(tokenStore);
    invocation.replace = parser.isSet(replace);
    return invocation;
}

// SIGUSR1 removes the nodes (like RemoveNode on the bus); SIGTERM, SIGINT and SIGHUP end the
// program through the event loop, so the nodes leave the graph cleanly. Read from a signalfd.
int watchSignals()
{
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signal : { SIGUSR1, SIGTERM, SIGINT, SIGHUP })
        sigaddset(&blocked, signal);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    return signalfd(-1, &blocked, SFD_CLOEXEC | SFD_NONBLOCK);
}

int fail(const QString &message)
{
    std::fprintf(stderr, "tandeo-portal-standin: %s\n", qPrintable(message));
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    // Before any thread starts, so every thread keeps these signals blocked.
    const int signalFd = watchSignals();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tandeo-portal-standin"));
    QString error;
    const std::optional<Invocation> invocation = parseArguments(app, &error);
    if (!invocation)
        return fail(error);

    standin::EventRecord record;
    if (!invocation->recordPath.isEmpty() && !record.open(invocation->recordPath))
        return fail(QStringLiteral("cannot open %1").arg(invocation->recordPath));
    standin::TokenStore tokens;
    if (!tokens.load(invocation->tokenStorePath, &error))
        return fail(error);
    const std::unique_ptr<standin::PipeWireConnection> pipeWire =
            standin::PipeWireConnection::open(&error);
    if (!pipeWire)
        return fail(error);

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return fail(QStringLiteral("no session bus: %1").arg(bus.lastError().message()));
    standin::registerPortalTypes();
    standin::ScreenCastPortal portal(bus, *pipeWire, invocation->settings, record, tokens);
    if (!portal.registerObjects(&error))
        return fail(error);

    QSocketNotifier signalNotifier(signalFd, QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &portal, [&] {
        signalfd_siginfo info{};
        while (::read(signalFd, &info, sizeof(info)) == sizeof(info)) {
            if (info.ssi_signo == SIGUSR1)
                portal.removeNodes();
            else
                QCoreApplication::quit();
        }
    });

    // The name comes last, once everything answers; a stand-in that loses it to a replacement
    // leaves.
    QDBusConnectionInterface *busInterface = bus.interface();
    QObject::connect(busInterface, &QDBusConnectionInterface::serviceUnregistered, &app,
            [](const QString &name) {
                if (name == PortalBusName)
                    QCoreApplication::quit();
            });
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> registered =
            busInterface->registerService(PortalBusName,
                    invocation->replace ? QDBusConnectionInterface::ReplaceExistingService
                                        : QDBusConnectionInterface::DontQueueService,
                    QDBusConnectionInterface::AllowReplacement);
    if (!registered.isValid() || registered.value() != QDBusConnectionInterface::ServiceRegistered)
        return fail(QStringLiteral("cannot own %1").arg(PortalBusName));

    const int status = app.exec();
    portal.closeAllSessions();
    return status;
}

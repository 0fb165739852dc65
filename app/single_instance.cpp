#include "single_instance.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QLoggingCategory>
#include <QWidget>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcInstance, "tandeo.instance")

namespace instance {

namespace {

constexpr char RaiseRequest[] = "raise\n";
constexpr char RaiseAnswer[] = "raised\n";
constexpr int ConnectTimeoutMs = 1000;
constexpr int AnswerTimeoutMs = 5000;
constexpr int LockTimeoutMs = 5000;

// XDG_RUNTIME_DIR, or a folder of our own in the temporary folder: the socket is not to be
// reached or replaced by other users.
QString runtimeDir()
{
    const QString xdg = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!xdg.isEmpty() && QFileInfo(xdg).isDir())
        return xdg;
    const QString dir = QDir::tempPath() + "/tandeo-desktop-" + QString::number(::getuid());
    const QByteArray path = QFile::encodeName(dir);
    ::mkdir(path.constData(), 0700);
    struct stat info;
    if (::lstat(path.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid()
            || (info.st_mode & 077) != 0)
        return QString();
    return dir;
}

void raiseWindows()
{
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (!window->isVisible())
            continue;
        window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
        window->raise();
        window->activateWindow();
    }
    // A dialog open over the window stays on top of it.
    if (QWidget *modal = QApplication::activeModalWidget()) {
        modal->raise();
        modal->activateWindow();
    }
}

void answer(QLocalSocket *socket)
{
    if (!socket->canReadLine())
        return;
    if (socket->readLine() == RaiseRequest) {
        qCDebug(lcInstance) << "another start: raising the window";
        raiseWindows();
        socket->write(RaiseAnswer);
        socket->flush();
    }
    socket->disconnectFromServer();
}

void serve(QLocalServer *server)
{
    QObject::connect(server, &QLocalServer::newConnection, server, [server] {
        while (QLocalSocket *socket = server->nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(
                    socket, &QLocalSocket::readyRead, socket, [socket] { answer(socket); });
            answer(socket);
        }
    });
}

} // namespace

QString serverPath(const QString &runtimeDir, const QString &home)
{
    const QString canonical = QDir(home).canonicalPath();
    const QByteArray key = QFile::encodeName(canonical.isEmpty() ? home : canonical);
    const QByteArray hash = QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex();
    return runtimeDir + "/tandeo-desktop-" + QString::fromLatin1(hash.left(16)) + ".socket";
}

std::optional<int> handOverToRunning()
{
    const QString dir = runtimeDir();
    if (dir.isEmpty()) {
        qCWarning(lcInstance) << "no private runtime folder: a second start is not noticed";
        return std::nullopt;
    }
    const QString path = serverPath(dir, QDir::homePath());
    // Two starts at once: the second waits until the first listens, then finds it.
    QLockFile lock(path + ".lock");
    if (!lock.tryLock(LockTimeoutMs))
        qCWarning(lcInstance) << "cannot lock" << lock.fileName() << "; going on";

    QLocalSocket socket;
    socket.connectToServer(path);
    if (socket.waitForConnected(ConnectTimeoutMs)) {
        socket.write(RaiseRequest);
        socket.flush();
        while (!socket.canReadLine() && socket.waitForReadyRead(AnswerTimeoutMs)) { }
        if (socket.canReadLine() && socket.readLine() == RaiseAnswer) {
            qCDebug(lcInstance) << "raised the running program's window";
            return 0;
        }
        std::fprintf(stderr,
                "tandeo-desktop: another one runs for this user but does not "
                "answer\n");
        return 1;
    }

    // Nobody listens: what is there was left by a program that ended without closing it.
    QLocalServer::removeServer(path);
    auto *server = new QLocalServer(qApp);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(path)) {
        qCWarning(lcInstance) << "cannot listen on" << path << ":" << server->errorString();
        delete server;
        return std::nullopt;
    }
    serve(server);
    qCDebug(lcInstance) << "the one program of this user, on" << path;
    return std::nullopt;
}

} // namespace instance

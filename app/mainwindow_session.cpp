// The unit command session: login with family detection, reply handling, keep-alive, firmware
// check, logout. The documents, URLs and reply readers are in unitcmd/; this file sends them on
// the window's four network channels and takes the decisions. GUI thread only.

#include "command_documents.h"
#include "command_url.h"
#include "control_channel.h"
#include "desktop_capture.h"
#include "firmware_rules.h"
#include "flow_timings.h"
#include "mainwindow.h"
#include "mainwindow_state.h"
#include "profile_store.h"
#include "reply_limit.h"
#include "reply_readers.h"
#include "ui_mainwindow.h"
#include "unit_channel.h"
#include "unitcmd_log.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostInfo>
#include <QMutexLocker>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

using unitcmd::Family;
using unitcmd::SessionCommand;

namespace {

int httpStatus(QNetworkReply *reply)
{
    // 0 when no HTTP answer came (refused connection, unreachable host).
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

// Sends one command. Every reply is released once it has been delivered (after the reply slots
// ran), including the replies that reach no slot. A reply whose body grows past the bound of a
// command reply is cut off and delivered as one without an HTTP answer.
void sendCommand(QNetworkAccessManager *manager, const QUrl &url)
{
    QNetworkRequest request(url);
    // A 3xx is an answer like any other status: the unit's command server is asked, nothing is
    // requested at the place it points to.
    request.setAttribute(
            QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply *reply = manager->get(request);
    unitcmd::limitReplyBody(reply);
    QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
}

// The URL of a command of the current session.
unitcmd::CommandUrl sessionUrl(Family family, SessionCommand command)
{
    return unitcmd::commandUrl(
            family, strIP, unitcmd::sessionDocument(family, command, strDevice, strSessionID));
}

// A channel of an earlier login attempt or session: its late replies must reach no slot, since
// they would be taken for the new attempt's. It is freed once the replies it still carries
// (a logout request on its way, for one) are done, so nothing on the wire is cut short.
void retireChannel(QObject *receiver, QNetworkAccessManager *&manager)
{
    if (!manager)
        return;
    QNetworkAccessManager *old = std::exchange(manager, nullptr);
    QObject::disconnect(old, nullptr, receiver, nullptr);
    const auto freeWhenIdle = [old] {
        const auto busy = old->findChildren<QNetworkReply *>(Qt::FindDirectChildrenOnly);
        for (QNetworkReply *reply : busy) {
            if (reply->isRunning())
                return;
        }
        old->deleteLater();
    };
    QObject::connect(
            old, &QNetworkAccessManager::finished, old, freeWhenIdle, Qt::QueuedConnection);
    freeWhenIdle();
}

// What the two login requests of the attempt in progress have come to. Both go out together;
// a ZMT unit answers the QMT path with 404, often before its own reply, so that 404 only means
// "no unit here" once the ZMT request has finished without a login as well.
struct LoginPaths
{
    bool qmtNotFound = false;
    bool zmtFailed = false; // finished with any status but 200, or with no HTTP answer
};
LoginPaths loginPaths;

// The sentence for a login the unit refused with this code; empty for a code that refuses
// nothing. "100" is the ZMT unit's word for a wrong access code; a QMT unit says so by
// leaving the session id out.
QString refusalText(const QString &code)
{
    if (code == QLatin1String("104"))
        return "System cannot be accessed";
    if (code == QLatin1String("103"))
        return "Too many users";
    if (code == QLatin1String("100"))
        return "Connection password incorrect";
    return QString();
}

void setLoginPending(bool pending)
{
    QMutexLocker lock(&finishMutex);
    b_finish_ret = pending;
}

// The session items that accepting a login starts, handed in by the reply slot of the family.
struct SessionStart
{
    QNetworkAccessManager *&firmwareChannel;
    QTimer *&triggerStopTimer;
    bool &ctrlConnected;
    bool &fwCheckPending;
};

} // namespace

void MainWindow::on_BtnLogin_clicked()
{
    const QModelIndexList selected = ui->listViewProfile->selectionModel()
            ? ui->listViewProfile->selectionModel()->selectedIndexes()
            : QModelIndexList();
    if (selected.isEmpty()) {
        showInfo("Warning", "Please select a profile to log in");
        return;
    }
    QString id;
    if (const QAbstractItemModel *ids = ui->listViewForID->model()) {
        for (const QModelIndex &index : selected)
            id = profiles::profileIdAt(*ids, index.row());
    }

    const profiles::ReadResult read = profiles::readProfile(id);
    if (!read.opened) {
        showDatabaseError(read.openError);
        return;
    }
    QString title;
    QString accessCode;
    if (read.profile) {
        title = read.profile->title;
        strIP = read.profile->ip;
        accessCode = read.profile->pw;
    }
    accessCode = unitcmd::escapeAccessCode(accessCode);
    if (title.isEmpty() || strIP.isEmpty()) {
        showInfo("Warning", "This profile does not exist");
        loadProfileList();
        return;
    }

    // A new attempt gets new channels; those of the last attempt or session fall silent, and
    // so does the firmware channel of the last session, whose verdict no longer applies.
    retireChannel(this, qmtManager);
    retireChannel(this, zmtManager);
    retireChannel(this, qmtFwManager);
    retireChannel(this, zmtFwManager);
    qmtManager = unitcmd::newUnitChannel(this);
    zmtManager = unitcmd::newUnitChannel(this);
    connect(qmtManager, &QNetworkAccessManager::finished, this, &MainWindow::finished);
    connect(zmtManager, &QNetworkAccessManager::finished, this, &MainWindow::finishedForZMT);

    strDevice = QHostInfo::localHostName();

    const unitcmd::CommandUrl qmtLogin = unitcmd::loginUrl(
            Family::Qmt, strIP, unitcmd::loginDocument(Family::Qmt, strDevice, accessCode));
    sendCommand(qmtManager, qmtLogin.url);
    const unitcmd::CommandUrl zmtLogin = unitcmd::loginUrl(
            Family::Zmt, strIP, unitcmd::loginDocument(Family::Zmt, strDevice, accessCode));
    qCDebug(lcUnitCmd) << zmtLogin.text;
    sendCommand(zmtManager, zmtLogin.url);

    b_loginDone = false;
    loginPaths = {};
    beginLoginWait();
    loginTimeoutTimer->start(timings.loginTimeoutMs);
    b_finish_ret = true;
}

namespace {

// Accepting a login of either family: the firmware request, the share page, the session's
// timers and the share flow's start values.
void acceptLogin(MainWindow *window, Family family, const SessionStart &start)
{
    retireChannel(window, start.firmwareChannel);
    start.firmwareChannel = unitcmd::newUnitChannel(window);
    if (family == Family::Qmt)
        QObject::connect(start.firmwareChannel, &QNetworkAccessManager::finished, window,
                &MainWindow::finishedFWVersion);
    else
        QObject::connect(start.firmwareChannel, &QNetworkAccessManager::finished, window,
                &MainWindow::finishedFWVersionZMT);
    sendCommand(start.firmwareChannel, sessionUrl(family, SessionCommand::Firmware).url);

    window->hideLoginPage();
    window->showSharePage();

    // A timer of an earlier session that was not logged out goes; one keep-alive at a time.
    if (keepAliveTimer) {
        keepAliveTimer->stop();
        keepAliveTimer->deleteLater();
    }
    keepAliveTimer = new QTimer(window);
    QObject::connect(keepAliveTimer, &QTimer::timeout, window, &MainWindow::SendKeepAlive);
    keepAliveTimer->start(window->flowTimings().keepAliveMs);

    b_loginDone = true;
    keepAliveMissCount = 0;
    start.ctrlConnected = false;
    b_ctrlReady = false;
    b_ctrlWait = true;
    b_triggerBtnStop = false;

    if (start.triggerStopTimer) {
        start.triggerStopTimer->stop();
        start.triggerStopTimer->deleteLater();
    }
    start.triggerStopTimer = new QTimer(window);
    QObject::connect(start.triggerStopTimer, &QTimer::timeout, window, &MainWindow::triggerBtnStop);
    start.triggerStopTimer->start(window->flowTimings().flagSafetyNetMs);

    start.fwCheckPending = true;
}

} // namespace

void MainWindow::finished(QNetworkReply *reply)
{
    const int status = httpStatus(reply);
    qCDebug(lcUnitCmd) << "QMT statusCodeV.toInt() = " << status;

    if (b_loginDone) {
        // Keep-alive replies, and a late reply to the other family's login, end here. Only an
        // HTTP answer shows that the unit is still there.
        if (status != 0)
            keepAliveMissCount = 0;
        return;
    }

    if (status == 404) {
        loginPaths.qmtNotFound = true;
        if (loginPaths.zmtFailed)
            reportNoUnit();
        return;
    }

    {
        QMutexLocker lock(&finishMutex);
        qCDebug(lcUnitCmd) << "QMT b_finish_ret setting FALSE";
        b_finish_ret = false;
    }
    if (status != 200)
        return;

    qCDebug(lcUnitCmd) << "QMT 200 OK";
    b_zmtFamily = false;
    endLoginWait();

    const unitcmd::QmtLoginReply login =
            unitcmd::readQmtLoginReply(unitcmd::takeReplyBody(reply).value_or(QByteArray()));
    strSessionID = login.session;
    strErrorCode = login.code;

    if (strErrorCode == QLatin1String("104") || strErrorCode == QLatin1String("103")) {
        const QString refusal = refusalText(std::exchange(strErrorCode, QString()));
        showInfo("Warning", refusal);
    } else if (!strSessionID.isEmpty()) {
        acceptLogin(this, Family::Qmt,
                { qmtFwManager, triggerStopTimer, b_ctrlConnected, b_fwCheckPending });
    } else {
        strErrorCode.clear();
        showInfo("Warning", refusalText("100"));
    }
}

void MainWindow::finishedForZMT(QNetworkReply *reply)
{
    const int status = httpStatus(reply);
    if (b_loginDone) {
        if (status != 0)
            keepAliveMissCount = 0;
        return;
    }
    qCDebug(lcUnitCmd) << "ZMT statusCodeV.toInt() = " << status;

    if (status == 404) {
        // The ZMT path of a QMT unit: the QMT reply decides.
        if (b_finish_ret) {
            qCDebug(lcUnitCmd) << "ZMT b_finish_ret = FALSE";
            QMutexLocker lock(&finishMutex);
            qCDebug(lcUnitCmd) << "ZMT b_finish_ret setting FALSE";
            b_finish_ret = false;
        }
        qCDebug(lcUnitCmd) << "ZMT 404 return";
        loginPaths.zmtFailed = true;
        if (loginPaths.qmtNotFound)
            reportNoUnit();
        return;
    }

    setLoginPending(false);
    if (status != 200) {
        loginPaths.zmtFailed = true;
        if (loginPaths.qmtNotFound)
            reportNoUnit();
        return;
    }

    qCDebug(lcUnitCmd) << "ZMT 200 OK";
    b_zmtFamily = true;
    endLoginWait();

    const unitcmd::ZmtLoginReply login =
            unitcmd::readZmtLoginReply(unitcmd::takeReplyBody(reply).value_or(QByteArray()));
    qCDebug(lcUnitCmd) << "strReply =>" << login.text;
    qCDebug(lcUnitCmd) << "sessionIdx = " << login.sessionIndex;
    if (login.session) {
        qCDebug(lcUnitCmd) << *login.session;
        strSessionID = *login.session;
    }
    if (login.errorCode) {
        const QString rule(26, QLatin1Char('='));
        qCDebug(lcUnitCmd).noquote() << rule << login.errnoIndex;
        for (const QChar c : *login.errorCode)
            qCDebug(lcUnitCmd) << int(c.unicode());
        qCDebug(lcUnitCmd).noquote() << rule;
        for (const QChar c : *login.errorCode)
            qCDebug(lcUnitCmd) << c;
        qCDebug(lcUnitCmd).noquote() << rule;
        qCDebug(lcUnitCmd) << *login.errorCode;
        qCDebug(lcUnitCmd).noquote() << rule;
        strErrorCode = *login.errorCode;
    }

    if (const QString refusal = refusalText(strErrorCode); !refusal.isEmpty()) {
        if (strErrorCode == QLatin1String("100"))
            strSessionID.clear();
        showInfo("Warning", refusal);
        strErrorCode.clear();
    } else {
        acceptLogin(this, Family::Zmt,
                { zmtFwManager, triggerStopTimer, b_ctrlConnected, b_fwCheckPending });
    }
}

void MainWindow::reportNoUnit()
{
    // Only while the login is still awaited: a box or an acceptance has already decided it.
    if (!loginTimeoutTimer->isActive())
        return;
    setLoginPending(false);
    endLoginWait();
    qCDebug(lcUnitCmd) << "QMT 404 return";
    showInfo("Warning", "Remote system cannot be accessed");
}

void MainWindow::slotTimeout()
{
    // The outstanding requests stay: a reply that comes later is still handled.
    endLoginWait();
    showInfo("Warning", "Remote system cannot be accessed");
}

void MainWindow::slotError(QNetworkReply::NetworkError code)
{
    if (code == QNetworkReply::HostNotFoundError) {
        endLoginWait();
        showInfo("Warning", "Invalid IP address");
    } else if (code == QNetworkReply::TimeoutError) {
        endLoginWait();
        showInfo("Warning", "Time out");
    }
}

void MainWindow::SendKeepAlive()
{
    QNetworkAccessManager *channel = b_zmtFamily ? zmtManager : qmtManager;
    if (channel) {
        const unitcmd::CommandUrl url =
                sessionUrl(b_zmtFamily ? Family::Zmt : Family::Qmt, SessionCommand::KeepAlive);
        qCDebug(lcUnitCmd) << (b_zmtFamily ? "ZMT keepalive" : "QMT keepalive") << url.text;
        sendCommand(channel, url.url);
    }

    // Replies on the command channels reset the count; the third tick without one logs out.
    ++keepAliveMissCount;
    if (keepAliveMissCount > 2) {
        qCDebug(lcUnitCmd) << "Need Log Out!!!!!!";
        keepAliveMissCount = 0;
        on_BtnLogout_clicked();
    }
}

namespace {

// Returns true when the session must end: the verdict is shown every time, the logout happens
// once per login.
bool firmwareNotSupported(MainWindow *window, bool &fwCheckPending)
{
    window->showInfo("Warning", "Not support content sharing");
    if (!fwCheckPending)
        return false;
    fwCheckPending = false;
    return true;
}

} // namespace

void MainWindow::finishedFWVersion(QNetworkReply *reply)
{
    const std::optional<QString> version =
            unitcmd::readQmtFirmwareVersion(unitcmd::takeReplyBody(reply).value_or(QByteArray()));
    if (!version)
        return;
    if (!unitcmd::qmtFirmwareSupported(*version) && firmwareNotSupported(this, b_fwCheckPending))
        on_BtnLogout_clicked();
}

void MainWindow::finishedFWVersionZMT(QNetworkReply *reply)
{
    const std::optional<QString> window =
            unitcmd::readZmtFirmwareWindow(unitcmd::takeReplyBody(reply).value_or(QByteArray()));
    if (!window)
        return;
    qCDebug(lcUnitCmd) << "1 Main " << *window;
    qCDebug(lcUnitCmd) << "1 Child " << *window;
    const unitcmd::ZmtFirmwareNumbers numbers = unitcmd::zmtFirmwareNumbers(*window);
    qCDebug(lcUnitCmd) << "2 Main " << numbers.mainText;
    qCDebug(lcUnitCmd) << "2 Child " << numbers.childText;
    if (!unitcmd::zmtFirmwareSupported(*window) && firmwareNotSupported(this, b_fwCheckPending))
        on_BtnLogout_clicked();
}

void MainWindow::endOnSignal(int signalNumber)
{
    static bool ending = false;
    qCDebug(lcUnitCmd) << "asked to end by signal" << signalNumber;
    if (ending || !b_loggedIn) {
        QCoreApplication::exit(0);
        return;
    }
    ending = true;
    on_BtnLogout_clicked();

    // The logout request gets a short time on the wire; a unit that does not answer it does
    // not hold up the end.
    const auto requestsInFlight = [this] {
        const auto replies = findChildren<QNetworkReply *>();
        return std::any_of(replies.begin(), replies.end(),
                [](const QNetworkReply *reply) { return reply->isRunning(); });
    };
    QEventLoop loop;
    QElapsedTimer waited;
    waited.start();
    QTimer poll;
    connect(&poll, &QTimer::timeout, &loop, [&] {
        if (!requestsInFlight() || waited.elapsed() >= 2000)
            loop.quit();
    });
    poll.start(10);
    loop.exec();
    QCoreApplication::exit(0);
}

void MainWindow::on_BtnLogout_clicked()
{
    if (firstImgTimer->isActive()) {
        qCDebug(lcUnitCmd) << "In BTNlogout triger stop";
        on_BtnStop_clicked();
        // Gives the stop a moment on the wire before the goodbye.
        std::this_thread::sleep_for(std::chrono::milliseconds(timings.logoutStopPauseMs));
    }

    // The goodbye goes only over a connection that is still open, and only once: after it the
    // channel is closed, so a second logout (a late firmware verdict) has nothing to say.
    if (b_ctrlReady) {
        if (control::channelSocket() >= 0) {
            qCDebug(lcUnitCmd) << "Send DISCONNECT!!!!!!!!";
            control::sendDisconnect(strSessionID.toUtf8().constData());
        }
        b_ctrlReady = false;
    }
    // A connection the unit never answered is not left open either.
    if (const int socket = control::channelSocket(); socket >= 0)
        control::closeChannel(socket);

    b_enableBtnShare = true;
    enableBtnShare();

    if (keepAliveTimer)
        keepAliveTimer->stop();
    keepAliveMissCount = 0;

    if (qmtManager)
        disconnect(qmtManager, &QNetworkAccessManager::finished, this, &MainWindow::finished);
    if (zmtManager)
        disconnect(zmtManager, &QNetworkAccessManager::finished, this, &MainWindow::finishedForZMT);

    if (b_zmtFamily) {
        qCDebug(lcUnitCmd) << "ZMT Logout";
        const unitcmd::CommandUrl url = sessionUrl(Family::Zmt, SessionCommand::Logout);
        qCDebug(lcUnitCmd) << "ZMT Logout strURL " << url.text;
        if (zmtManager)
            sendCommand(zmtManager, url.url);
    } else {
        qCDebug(lcUnitCmd) << "QMT Logout";
        if (qmtManager)
            sendCommand(qmtManager, sessionUrl(Family::Qmt, SessionCommand::Logout).url);
    }
    b_zmtFamily = false;

    releaseFrameLink();
    // Nothing reaches the unit after the logout: a question still before the user is
    // withdrawn, and a screen or window the desktop granted is given back.
    withdrawSurfaceQuestion();
    dropSurface();

    hideSharePage();
    showLoginPage();
    ui->labelLoginStatus->hide();
    ui->labelShareStatus->hide();

    // The logout may run from one of these timers' own timeout, so they go once control is
    // back in the event loop; the references are cleared at once, so nothing goes twice.
    if (triggerStopTimer) {
        triggerStopTimer->stop();
        std::exchange(triggerStopTimer, nullptr)->deleteLater();
    }
    if (keepAliveTimer) {
        keepAliveTimer->stop();
        std::exchange(keepAliveTimer, nullptr)->deleteLater();
    }
}

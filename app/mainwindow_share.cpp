// The share flow: Share and Stop, the control channel callbacks and the polled flags.

#include "control_channel.h"
#include "flow_timings.h"
#include "mainwindow.h"
#include "mainwindow_state.h"
#include "picture_box.h"
#include "source_choice.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

Q_LOGGING_CATEGORY(lcShare, "tandeo.share")
Q_DECLARE_LOGGING_CATEGORY(lcUi)

namespace {

constexpr int ControlPort = 50000;

// The window whose frame slots the receive thread's wake-ups run. Read and written on the GUI
// thread only: the receive thread never sees it, it only queues a call to the application.
QPointer<MainWindow> frameWindow;

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Receive thread: runs one operation of the window on the GUI thread, through a queued call
// to the application (the window itself is looked up there). The flags stay the only data
// that crosses.
void queueOnWindow(void (MainWindow::*operation)())
{
    if (QCoreApplication *app = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(
                app,
                [operation] {
                    if (MainWindow *window = frameWindow)
                        (window->*operation)();
                },
                Qt::QueuedConnection);
    }
}

// Receive thread: the frame slots look at the flags now instead of at their next tick.
void wakeFrameSlots()
{
    queueOnWindow(&MainWindow::runRequestedFrames);
}

// Receive thread: the unit ended the control connection, by MSG_DISCONNECT or by going away.
void reportUnitLeft()
{
    queueOnWindow(&MainWindow::handleUnitLeft);
}

// Receive thread: outcomes reported by the unit. Only flags and debug lines.
void onControlNotify(int event, const unsigned char *data, int)
{
    qCDebug(lcShare).noquote() << QString::asprintf("!!!!!!!!!!!!!! Event ID: %d \n", event);
    switch (event) {
    case control::CONNECT_ACCEPT:
        b_ctrlReady = true;
        b_ctrlWait = true;
        break;
    case control::SHARE_ACCEPT:
        qCDebug(lcShare) << "SHARE_ACCEPT";
        b_shareAccept = true;
        break;
    case control::SHARE_REJECT: {
        qCDebug(lcShare) << "SHARE_REJECT";
        const unsigned char none[4] = {};
        const unsigned char *reason = data ? data : none;
        qCDebug(lcShare).noquote() << QString::asprintf("%d %d %d %d\n", int(qint8(reason[0])),
                int(qint8(reason[1])), int(qint8(reason[2])), int(qint8(reason[3])));
        b_shareReject = true;
        break;
    }
    case control::STOP_ACCEPT:
        b_enableBtnShare = true;
        queueOnWindow(&MainWindow::enableBtnShare);
        qCDebug(lcShare) << "STOP_ACCEPT";
        break;
    case control::NETWORK_FAIL:
        std::printf("Notification Event : NETWORK_FAIL\n");
        std::fflush(stdout);
        reportUnitLeft();
        break;
    case control::PEER_DISCONNECT:
        qCDebug(lcShare) << "PEER_DISCONNECT";
        reportUnitLeft();
        break;
    default:
        break;
    }
}

// Receive thread: the unit's own requests; every one is accepted.
int onControlRequest(int event, const void *, int)
{
    qCDebug(lcShare) << "request eventID = " << event;
    switch (event) {
    case control::REQUESTBYPEER_SHARE:
        qCDebug(lcShare) << "Request Share";
        b_requestShare = true;
        b_shareStopped = false;
        b_enableBtnStop = true;
        queueOnWindow(&MainWindow::enableBtnStop);
        wakeFrameSlots();
        break;
    case control::REQUESTBYPEER_STOP:
        qCDebug(lcShare) << "REQUESTBYPEER_STOP";
        b_shareStopped = true;
        qCDebug(lcShare) << "b_triggerBtnStop setting TRUE 333";
        b_triggerBtnStop = true;
        b_enableBtnStop = false;
        queueOnWindow(&MainWindow::triggerBtnStop);
        break;
    case control::REQUESTBYPEER_NEXT_FRAME:
        if (!b_shareStopped) {
            b_sendImg = true;
            wakeFrameSlots();
        }
        break;
    default:
        break;
    }
    return 0;
}

} // namespace

void MainWindow::showShareWarning(const QString &text)
{
    // The flow's own boxes: no parent, modal, one OK button.
    qCDebug(lcUi).noquote() << "box: Warning:" << text;
    QMessageBox box(QMessageBox::Warning, "Warning", text, QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.exec();
}

void MainWindow::establishConnect()
{
    control::registerCallbacks(onControlNotify, onControlRequest);
    control::startChannel();

    // The announced size comes from the very surface the frames are grabbed from.
    const QSize desktop = shareSurface ? shareSurface->size() : QSize();
    qCDebug(lcShare) << "establishConnect desktop_size width  = " << desktop.width();
    qCDebug(lcShare) << "establishConnect desktop_size height = " << desktop.height();
    const double ratio = desktop.height() > 0 ? double(desktop.width()) / desktop.height() : 0.0;
    qCDebug(lcShare) << "establishConnect desktop_ratio = " << ratio;

    // The size a grab of this desktop scales to; no picture is needed to know it.
    const QSize scaled = shareSurface ? shareSurface->announcedSize(b_zmtFamily) : QSize();
    announcedSize = scaled;
    qCDebug(lcShare) << "establishConnect scaled size width  = " << scaled.width();
    qCDebug(lcShare) << "establishConnect scaled size height = " << scaled.height();

    const control::ControlParams params =
            control::connectParams(quint16(scaled.width()), quint16(scaled.height()));
    const QByteArray session = strSessionID.toUtf8();
    control::connectChannel(strIP.toUtf8().constData(), ControlPort, params, session.constData(),
            timings.connectTimeoutS);
    qCDebug(lcShare) << "establish_connect status strSessionID.toUtf8() " << session;
}

void MainWindow::on_BtnShare_clicked()
{
    frameWindow = this;
    if (surfaceWait != SurfaceWait::None)
        return; // the desktop's dialog is up: its answer goes on with the share
    QString screenGone;
    if (ui->QRadioBtnDesktop->isChecked() && !applyMonitorChoice(&screenGone)) {
        showShareWarning(screenGone);
        return;
    }

    // On Wayland the desktop asks which screen to share before the unit hears of it, and its
    // dialog may stay up for minutes: the window goes on meanwhile, with Share disabled, and the
    // share goes on in surfaceReady(). A refusal leaves the session with the unit as it is.
    if (!surfaceForChoice()->prepare()) {
        surfaceWait = SurfaceWait::Share;
        ui->BtnShare->setEnabled(false);
        return;
    }
    shareWithSurface();
}

void MainWindow::shareWithSurface()
{
    if (!b_ctrlConnected) {
        establishConnect();
        qCDebug(lcShare) << "Share --- establishConnect";
        qCDebug(lcShare) << "Start count_for_estConnect = " << 0;
        for (int sleeps = 0; !b_ctrlReady;) {
            if (!b_ctrlWait) {
                showShareWarning("Only support JPEG");
                return;
            }
            sleepMs(timings.waitStepMs);
            if (b_ctrlReady)
                break;
            if (++sleeps >= timings.waitSteps) {
                showShareWarning("No response");
                on_BtnLogout_clicked();
                return;
            }
        }
        b_ctrlConnected = true;
    }

    b_requestShare = false;
    b_sendImg = false;
    // Another monitor, or a new resolution, is scaled into the size the unit was told.
    QSize target = shareSurface->frameTarget(b_zmtFamily);
    if (shareSurface->kind() != capture::ShareSurface::Kind::Window && !announcedSize.isEmpty())
        target = announcedSize;
    framePump->startShare(shareSurface.get(), target);
    firstImgTimer->start(timings.flagSafetyNetMs);
    sharedImgTimer->start(timings.flagSafetyNetMs);
    control::sendShare(strSessionID.toUtf8().constData());

    for (int sleeps = 0;; ++sleeps) {
        if (b_shareReject) {
            firstImgTimer->stop();
            sharedImgTimer->stop();
            showShareWarning("Rejected by remote side");
            releaseShareSource();
            b_shareReject = false;
            if (!b_shareAccept)
                return;
            break;
        }
        if (b_shareAccept)
            break;
        if (sleeps >= timings.waitSteps) {
            showShareWarning("No response");
            on_BtnLogout_clicked();
            if (!b_shareAccept)
                return;
            break;
        }
        sleepMs(timings.waitStepMs);
    }

    ui->BtnShare->setEnabled(false);
    ui->QRadioBtnApp->setEnabled(false);
    ui->QRadioBtnDesktop->setEnabled(false);
    sleepMs(timings.waitStepMs);
    if (ui->QRadioBtnApp->isChecked())
        ui->BtnSelectApp->setEnabled(false);

    if (ui->QRadioBtnDesktop->isChecked())
        shareMode = 0;
    if (ui->QRadioBtnApp->isChecked()) {
        shareMode = 1;
        if (shareSurface->kind() == capture::ShareSurface::Kind::Window) {
            // Only refreshes the chosen window's handle; the picture itself is not used.
            sharedPixmap = new QPixmap;
            grabSelectedWindow();
            delete sharedPixmap;
            sharedPixmap = nullptr;
        }
    }

    b_shareAccept = false;
    ui->labelShareStatus->show();
    shareFrameCount = 0;
    ui->labelShareStatus->setText("<font color='#F2F2F2'>Sharing</font>");

    // A presenter may not touch the computer for a long time: the desktop must not blank or
    // lock the screen the unit shows. (A share accepted after the timeout's logout is none.)
    if (b_loggedIn) {
        if (!idleInhibitor) {
            idleInhibitor = std::make_unique<platform::IdleInhibitor>(shareSurface->isPortal()
                            ? platform::IdleInhibitor::Route::Portal
                            : platform::IdleInhibitor::Route::ScreenSaver);
        }
        idleInhibitor->hold("Sharing the screen with a conference unit");
    }
}

void MainWindow::stopFrameTimers()
{
    // Nothing of a picture still leaving may follow the stop; one that left whole before it is
    // still reported, as every whole picture is.
    if (framePump->cancel())
        framePump->reportSent(strSessionID);
    if (firstImgTimer->isActive()) {
        firstImgTimer->stop();
        qCDebug(lcShare) << "stop timer";
    }
    if (sharedImgTimer->isActive()) {
        sharedImgTimer->stop();
        qCDebug(lcShare) << "stop timerC";
    }
    releaseShareSource();
}

void MainWindow::letScreenSleep()
{
    // After the stop's message: giving the inhibition back waits for the desktop, which may be
    // slow to answer, and the unit must not wait for that.
    if (idleInhibitor)
        idleInhibitor->release();
}

void MainWindow::restoreShareChoices()
{
    ui->BtnStop->setEnabled(false);
    ui->QRadioBtnApp->setEnabled(true);
    ui->QRadioBtnDesktop->setEnabled(true);
    if (ui->QRadioBtnApp->isChecked())
        ui->BtnSelectApp->setEnabled(true);
}

void MainWindow::on_BtnStop_clicked()
{
    stopFrameTimers();
    b_shareStopped = true;
    control::sendStop(strSessionID.toUtf8().constData());
    letScreenSleep();
    stopAnswerAwaited = true;
    sleepMs(timings.stopPauseMs);

    restoreShareChoices();
    ui->labelShareStatus->hide();
}

void MainWindow::handleUnitLeft()
{
    // The next Share opens a new control connection.
    b_ctrlReady = false;
    b_ctrlConnected = false;
    const bool sharing = firstImgTimer->isActive();
    // The answer to a Stop gives Share back; from a unit that is gone it never comes.
    const bool stopUnanswered = std::exchange(stopAnswerAwaited, false) && !b_enableBtnShare;
    if (!b_loggedIn || !(sharing || stopUnanswered))
        return;
    stopFrameTimers();
    letScreenSleep();
    b_shareStopped = true;
    b_requestShare = false;
    b_sendImg = false;
    ui->BtnShare->setEnabled(true);
    restoreShareChoices();
    ui->labelShareStatus->hide();
    showNotice("Warning", "The unit ended the connection.");
}

void MainWindow::triggerBtnStop()
{
    if (b_triggerBtnStop) {
        stopFrameTimers();
        letScreenSleep();
        b_shareStopped = true;
        sleepMs(timings.stopPauseMs);
        ui->BtnShare->setEnabled(true);
        sleepMs(timings.peerStopPauseMs);
        restoreShareChoices();
        ui->labelShareStatus->hide();
    }
    b_triggerBtnStop = false;
}

void MainWindow::enableBtnStop()
{
    if (b_enableBtnStop) {
        ui->BtnStop->setEnabled(true);
        b_enableBtnStop = false;
        qCDebug(lcShare) << "***------  enable button stop";
    }
}

// Frames: the surface a share shows and the slots that answer the unit's pulls.

#include "control_channel.h"
#include "frame_pump.h"
#include "mainwindow.h"
#include "mainwindow_state.h"
#include "source_choice.h"
#include "ui_mainwindow.h"

#include <QLoggingCategory>
#include <QMessageBox>
#include <QTimer>

Q_DECLARE_LOGGING_CATEGORY(lcShare)

namespace {

// Why a share ended with nothing reaching the unit.
constexpr char PicturePortTaken[] =
        "Pictures cannot be sent: another program on this computer uses UDP port 50001.";
constexpr char PicturesRefused[] = "Pictures cannot be sent: this computer does not let them "
                                   "reach the unit (a firewall may block UDP port 50001).";

} // namespace

// The lines written for every frame; off unless switched on ("tandeo.share.frames.debug=true"),
// since at a hundred frames a second they would cost more than the frame.
Q_LOGGING_CATEGORY(lcFrames, "tandeo.share.frames", QtInfoMsg)

void MainWindow::showNonModalWarning(const QString &text)
{
    auto *box = new QMessageBox(QMessageBox::Warning, "Warning", text, QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
}

capture::ShareSurface *MainWindow::surfaceForChoice()
{
    const capture::ShareChoice choice = ui->QRadioBtnApp->isChecked()
            ? capture::ShareChoice::Window
            : capture::ShareChoice::Desktop;
    if (shareSurface && capture::surfaceServes(*shareSurface, choice, shareOptions, strAppTitle))
        return shareSurface.get();
    adoptSurface(capture::makeShareSurface(choice, shareOptions, strAppTitle, &selectedHwnd));
    return shareSurface.get();
}

void MainWindow::adoptSurface(std::unique_ptr<capture::ShareSurface> surface)
{
    dropSurface();
    shareSurface = std::move(surface);
    connect(shareSurface.get(), &capture::ShareSurface::ready, this, &MainWindow::surfaceReady);
    connect(shareSurface.get(), &capture::ShareSurface::ended, this, &MainWindow::surfaceEnded);
}

QString MainWindow::surfaceSentence(capture::SurfaceFailure failure, const QString &detail)
{
    using Failure = capture::SurfaceFailure;
    switch (failure) {
    case Failure::None:
        break;
    case Failure::NoPortal:
        return "Screen sharing on this Wayland desktop needs the desktop portal and PipeWire: "
               "install xdg-desktop-portal with the back-end for your desktop, and pipewire.";
    case Failure::Refused:
        return "Screen sharing was not allowed.";
    case Failure::WindowsNotOffered:
        return "This desktop shares whole screens only: choose Desktop.";
    case Failure::NoAnswer:
        return QString("The desktop portal did not answer within %1 s.").arg(detail);
    case Failure::PortalError:
        return "The desktop portal refused to share the screen: " + detail;
    case Failure::AnswersUnreadable:
        return "The desktop portal's answers cannot be received.";
    case Failure::NotStarted:
        return "The desktop could not start screen sharing.";
    case Failure::NothingGranted:
        return "The desktop granted no screen to share.";
    case Failure::NoPictureConnection:
        return "The desktop portal gave no connection to PipeWire.";
    case Failure::EndedBeforeStart:
        return "The desktop ended screen sharing.";
    case Failure::Withdrawn:
        return "Screen sharing was stopped before it began.";
    case Failure::AlreadyAsking:
        return "Screen sharing is already being asked for.";
    case Failure::NoPictures:
        return "The shared screen's pictures cannot be received from PipeWire.";
    }
    return {};
}

void MainWindow::surfaceReady(capture::SurfaceFailure failure, const QString &detail)
{
    const SurfaceWait wait = std::exchange(surfaceWait, SurfaceWait::None);
    if (failure != capture::SurfaceFailure::None)
        qCWarning(lcShare) << "no surface to share:" << detail;
    switch (wait) {
    case SurfaceWait::None:
        return; // withdrawn meanwhile
    case SurfaceWait::Picker:
        windowChosenThroughPortal(failure, detail);
        return;
    case SurfaceWait::Share:
        ui->BtnShare->setEnabled(true);
        if (failure != capture::SurfaceFailure::None) {
            showShareWarning(surfaceSentence(failure, detail));
            return;
        }
        // The session the Share click was for still runs (a logout withdraws the question).
        shareWithSurface();
        return;
    }
}

void MainWindow::withdrawSurfaceQuestion()
{
    if (std::exchange(surfaceWait, SurfaceWait::None) == SurfaceWait::None)
        return;
    qCDebug(lcShare) << "the desktop's question is withdrawn";
    if (shareSurface)
        shareSurface->release();
    ui->BtnShare->setEnabled(true);
}

void MainWindow::releaseShareSource()
{
    framePump->stopShare();
    // A window chosen through the portal stays chosen from share to share, as the picker's
    // choice does on X11.
    if (shareSurface && shareSurface->kind() != capture::ShareSurface::Kind::PortalWindow)
        shareSurface->release();
}

void MainWindow::dropSurface()
{
    framePump->stopShare();
    if (!shareSurface)
        return;
    disconnect(shareSurface.get(), nullptr, this, nullptr);
    shareSurface->release();
    // Later: this may run inside one of the surface's own signals.
    shareSurface.release()->deleteLater();
}

void MainWindow::surfaceEnded(capture::SurfaceEnd reason, const QString &detail)
{
    switch (reason) {
    case capture::SurfaceEnd::WindowMissing:
    case capture::SurfaceEnd::WindowClosed:
        if (reason == capture::SurfaceEnd::WindowClosed)
            qCDebug(lcShare) << "NULL == jpegImgStream";
        b_shareStopped = true;
        qCDebug(lcShare) << "b_triggerBtnStop setting TRUE"
                         << (reason == capture::SurfaceEnd::WindowMissing ? 111 : 222);
        b_triggerBtnStop = true;
        QMetaObject::invokeMethod(this, &MainWindow::triggerBtnStop, Qt::QueuedConnection);
        showNonModalWarning(reason == capture::SurfaceEnd::WindowMissing
                        ? "The selected application does not exist"
                        : "The selected application is close");
        return;
    case capture::SurfaceEnd::DesktopEnded:
        handleShareSourceEnded(detail);
        return;
    case capture::SurfaceEnd::AreaGone:
        // After the frame that found it: the stop sends MSG_STOP, which must follow the
        // frame's own report.
        QMetaObject::invokeMethod(this, &MainWindow::endShareOfGoneScreen, Qt::QueuedConnection);
        return;
    }
}

void MainWindow::handleShareSourceEnded(const QString &reason)
{
    if (!shareSurface || !shareSurface->isReady())
        return; // already released by a stop path
    qCWarning(lcShare) << "the screen cast ended:" << reason;
    if (firstImgTimer->isActive()) {
        on_BtnStop_clicked();
        ui->BtnShare->setEnabled(true);
        showNotice("Warning", "The desktop ended the screen sharing.");
    }
    releaseShareSource();
    if (shareSurface->kind() == capture::ShareSurface::Kind::PortalWindow) {
        // The chosen window is gone from the desktop's side: it has to be chosen again.
        dropSurface();
        strAppTitle.clear();
        ui->lineEditApp->clear();
        if (ui->QRadioBtnApp->isChecked())
            ui->BtnShare->setEnabled(false);
    }
}

void MainWindow::runRequestedFrames()
{
    if (firstImgTimer->isActive())
        SendFirtSharedImg();
    if (sharedImgTimer->isActive())
        SendSharedImg();
}

int MainWindow::captureAndSendFrame()
{
    if (lcFrames().isDebugEnabled() && shareSurface) {
        const QSize size = shareSurface->size();
        qCDebug(lcFrames) << "desktop_size width  = " << size.width();
        qCDebug(lcFrames) << "desktop_size height = " << size.height();
    }
    const int result = framePump->pull(strIP, strSessionID);
    rtpSession = framePump->session();
    // After this pull's own handling, like every stop that follows a frame.
    if (framePump->linkRefused()) {
        QMetaObject::invokeMethod(
                this,
                [this] {
                    if (framePump->linkRefused()) // a later pull may have found the port free
                        endShareUnsent(PicturePortTaken);
                },
                Qt::QueuedConnection);
    }
    return result;
}

capture::WindowSurface &MainWindow::applicationWindowSurface()
{
    const auto *window = shareSurface && shareSurface->kind() == capture::ShareSurface::Kind::Window
            ? static_cast<const capture::WindowSurface *>(shareSurface.get())
            : nullptr;
    if (!window || window->title() != strAppTitle)
        adoptSurface(std::make_unique<capture::WindowSurface>(strAppTitle, &selectedHwnd));
    return static_cast<capture::WindowSurface &>(*shareSurface);
}

int MainWindow::captureSelectedWindowFrame()
{
    framePump->startShare(&applicationWindowSurface(), capture::WindowSurface::Box);
    return captureAndSendFrame();
}

void MainWindow::releaseFrameLink()
{
    framePump->release();
    rtpSession = nullptr;
    if (idleInhibitor)
        idleInhibitor->release();
}

void MainWindow::SendFirtSharedImg()
{
    // A picture still leaving answers the pull before; this one waits for it.
    if (!b_requestShare || framePump->sending())
        return;
    const int result = captureAndSendFrame();
    if (result == 0)
        on_BtnStop_clicked();
    reportFrameUnlessLeaving();
    b_requestShare = false;
}

void MainWindow::SendSharedImg()
{
    if (!b_sendImg || framePump->sending())
        return;
    const int result = captureAndSendFrame();
    ++shareFrameCount;
    if (result == 0) {
        control::sendStop(strSessionID.toUtf8().constData());
        ui->BtnShare->setEnabled(true);
        restoreShareChoices();
    }
    b_sendImg = false;
    reportFrameUnlessLeaving();

    const int dots = shareFrameCount % 6;
    if (dots == 5)
        shareFrameCount = 5;
    ui->labelShareStatus->setText(
            "<font color='#F2F2F2'>" + QString("Sharing ") + QString(dots, '.') + "</font>");
}

void MainWindow::reportFrameUnlessLeaving()
{
    // A picture on its way is reported once its last packet has gone (handleFrameLeft): the
    // unit pulls the next one as soon as it hears of it.
    if (!framePump->sending() && !framePump->linkRefused())
        framePump->reportSent(strSessionID);
}

void MainWindow::endShareUnsent(const char *why)
{
    if (!firstImgTimer->isActive())
        return; // a stop came first
    qCWarning(lcShare) << "no picture can reach the unit:" << why;
    on_BtnStop_clicked();
    // The next share looks the way to the unit up afresh: this link's local address was
    // chosen while the way was barred.
    releaseFrameLink();
    ui->BtnShare->setEnabled(true);
    showNotice("Warning", why);
}

void MainWindow::handleFrameLeft(frames::SendOutcome outcome)
{
    if (outcome == frames::SendOutcome::Stalled) {
        // Nothing left for 2 s: the link to the unit is gone, whatever the control
        // connection still says.
        qCWarning(lcShare) << "a picture could not leave for 2 s: the unit is taken as gone";
        if (const int socket = control::channelSocket(); socket >= 0)
            control::closeChannel(socket);
        handleUnitLeft();
        return;
    }
    if (outcome == frames::SendOutcome::Refused) {
        endShareUnsent(PicturesRefused); // not reported as sent: nothing of it left
        return;
    }
    framePump->reportSent(strSessionID);
    // The unit pulls the next picture once it hears of this one, which on a busy link is only
    // when the link has carried all of it: the next picture is readied meanwhile, so the link
    // waits for no encoding. A pull that arrived meanwhile is answered now.
    if (!b_sendImg && !b_requestShare)
        framePump->prefetch();
    runRequestedFrames();
}

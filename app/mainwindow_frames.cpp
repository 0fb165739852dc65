// Frames: the capture of the shared surface and the slots that answer the unit's pulls.

#include "control_channel.h"
#include "desktop_capture.h"
#include "frame_pump.h"
#include "mainwindow.h"
#include "mainwindow_state.h"
#include "picture_box.h"
#include "source_choice.h"
#include "ui_mainwindow.h"

#include <QLoggingCategory>
#include <QTimer>

Q_DECLARE_LOGGING_CATEGORY(lcShare)
// The lines written for every frame; off unless switched on ("tandeo.share.frames.debug=true"),
// since at a hundred frames a second they would cost more than the frame.
Q_LOGGING_CATEGORY(lcFrames, "tandeo.share.frames", QtInfoMsg)

capture::DesktopCapture *MainWindow::desktopCapture()
{
    if (!desktopCaptureMade && capture::desktopSourceKind() == capture::DesktopSourceKind::X11)
        desktopCaptureMade =
                std::make_unique<capture::DesktopCapture>(capture::openDesktopSource(shareOptions));
    return desktopCaptureMade.get();
}

bool MainWindow::prepareDesktopSource(QString *whyNot)
{
    if (!applyMonitorChoice(whyNot))
        return false;
    if (desktopCapture())
        return true;
    capture::DesktopSourceChoice choice = capture::chooseDesktopSource(shareOptions);
    if (!choice.ok()) {
        qCWarning(lcShare) << "no desktop source:" << choice.reason;
        *whyNot = choice.reason;
        return false;
    }
    followScreenCast(choice.portal);
    desktopCaptureMade = std::make_unique<capture::DesktopCapture>(std::move(choice.source));
    return true;
}

void MainWindow::releaseShareSource()
{
    if (capture::desktopSourceKind() == capture::DesktopSourceKind::Portal)
        desktopCaptureMade.reset();
}

void MainWindow::handleShareSourceEnded(const QString &reason)
{
    if (!desktopCaptureMade && !windowCastCapture)
        return; // already released by a stop path
    qCWarning(lcShare) << "the screen cast ended:" << reason;
    if (firstImgTimer->isActive()) {
        on_BtnStop_clicked();
        ui->BtnShare->setEnabled(true);
        showNotice("Warning", "The desktop ended the screen sharing.");
    }
    releaseShareSource();
    if (windowCastCapture) {
        // The chosen window is gone from the desktop's side: it has to be chosen again.
        windowCastCapture.reset();
        strAppTitle.clear();
        ui->lineEditApp->clear();
        if (ui->QRadioBtnApp->isChecked())
            ui->BtnShare->setEnabled(false);
    }
}

void MainWindow::followScreenCast(capture::PortalScreenSource *portal)
{
    if (!portal)
        return;
    // Queued: the capture that sends these is released by the handler.
    connect(&portal->stream(), &capture::PipeWireStream::ended, this,
            &MainWindow::handleShareSourceEnded, Qt::QueuedConnection);
    if (capture::PortalScreenCast *session = portal->session())
        connect(
                session, &capture::PortalScreenCast::sessionClosed, this,
                [this] { handleShareSourceEnded("the portal closed the session"); },
                Qt::QueuedConnection);
}

bool MainWindow::chooseWindowThroughPortal(QString *whyNot)
{
    if (!capture::portalOffersWindows()) {
        *whyNot = "This desktop shares whole screens only: choose Desktop.";
        return false;
    }
    capture::DesktopSourceChoice choice =
            capture::chooseDesktopSource(shareOptions, capture::ScreenCastSourceType::Window);
    if (!choice.ok()) {
        *whyNot = choice.reason;
        return false;
    }
    followScreenCast(choice.portal);
    windowCastCapture = std::make_unique<capture::DesktopCapture>(std::move(choice.source));
    return true;
}

QSize MainWindow::shareDesktopSize()
{
    // A window chosen through the portal is what the unit is shown, in its own size.
    if (ui->QRadioBtnApp->isChecked() && windowCastCapture)
        return windowCastCapture->desktopSize();
    capture::DesktopCapture *desktop = desktopCapture();
    return desktop ? desktop->desktopSize() : QSize();
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
    if (shareMode == 1 && !windowCastCapture)
        return captureSelectedWindowFrame();
    capture::DesktopCapture *source = shareMode == 1 ? windowCastCapture.get() : desktopCapture();
    return pullFrame([&](capture::Frame &frame) { return captureDesktopFrame(source, frame); });
}

frames::Capture MainWindow::captureDesktopFrame(
        capture::DesktopCapture *source, capture::Frame &frame)
{
    if (!source)
        return frames::Capture::NothingToShare; // the screen cast ended
    capture::DesktopCapture &desktop = *source;
    const QSize size = desktop.desktopSize();
    qCDebug(lcFrames) << "desktop_size width  = " << size.width();
    qCDebug(lcFrames) << "desktop_size height = " << size.height();
    const double ratio = size.height() > 0 ? double(size.width()) / size.height() : 0.0;
    qCDebug(lcFrames) << "desktop_ratio = " << ratio;

    // Another monitor, or a new resolution, is scaled into the size the unit was told.
    const QSize scaled =
            announcedSize.isEmpty() ? capture::scaledDesktopSize(size, b_zmtFamily) : announcedSize;
    qCDebug(lcFrames) << "scaled size width  = " << scaled.width();
    qCDebug(lcFrames) << "scaled size height = " << scaled.height();

    // A failed grab or encoding sends nothing rather than a broken or stale picture; the
    // frame still counts as attempted, so the unit is told and pulls again.
    if (!desktop.captureFrame(scaled, frame)) {
        if (desktop.source().areaGone())
            QMetaObject::invokeMethod(
                    this, &MainWindow::endShareOfGoneScreen, Qt::QueuedConnection);
        qCWarning(lcShare) << "no desktop picture for this frame";
        return frames::Capture::NoPicture;
    }
    return frames::Capture::Picture;
}

int MainWindow::pullFrame(const frames::FramePump::CaptureStep &capture)
{
    const int result = framePump->pull(strIP, strSessionID, capture);
    rtpSession = framePump->session();
    return result;
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
    if (!framePump->sending())
        framePump->reportSent(strSessionID);
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
    framePump->reportSent(strSessionID);
    // A pull that arrived meanwhile is answered now rather than at the next tick.
    runRequestedFrames();
}

// Frames: the capture of the shared surface and the slots that answer the unit's pulls.

#include "control_channel.h"
#include "desktop_capture.h"
#include "frame_pump.h"
#include "mainwindow.h"
#include "mainwindow_state.h"
#include "picture_box.h"
#include "ui_mainwindow.h"

#include <QLoggingCategory>
#include <QTimer>

Q_DECLARE_LOGGING_CATEGORY(lcShare)
// The lines written for every frame; off unless switched on ("tandeo.share.frames.debug=true"),
// since at a hundred frames a second they would cost more than the frame.
Q_LOGGING_CATEGORY(lcFrames, "tandeo.share.frames", QtInfoMsg)

capture::DesktopCapture &MainWindow::desktopCapture()
{
    if (!desktopCaptureMade)
        desktopCaptureMade =
                std::make_unique<capture::DesktopCapture>(capture::openDesktopSource(shareOptions));
    return *desktopCaptureMade;
}

QSize MainWindow::shareDesktopSize()
{
    return desktopCapture().desktopSize();
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
    if (shareMode == 1)
        return captureSelectedWindowFrame();
    return pullFrame([this](capture::Frame &frame) { return captureDesktopFrame(frame); });
}

frames::Capture MainWindow::captureDesktopFrame(capture::Frame &frame)
{
    capture::DesktopCapture &desktop = desktopCapture();
    const QSize size = desktop.desktopSize();
    qCDebug(lcFrames) << "desktop_size width  = " << size.width();
    qCDebug(lcFrames) << "desktop_size height = " << size.height();
    const double ratio = size.height() > 0 ? double(size.width()) / size.height() : 0.0;
    qCDebug(lcFrames) << "desktop_ratio = " << ratio;

    const QSize scaled = capture::scaledDesktopSize(size, b_zmtFamily);
    qCDebug(lcFrames) << "scaled size width  = " << scaled.width();
    qCDebug(lcFrames) << "scaled size height = " << scaled.height();

    // A failed grab or encoding sends nothing rather than a broken or stale picture; the
    // frame still counts as attempted, so the unit is told and pulls again.
    if (!desktop.captureFrame(scaled, frame)) {
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
}

void MainWindow::SendFirtSharedImg()
{
    if (!b_requestShare)
        return;
    const int result = captureAndSendFrame();
    if (result == 0)
        on_BtnStop_clicked();
    framePump->reportSent(strSessionID);
    b_requestShare = false;
}

void MainWindow::SendSharedImg()
{
    if (!b_sendImg)
        return;
    const int result = captureAndSendFrame();
    ++shareFrameCount;
    if (result == 0) {
        control::sendStop(strSessionID.toUtf8().constData());
        ui->BtnShare->setEnabled(true);
        restoreShareChoices();
    }
    b_sendImg = false;
    framePump->reportSent(strSessionID);

    const int dots = shareFrameCount % 6;
    if (dots == 5)
        shareFrameCount = 5;
    ui->labelShareStatus->setText(
            "<font color='#F2F2F2'>" + QString("Sharing ") + QString(dots, '.') + "</font>");
}

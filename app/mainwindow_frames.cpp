// Frames: the capture of the shared surface and the slots that answer the unit's pulls.

#include "control_channel.h"
#include "desktop_capture.h"
#include "jpeg_encoder.h"
#include "mainwindow.h"
#include "mainwindow_state.h"
#include "picture_box.h"
#include "platform/net/ipv4_address.h"
#include "ui_mainwindow.h"
#include "xcb_screen_source.h"
#include "zelrtp.h"

#include <QHostAddress>
#include <QLoggingCategory>
#include <QNetworkInterface>
#include <QTimer>

#include <arpa/inet.h>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

Q_DECLARE_LOGGING_CATEGORY(lcShare)
// The lines written for every frame; off unless switched on ("tandeo.share.frames.debug=true"),
// since at a hundred frames a second they would cost more than the frame.
Q_LOGGING_CATEGORY(lcFrames, "tandeo.share.frames", QtInfoMsg)

namespace {

const QString RtpPortText = "50001";
constexpr int FrameRate = 5;

// The desktop capture, made on first use and kept for the life of the program: its X
// connection, shared-memory segment, buffers and helper thread serve every frame.
capture::DesktopCapture &desktopCapture()
{
    static capture::DesktopCapture desktop([]() -> std::unique_ptr<capture::ScreenSource> {
        if (auto xcb = capture::XcbScreenSource::open())
            return xcb;
        return std::make_unique<capture::QtScreenSource>();
    }());
    return desktop;
}

// The unit's address as the network layer reads it: a profile may hold padded octets
// ("127.000.000.071"), which are decimal.
QString unitAddressText(const QString &stored)
{
    if (const auto canonical = net::canonicalIpv4(stored.trimmed().toStdString()))
        return QString::fromStdString(*canonical);
    return stored;
}

// The host's own address on the route to the unit, as the system would pick it for a packet
// there: a UDP socket connected to the unit (nothing is sent) tells it. Empty when there is no
// route.
QString localAddressTowards(const QString &unitAddress)
{
    sockaddr_in unit{};
    unit.sin_family = AF_INET;
    unit.sin_port = htons(50001);
    if (inet_pton(AF_INET, unitAddress.toLatin1().constData(), &unit.sin_addr) != 1)
        return QString();
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return QString();
    QString local;
    sockaddr_in own{};
    socklen_t ownLength = sizeof own;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&unit), sizeof unit) == 0
            && ::getsockname(fd, reinterpret_cast<sockaddr *>(&own), &ownLength) == 0) {
        char text[INET_ADDRSTRLEN] = {};
        if (inet_ntop(AF_INET, &own.sin_addr, text, sizeof text))
            local = QString::fromLatin1(text);
    }
    ::close(fd);
    return local;
}

// The first address of the host's list, as a last resort when no route could be asked for.
QString firstInterfaceAddress()
{
    const QList<QHostAddress> all = QNetworkInterface::allAddresses();
    return all.isEmpty() ? QString() : all.first().toString();
}

// The session id's first four bytes read as a little-endian number; a shorter id counts the
// missing bytes as zero.
std::uint32_t ssrcFromSession(const QString &sessionId)
{
    const QByteArray bytes = sessionId.toUtf8();
    std::uint32_t ssrc = 0;
    for (int i = 0; i < 4 && i < bytes.size(); ++i)
        ssrc |= std::uint32_t(std::uint8_t(bytes[i])) << (8 * i);
    return ssrc;
}

} // namespace

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
    if (!desktop.captureJpeg(scaled, jpegImg)) {
        qCWarning(lcShare) << "no desktop picture for this frame";
        return 1;
    }

    handOverFrame();
    return 1;
}

void MainWindow::handOverFrame()
{
    const QString unit = unitAddressText(strIP);
    QString local = localAddressTowards(unit);
    if (local.isEmpty())
        local = firstInterfaceAddress();
    bool localPortOk = false;
    bool unitPortOk = false;
    const int localPort = RtpPortText.toInt(&localPortOk, 10);
    const int unitPort = RtpPortText.toInt(&unitPortOk, 10);
    if (localPortOk && unitPortOk)
        sendJpegToUnit(local, unit, localPort, unitPort);
}

void MainWindow::sendJpegToUnit(
        const QString &localAddr, const QString &unitAddr, int localPort, int unitPort)
{
    if (localAddr.isEmpty() || unitAddr.isEmpty() || localPort <= 0 || unitPort <= 0)
        return;
    if (!rtpSession) {
        initRtp();
        rtpSession = initSession(localAddr.toLatin1().constData(), localPort,
                unitAddr.toLatin1().constData(), unitPort, FrameRate,
                ssrcFromSession(strSessionID));
        if (!rtpSession) {
            // Without a session there is nowhere to send; the next frame tries again.
            qCWarning(lcShare) << "no RTP session towards" << unitAddr;
            exitRtp();
            return;
        }
    }
    // Every frame is announced as 1024 x 768 in its payload header, whatever its own size: units
    // take the real size from MSG_CONNECT and from the JPEG itself, and rely on these bytes.
    sendJpegFrame(rtpSession, jpegImg.constData(), int(jpegImg.size()));
}

void MainWindow::SendFirtSharedImg()
{
    if (!b_requestShare)
        return;
    const int result = captureAndSendFrame();
    if (result == 0)
        on_BtnStop_clicked();
    control::sendFrameSent(strSessionID.toUtf8().constData());
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
    control::sendFrameSent(strSessionID.toUtf8().constData());

    const int dots = shareFrameCount % 6;
    if (dots == 5)
        shareFrameCount = 5;
    ui->labelShareStatus->setText(
            "<font color='#F2F2F2'>" + QString("Sharing ") + QString(dots, '.') + "</font>");
}

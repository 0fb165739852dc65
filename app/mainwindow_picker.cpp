// The application picker's slot, the look-up of the chosen window at share start, and the
// application-window path of the frame capture.

#include "dlg_tasklist.h"
#include "jpeg_encoder.h"
#include "mainwindow.h"
#include "mainwindow_state.h"
#include "platform/net/ipv4_address.h"
#include "skin.h"
#include "ui_mainwindow.h"
#include "window_system.h"

#include <QCoreApplication>
#include <QDebug>
#include <QHostAddress>
#include <QImage>
#include <QMessageBox>
#include <QNetworkInterface>
#include <QPixmap>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A thumbnail proxy stands in for the real window under the same title: look the title up
// again and grab from an empty rectangle.
constexpr char ThumbnailClass[] = "TabThumbnailWindow";

// Every application window is sent inside this box, keeping its aspect ratio.
constexpr int WindowBoxWidth = 1024;
constexpr int WindowBoxHeight = 768;

constexpr char RtpPortText[] = "50001";

// Without a parent and without blocking: the frame timers keep running while it is up.
void showNonModalWarning(const QString &text)
{
    auto *box = new QMessageBox(QMessageBox::Warning, "Warning", text, QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
}

// A profile may hold padded octets ("127.000.000.090"), which are decimal.
QString canonicalUnitAddress(const QString &stored)
{
    if (const auto canonical = net::canonicalIpv4(stored.trimmed().toStdString()))
        return QString::fromStdString(*canonical);
    return stored;
}

// The address the system would send from towards the unit: a UDP socket connected there (no
// packet goes out) names it. Empty when there is no route.
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
    char text[INET_ADDRSTRLEN] = {};
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&unit), sizeof unit) == 0
            && ::getsockname(fd, reinterpret_cast<sockaddr *>(&own), &ownLength) == 0
            && inet_ntop(AF_INET, &own.sin_addr, text, sizeof text))
        local = QString::fromLatin1(text);
    ::close(fd);
    return local;
}

} // namespace

void MainWindow::on_BtnSelectApp_clicked()
{
    taskDialog = new dlgTasklist(nullptr);
    taskDialog->setWindowTitle("  ");
    taskDialog->setStyleSheet(skin::dialogStyleSheet(QCoreApplication::applicationDirPath()));
    taskDialog->show();
    if (taskDialog->exec() == QDialog::Accepted) {
        strAppTitle = taskDialog->selectedTitle();
        ui->lineEditApp->setText(strAppTitle); // the line edit shows at most 22 characters
    }
    delete taskDialog;
    taskDialog = nullptr;
    ui->BtnShare->setEnabled(!ui->lineEditApp->text().isEmpty());
}

void MainWindow::grabSelectedWindow()
{
    const x11::WindowSystem &windows = x11::WindowSystem::shared();
    selectedHwnd = windows.findWindow(strAppTitle);
    if (windows.className(selectedHwnd) == QLatin1String(ThumbnailClass)) {
        selectedHwnd = 0; // the first frame looks the real window up
        return;
    }
    if (selectedHwnd == 0)
        return;
    if (selectedHwnd == windows.desktopWindow())
        return;
    const QImage picture = windows.grabFrame(selectedHwnd);
    if (sharedPixmap) // only while the share flow holds one
        *sharedPixmap = QPixmap::fromImage(picture);
}

int MainWindow::captureSelectedWindowFrame()
{
    const x11::WindowSystem &windows = x11::WindowSystem::shared();
    if (selectedHwnd == 0) {
        selectedHwnd = windows.findWindow(strAppTitle);
        if (selectedHwnd == 0) {
            b_shareStopped = true;
            qDebug() << "b_triggerBtnStop setting TRUE 111";
            b_triggerBtnStop = true;
            showNonModalWarning("The selected application does not exist");
            return 0;
        }
    }

    QSize grabSize(0, 0);
    if (windows.className(selectedHwnd) == QLatin1String(ThumbnailClass)) {
        selectedHwnd = windows.findWindow(strAppTitle);
    } else if (const std::optional<QRect> rect = windows.windowRect(selectedHwnd)) {
        grabSize = rect->size();
    }

    if (selectedHwnd == windows.desktopWindow())
        return 0;

    // The window itself is read at the size of the whole window with its frame, as the
    // picture has always been taken.
    const QImage picture = windows.grabClient(selectedHwnd, grabSize);
    if (picture.isNull()) {
        qDebug() << "NULL == jpegImgStream";
        b_shareStopped = true;
        qDebug() << "b_triggerBtnStop setting TRUE 222";
        b_triggerBtnStop = true;
        showNonModalWarning("The selected application is close");
        return 1;
    }

    const QImage scaled = picture.scaled(
            WindowBoxWidth, WindowBoxHeight, Qt::KeepAspectRatio, Qt::FastTransformation);
    // One encoder for the life of the program, reused from frame to frame (GUI thread only).
    static capture::JpegEncoder encoder;
    jpegImg.clear();
    if (!encoder.encode(scaled, jpegImg)) {
        qWarning() << "window frame not encoded:" << encoder.errorText();
        return 1; // an empty picture is never sent; the next request tries again
    }

    // The same hand-over as the desktop's: to the unit's address as the network layer reads
    // it, from the host's address on the route there (the first interface address is only the
    // fall-back: on this system it is the loopback address).
    const QString unit = canonicalUnitAddress(strIP);
    QString localAddr = localAddressTowards(unit);
    if (localAddr.isEmpty()) {
        const QList<QHostAddress> addresses = QNetworkInterface::allAddresses();
        localAddr = addresses.isEmpty() ? QString() : addresses.first().toString();
    }
    bool localPortOk = false;
    bool unitPortOk = false;
    const int localPort = QString(RtpPortText).toInt(&localPortOk, 10);
    const int unitPort = QString(RtpPortText).toInt(&unitPortOk, 10);
    if (!localAddr.isEmpty() && !unit.isEmpty() && localPortOk && unitPortOk)
        sendJpegToUnit(localAddr, unit, localPort, unitPort);
    return 1;
}

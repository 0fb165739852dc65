// The application picker's slot, the look-up of the chosen window at share start, and the
// application-window path of the frame capture.

#include "dlg_tasklist.h"
#include "frame_pump.h"
#include "mainwindow.h"
#include "mainwindow_state.h"
#include "skin.h"
#include "source_choice.h"
#include "ui_mainwindow.h"
#include "window_capture.h"
#include "window_system.h"

#include <QCoreApplication>
#include <QImage>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPixmap>

Q_DECLARE_LOGGING_CATEGORY(lcShare)

namespace {

// A thumbnail proxy stands in for the real window under the same title: look the title up
// again and grab from an empty rectangle.
constexpr char ThumbnailClass[] = "TabThumbnailWindow";

// Without a parent and without blocking: the frame timers keep running while it is up.
void showNonModalWarning(const QString &text)
{
    auto *box = new QMessageBox(QMessageBox::Warning, "Warning", text, QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
}

} // namespace

void MainWindow::on_BtnSelectApp_clicked()
{
    if (capture::desktopSourceKind() == capture::DesktopSourceKind::Portal) {
        // A Wayland desktop lists no windows to others: its portal lets the user pick one.
        QString whyNot;
        if (chooseWindowThroughPortal(&whyNot)) {
            strAppTitle = "Chosen window"; // what the line edit can show
            ui->lineEditApp->setText(strAppTitle);
        } else {
            showNonModalWarning(whyNot);
        }
        ui->BtnShare->setEnabled(!ui->lineEditApp->text().isEmpty());
        return;
    }
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
            qCDebug(lcShare) << "b_triggerBtnStop setting TRUE 111";
            b_triggerBtnStop = true;
            QMetaObject::invokeMethod(this, &MainWindow::triggerBtnStop, Qt::QueuedConnection);
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
    const x11::WindowId window = selectedHwnd;
    return pullFrame([&](capture::Frame &frame) {
        switch (windowCapture->capture(windows, window, grabSize, frame)) {
        case capture::WindowCapture::Result::Captured:
            return frames::Capture::Picture;
        case capture::WindowCapture::Result::WindowGone:
            qCDebug(lcShare) << "NULL == jpegImgStream";
            b_shareStopped = true;
            qCDebug(lcShare) << "b_triggerBtnStop setting TRUE 222";
            b_triggerBtnStop = true;
            QMetaObject::invokeMethod(this, &MainWindow::triggerBtnStop, Qt::QueuedConnection);
            showNonModalWarning("The selected application is close");
            return frames::Capture::NoPicture;
        case capture::WindowCapture::Result::NotEncoded:
            break;
        }
        return frames::Capture::NoPicture; // an empty picture is never sent
    });
}

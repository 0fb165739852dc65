// The application picker's slot and the look-up of the chosen window at share start.

#include "dlg_tasklist.h"
#include "mainwindow.h"
#include "mainwindow_state.h"
#include "skin.h"
#include "source_choice.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QImage>
#include <QLoggingCategory>
#include <QPixmap>

Q_DECLARE_LOGGING_CATEGORY(lcShare)

void MainWindow::on_BtnSelectApp_clicked()
{
    if (surfaceWait != SurfaceWait::None)
        return;
    if (capture::desktopSourceKind() == capture::DesktopSourceKind::Portal) {
        // A Wayland desktop lists no windows to others: its portal lets the user pick one. The
        // window goes on while its dialog is up; the answer comes to windowChosenThroughPortal().
        adoptSurface(capture::makeShareSurface(capture::ShareChoice::Window, shareOptions));
        surfaceWait = SurfaceWait::Picker;
        ui->BtnShare->setEnabled(false);
        ui->BtnSelectApp->setEnabled(false);
        if (shareSurface->prepare())
            surfaceReady(capture::SurfaceFailure::None, {});
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

void MainWindow::windowChosenThroughPortal(capture::SurfaceFailure failure, const QString &detail)
{
    ui->BtnSelectApp->setEnabled(ui->QRadioBtnApp->isChecked());
    if (failure == capture::SurfaceFailure::None) {
        strAppTitle = "Chosen window"; // what the line edit can show
        ui->lineEditApp->setText(strAppTitle);
    } else {
        dropSurface();
        showNonModalWarning(surfaceSentence(failure, detail));
    }
    ui->BtnShare->setEnabled(!ui->lineEditApp->text().isEmpty());
}

void MainWindow::grabSelectedWindow()
{
    const QImage picture = applicationWindowSurface().refresh();
    if (sharedPixmap && !picture.isNull()) // only while the share flow holds one
        *sharedPixmap = QPixmap::fromImage(picture);
}

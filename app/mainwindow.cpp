// The window shell: construction, the skin, closing, and the page and status operations that
// the login, logout and share flows call.

#include "mainwindow.h"

#include "control_channel.h"
#include "desktop_capture.h"
#include "dialog.h"
#include "dlg_tasklist.h"
#include "flow_timings.h"
#include "light_palette.h"
#include "mainwindow_state.h"
#include "sharp_pictures.h"
#include "skin.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QIcon>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QTimer>

#include <utility>

Q_LOGGING_CATEGORY(lcUi, "tandeo.ui")

MainWindow::MainWindow(QWidget *parent, const FlowTimings &timings)
    : QMainWindow(parent),
      ui(new Ui::MainWindow),
      timings(timings)
{
    // One window per process in the program; a window made after another starts as the first.
    resetModuleState();
    ui->setupUi(this);
    framePump = std::make_unique<frames::FramePump>(&jpegImg);
    framePump->onFrameLeft([this](frames::SendOutcome outcome) { handleFrameLeft(outcome); });
    applySkin();
    taskDialog = nullptr;
    setWindowTitle(tr("Mirrabel v13.0.0.27"));

    hideSharePage();
    showLoginPage();
    loadProfileList();

    ui->BtnSelectApp->setEnabled(false);
    ui->BtnStop->setEnabled(false);
    ui->lineEditApp->setEnabled(false);
    ui->listViewForID->hide();
    setUpKeyboard();
    setUpMonitorChoice();

    b_shareReject = false;
    b_shareAccept = false;
    b_fwCheckPending = false;
    b_loggedIn = false;
    b_enableBtnStop = false;
    b_enableBtnShare = false;
    b_finish_ret = false;
    b_zmtFamily = false;

    ui->progressBar->hide();
    ui->progressBar->setRange(0, 100);
    ui->labelLoginStatus->hide();
    ui->labelLoginStatus->setText("<font color='#F2F2F2'>Log in ...</font>");
    ui->labelShareStatus->hide();
    ui->labelShareStatus->setText("<font color='#F2F2F2'>Sharing</font>");

    loginTimeoutTimer = new QTimer(this);
    connect(loginTimeoutTimer, &QTimer::timeout, this, &MainWindow::slotTimeout);
    firstImgTimer = new QTimer(this);
    connect(firstImgTimer, &QTimer::timeout, this, &MainWindow::SendFirtSharedImg);
    sharedImgTimer = new QTimer(this);
    connect(sharedImgTimer, &QTimer::timeout, this, &MainWindow::SendSharedImg);
    // The bar moves only while a login waits (beginLoginWait starts it).
    progressTimer = new QTimer(this);
    progressTimer->setInterval(20);
    connect(progressTimer, &QTimer::timeout, this, &MainWindow::slotProgressBar);
    enableStopTimer = new QTimer(this);
    connect(enableStopTimer, &QTimer::timeout, this, &MainWindow::enableBtnStop);
    enableStopTimer->start(timings.flagSafetyNetMs);
    enableShareTimer = new QTimer(this);
    connect(enableShareTimer, &QTimer::timeout, this, &MainWindow::enableBtnShare);
    enableShareTimer->start(timings.flagSafetyNetMs);
}

MainWindow::~MainWindow()
{
    // The window owns the share: its receive thread ends with it, whichever way the program
    // is left.
    control::stopChannel();
    releaseFrameLink();
    delete ui;
}

void MainWindow::applySkin()
{
    // Before the style sheets, which start from each control's palette.
    skin::keepLightPalette(this);
    const QString appDir = QCoreApplication::applicationDirPath();
    for (const skin::WidgetStyle &style : skin::mainWindowStyleSheets(appDir)) {
        if (auto *widget = findChild<QWidget *>(style.objectName))
            widget->setStyleSheet(style.styleSheet);
    }
    skin::showSharpPicture(ui->labelConnection, ":/new/prefix1/ui/t_connection.png");
    skin::showSharpPicture(ui->labelShare, ":/new/prefix1/ui/t_share.png");
    // The form's 8 x 8 icon blurs in task bars and window switchers: they pick from all sizes.
    QIcon icon;
    for (int size : skin::IconSizes)
        icon.addFile(":/new/prefix1/ui/" + skin::iconFileName(size), QSize(size, size));
    setWindowIcon(icon);
}

void MainWindow::showInfo(const QString &title, const QString &text)
{
    qCDebug(lcUi).noquote() << "box:" << title + ":" << text;
    QMessageBox::information(this, title, text, QMessageBox::Ok, QMessageBox::Ok);
}

void MainWindow::showNotice(const QString &title, const QString &text)
{
    qCDebug(lcUi).noquote() << "box:" << title + ":" << text;
    auto *box = new QMessageBox(QMessageBox::Information, title, text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (taskDialog)
        taskDialog->close();
    if (b_loggedIn) {
        showInfo("Warning", "Please log out first");
        event->ignore();
        return;
    }
    // A profile editor left open (with a box over it) would keep the program running after
    // its window is gone.
    for (QWidget *top : QApplication::topLevelWidgets()) {
        auto *dialog = qobject_cast<QDialog *>(top);
        if (dialog && dialog->isVisible()
                && (qobject_cast<Dialog *>(dialog)
                        || qobject_cast<Dialog *>(dialog->parentWidget())))
            dialog->reject();
    }
    event->accept();
}

void MainWindow::finishedCloseEvent(QNetworkReply *)
{
    b_loggedIn = false;
    close();
}

void MainWindow::showLoginPage()
{
    ui->labelConnection->show();
    ui->listViewProfile->show();
    ui->BtnLogin->show();
    ui->BtnAdd->show();
    ui->BtnDel->show();
    ui->BtnEdit->show();
    b_loggedIn = false;
}

void MainWindow::hideLoginPage()
{
    ui->labelConnection->hide();
    ui->listViewProfile->hide();
    ui->BtnLogin->hide();
    ui->BtnAdd->hide();
    ui->BtnDel->hide();
    ui->BtnEdit->hide();
}

void MainWindow::showSharePage()
{
    ui->labelShare->show();
    ui->QRadioBtnApp->hide();
    ui->QRadioBtnDesktop->show();
    refreshMonitorChoice();
    ui->lineEditApp->hide();
    ui->BtnSelectApp->hide();
    ui->BtnStop->show();
    ui->BtnShare->show();
    ui->BtnLogout->show();
    b_loggedIn = true;
}

void MainWindow::hideSharePage()
{
    ui->labelShare->hide();
    ui->QRadioBtnApp->hide();
    ui->QRadioBtnDesktop->hide();
    if (monitorChoice)
        monitorChoice->hide();
    ui->lineEditApp->hide();
    ui->BtnSelectApp->hide();
    ui->BtnStop->hide();
    ui->BtnShare->hide();
    ui->BtnLogout->hide();
}

void MainWindow::beginLoginWait()
{
    b_progressOn = true;
    progressValue = 0; // every wait starts at 0
    progressTimer->start();
    ui->listViewProfile->setEnabled(false);
    ui->BtnLogin->setEnabled(false);
    ui->BtnAdd->setEnabled(false);
    ui->BtnDel->setEnabled(false);
    ui->BtnEdit->setEnabled(false);
    ui->progressBar->show();
    ui->labelLoginStatus->show();
}

void MainWindow::endLoginWait()
{
    ui->listViewProfile->setEnabled(true);
    ui->BtnLogin->setEnabled(true);
    ui->BtnAdd->setEnabled(true);
    ui->BtnDel->setEnabled(true);
    ui->BtnEdit->setEnabled(true);
    b_progressOn = false;
    progressTimer->stop();
    ui->progressBar->hide();
    ui->labelLoginStatus->hide();
    loginTimeoutTimer->stop();
}

void MainWindow::slotProgressBar()
{
    if (!b_progressOn) {
        progressValue = 0;
        return;
    }
    ui->progressBar->setValue(progressValue);
    if (++progressValue > 100)
        progressValue = 0;
}

void MainWindow::enableBtnShare()
{
    if (b_enableBtnShare) {
        ui->BtnShare->setEnabled(true);
        b_enableBtnShare = false;
        stopAnswerAwaited = false;
    }
}

void MainWindow::on_QRadioBtnDesktop_clicked()
{
    ui->BtnShare->setEnabled(true);
    ui->BtnSelectApp->setEnabled(false);
}

void MainWindow::on_QRadioBtnApp_clicked()
{
    ui->BtnShare->setEnabled(true);
    ui->BtnSelectApp->setEnabled(true);
    if (ui->lineEditApp->text().isEmpty())
        ui->BtnShare->setEnabled(false);
}

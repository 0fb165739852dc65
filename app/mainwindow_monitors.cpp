// The screen to share when the X11 desktop spans several monitors: the drop-down beside
// Desktop, the choice kept in the settings file, and the share's end when that monitor goes.
// A Wayland desktop asks in its own dialog, so the drop-down never shows there.

#include "mainwindow.h"
#include "skin.h"
#include "source_choice.h"
#include "ui_mainwindow.h"

#include <QComboBox>
#include <QEvent>
#include <QLoggingCategory>
#include <QSettings>
#include <QTimer>

#include <functional>

Q_DECLARE_LOGGING_CATEGORY(lcShare)

namespace {

constexpr char AllScreens[] = "All screens";
constexpr char ScreenGone[] = "The shared screen is gone.";
constexpr char MonitorKey[] = "share/monitor";

// ~/.config/tandeo-desktop/tandeo-desktop.conf
QSettings programSettings()
{
    return QSettings(
            QSettings::NativeFormat, QSettings::UserScope, "tandeo-desktop", "tandeo-desktop");
}

// The list is read again each time it opens: monitors come and go while the program runs.
class MonitorChoiceBox : public QComboBox
{
public:
    MonitorChoiceBox(QWidget *parent, std::function<void()> beforePopup)
        : QComboBox(parent),
          m_beforePopup(std::move(beforePopup))
    {
    }

    void showPopup() override
    {
        m_beforePopup();
        QComboBox::showPopup();
    }

private:
    std::function<void()> m_beforePopup;
};

// The drop-down is usable exactly when Desktop is: both are locked while sharing.
class FollowEnabled : public QObject
{
public:
    FollowEnabled(QWidget *leader, QWidget *follower) : QObject(follower), m_follower(follower)
    {
        leader->installEventFilter(this);
        follower->setEnabled(leader->isEnabled());
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::EnabledChange)
            m_follower->setEnabled(static_cast<QWidget *>(watched)->isEnabled());
        return false;
    }

private:
    QWidget *m_follower;
};

} // namespace

void MainWindow::setUpMonitorChoice()
{
    auto *box = new MonitorChoiceBox(ui->centralWidget, [this] { refreshMonitorChoice(); });
    monitorChoice = box;
    box->setObjectName("comboMonitor");
    box->setAccessibleName("Screen to share");
    box->setAccessibleDescription("Shares one monitor, or all screens");
    box->setFocusPolicy(Qt::StrongFocus);
    box->setStyleSheet(skin::dropDownStyleSheet());
    box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    box->hide();
    new FollowEnabled(ui->QRadioBtnDesktop, box);
    setTabOrder(ui->QRadioBtnDesktop, box);
    connect(box, &QComboBox::activated, this, [this](int index) {
        programSettings().setValue(MonitorKey, monitorChoice->itemData(index).toString());
    });
}

void MainWindow::refreshMonitorChoice()
{
    const std::vector<x11::Monitor> monitors = capture::monitorsToChoose();
    // The remembered monitor when it is there, else all screens; what is remembered stays
    // until the user picks another line, so the monitor is offered again once it is back.
    const QString remembered = programSettings().value(MonitorKey).toString();
    monitorChoice->clear();
    monitorChoice->addItem(AllScreens, QString());
    for (const x11::Monitor &monitor : monitors) {
        monitorChoice->addItem(x11::monitorLabel(monitor), monitor.name);
        if (monitor.name == remembered)
            monitorChoice->setCurrentIndex(monitorChoice->count() - 1);
    }

    const bool offered = !monitors.empty();
    if (offered) {
        // Beside the Desktop button, which gives up the width its text does not use.
        QRadioButton *desktop = ui->QRadioBtnDesktop;
        const int left = desktop->x() + desktop->sizeHint().width() + 6;
        const int right = ui->centralWidget->width() - 24;
        const int height = 24;
        desktop->resize(left - desktop->x(), desktop->height());
        monitorChoice->setGeometry(
                left, desktop->y() + (desktop->height() - height) / 2, right - left, height);
    }
    monitorChoice->setVisible(offered && !ui->QRadioBtnDesktop->isHidden());
}

bool MainWindow::applyMonitorChoice(QString *whyNot)
{
    const QString wanted =
            monitorChoice->isHidden() ? QString() : monitorChoice->currentData().toString();
    // A surface is made for one area: another choice makes a new one (surfaceForChoice()), and
    // so does a monitor that went, which may be back.
    shareOptions.monitor = wanted;
    capture::ShareSurface *surface = surfaceForChoice();
    if (surface->kind() != capture::ShareSurface::Kind::Desktop)
        return true; // the desktop's own dialog picks the screen
    bool gone = static_cast<capture::DesktopSurface *>(surface)->areaGone();
    if (gone) {
        dropSurface();
        gone = static_cast<capture::DesktopSurface *>(surfaceForChoice())->areaGone();
    }
    if (!gone)
        return true;
    qCWarning(lcShare) << "the chosen monitor" << wanted << "is not there";
    dropSurface();
    refreshMonitorChoice();
    *whyNot = ScreenGone;
    return false;
}

void MainWindow::endShareOfGoneScreen()
{
    // Queued from the frame that found the monitor gone; a stop may have come first.
    if (!firstImgTimer->isActive())
        return;
    on_BtnStop_clicked();
    ui->BtnShare->setEnabled(true);
    dropSurface();
    refreshMonitorChoice();
    showNotice("Warning", ScreenGone);
}

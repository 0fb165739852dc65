// The drop-down of the screen to share, on an Xvfb of the test's own: shown beside Desktop only
// when the screen is divided into monitors, its lines, its place in the fixed window, the
// keyboard and a screen reader reaching it, and the choice kept in the settings file.

#include "mainwindow.h"
#include "mainwindow_probe.h"
#include "monitor_display.h"
#include "test_support.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QComboBox>
#include <QFile>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTest>

#include <gtest/gtest.h>
#include <memory>

using namespace testsupport;

namespace {

QStringList lines(const QComboBox *box)
{
    QStringList texts;
    for (int i = 0; i < box->count(); ++i)
        texts << box->itemText(i);
    return texts;
}

class MonitorChoiceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!display.error().isEmpty())
            GTEST_SKIP() << display.error().toStdString();
        // Where the program's settings file lands, as for a user whose home this is.
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.path() + "/.config");
    }

    // A window on its share page, as after a login.
    std::unique_ptr<MainWindow> sharePage()
    {
        auto window = std::make_unique<MainWindow>();
        window->show();
        window->hideLoginPage();
        window->showSharePage();
        return window;
    }

    static QComboBox *choiceOf(MainWindow &window)
    {
        return MainWindowProbe(window).widget<QComboBox>("comboMonitor");
    }

    QString settingsFile() const
    {
        return home.path() + "/.config/tandeo-desktop/tandeo-desktop.conf";
    }

    // The wide screen as a laptop and a monitor of the same size side by side.
    bool twoMonitors()
    {
        return display.setMonitor("LEFT", QRect(0, 0, 1920, 1080))
                && display.setMonitor("RIGHT", QRect(1920, 0, 1920, 1080));
    }

    TempHome home;
    MonitorDisplay display{ QSize(3840, 1080) };
};

TEST_F(MonitorChoiceTest, OneMonitorShowsNoDropDown)
{
    auto window = sharePage();
    QComboBox *choice = choiceOf(*window);
    ASSERT_TRUE(choice);
    EXPECT_FALSE(choice->isVisible());
}

TEST_F(MonitorChoiceTest, SeveralMonitorsAreOfferedBesideDesktopWithinTheWindow)
{
    ASSERT_TRUE(twoMonitors());
    auto window = sharePage();
    QComboBox *choice = choiceOf(*window);
    ASSERT_TRUE(choice->isVisible());
    // The screen's own monitor, covering both, is "All screens".
    EXPECT_EQ(lines(choice),
            QStringList({ "All screens", "LEFT, 1920 x 1080", "RIGHT, 1920 x 1080" }));
    EXPECT_EQ(choice->currentText(), "All screens");
    // Qt on Linux reads a drop-down's current line as its name; the name given is there for
    // the other bridges, the description says what it is for.
    QAccessibleInterface *node = QAccessible::queryAccessibleInterface(choice);
    EXPECT_EQ(node->role(), QAccessible::ComboBox);
    EXPECT_EQ(choice->accessibleName(), "Screen to share");
    EXPECT_EQ(node->text(QAccessible::Description), "Shares one monitor, or all screens");

    // Inside the window's fixed width, beside the Desktop button's text, clear of the buttons.
    MainWindowProbe probe(*window);
    const auto *desktop = probe.widget<QRadioButton>("QRadioBtnDesktop");
    const QRect place = choice->geometry();
    EXPECT_TRUE(choice->parentWidget()->rect().contains(place));
    EXPECT_GE(place.left(), desktop->x() + desktop->sizeHint().width());
    EXPECT_FALSE(place.intersects(desktop->geometry()));
    for (const char *name : { "BtnShare", "BtnStop", "BtnLogout" })
        EXPECT_FALSE(place.intersects(probe.widget<QWidget>(name)->geometry())) << name;
    // The longest line fits.
    EXPECT_LE(choice->fontMetrics().horizontalAdvance("RIGHT, 1920 x 1080") + 24, place.width());
    saveScreen(window.get(), "main_share_monitors");

    // Tab goes from Desktop to the drop-down; locked with Desktop while sharing.
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    probe.widget<QRadioButton>("QRadioBtnDesktop")->setFocus(Qt::TabFocusReason);
    QTest::keyClick(probe.widget<QRadioButton>("QRadioBtnDesktop"), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), choice);
    QTest::keyClick(choice, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), probe.widget<QWidget>("BtnShare"));
    probe.widget<QRadioButton>("QRadioBtnDesktop")->setEnabled(false);
    EXPECT_FALSE(choice->isEnabled());
    probe.widget<QRadioButton>("QRadioBtnDesktop")->setEnabled(true);
    EXPECT_TRUE(choice->isEnabled());

    // A projector plugged in meanwhile is there when the list opens.
    ASSERT_TRUE(display.setMonitor("PROJECTOR", QRect(960, 0, 1024, 768)));
    choice->showPopup();
    EXPECT_EQ(lines(choice),
            QStringList({ "All screens", "LEFT, 1920 x 1080", "RIGHT, 1920 x 1080",
                    "PROJECTOR, 1024 x 768" }));
    saveScreen(choice->view()->window(), "main_share_monitors_open");
    choice->hidePopup();

    window->hideSharePage();
    EXPECT_FALSE(choice->isVisible());
}

TEST_F(MonitorChoiceTest, TheChoiceIsKeptInTheSettingsFileAndOfferedAgain)
{
    ASSERT_TRUE(twoMonitors());
    {
        auto window = sharePage();
        QComboBox *choice = choiceOf(*window);
        choice->setFocus();
        // Down twice with the keyboard: the second monitor.
        QTest::keyClick(choice, Qt::Key_Down);
        QTest::keyClick(choice, Qt::Key_Down);
        EXPECT_EQ(choice->currentText(), "RIGHT, 1920 x 1080");
    }
    QFile file(settingsFile());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << settingsFile().toStdString();
    const QString text = QString::fromUtf8(file.readAll());
    EXPECT_TRUE(text.contains("[share]\nmonitor=RIGHT\n")) << text.toStdString();

    // The next start offers it again.
    auto again = sharePage();
    EXPECT_EQ(choiceOf(*again)->currentText(), "RIGHT, 1920 x 1080");

    // Gone: all screens, and the file keeps the monitor for when it is back.
    ASSERT_TRUE(display.removeMonitor("RIGHT"));
    auto without = sharePage();
    EXPECT_EQ(lines(choiceOf(*without)), QStringList({ "All screens", "LEFT, 1920 x 1080" }));
    EXPECT_EQ(choiceOf(*without)->currentText(), "All screens");
    ASSERT_TRUE(display.setMonitor("RIGHT", QRect(1920, 0, 1920, 1080)));
    auto back = sharePage();
    EXPECT_EQ(choiceOf(*back)->currentText(), "RIGHT, 1920 x 1080");

    // Choosing all screens again is kept too.
    QComboBox *choice = choiceOf(*back);
    choice->setFocus();
    QTest::keyClick(choice, Qt::Key_Home);
    EXPECT_EQ(choice->currentText(), "All screens");
    EXPECT_EQ(QSettings(QSettings::NativeFormat, QSettings::UserScope, "tandeo-desktop",
                      "tandeo-desktop")
                      .value("share/monitor")
                      .toString(),
            "");
}

TEST_F(MonitorChoiceTest, AnAbsentOrUnknownSettingMeansAllScreens)
{
    ASSERT_TRUE(twoMonitors());
    QSettings(QSettings::NativeFormat, QSettings::UserScope, "tandeo-desktop", "tandeo-desktop")
            .setValue("share/monitor", "HDMI-7");
    auto window = sharePage();
    EXPECT_EQ(choiceOf(*window)->currentText(), "All screens");
}

} // namespace

// The window shell on real widgets: the state after construction, the page operations and
// the phases they lead to, the login progress sweep, and closing.

#include "dlg_tasklist.h"
#include "mainwindow.h"
#include "mainwindow_probe.h"
#include "mainwindow_state.h"
#include "test_support.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

class ShellTest : public ::testing::Test
{
protected:
    TempHome home; // the window opens database.dat in the home directory
    MainWindow window;
    MainWindowProbe probe{ window };

    QWidget *w(const char *name) const { return probe.widget<QWidget>(name); }
    QPushButton *button(const char *name) const { return probe.widget<QPushButton>(name); }

    // Visible and enabled state of a widget as the phase table writes it: "V E", "V D", "H".
    QString stateOf(const char *name) const
    {
        QWidget *widget = w(name);
        if (!widget->isVisibleTo(&window))
            return "H";
        return widget->isEnabled() ? "V E" : "V D";
    }

    void expectStates(const std::vector<std::pair<const char *, QString>> &expected) const
    {
        for (const auto &[name, state] : expected)
            EXPECT_EQ(stateOf(name), state) << name;
    }
};

TEST_F(ShellTest, AfterConstructionShowsTheLoginPageOnly)
{
    EXPECT_EQ(window.windowTitle(), "Mirrabel v13.0.0.27");
    EXPECT_EQ(window.size(), QSize(349, 429));
    EXPECT_EQ(window.minimumSize(), QSize(349, 429));
    EXPECT_EQ(window.maximumSize(), QSize(349, 429));
    EXPECT_FALSE(window.windowIcon().isNull());

    expectStates({
            { "labelConnection", "V E" },
            { "listViewProfile", "V E" },
            { "BtnLogin", "V E" },
            { "BtnAdd", "V E" },
            { "BtnDel", "V E" },
            { "BtnEdit", "V E" },
            { "labelShare", "H" },
            { "QRadioBtnApp", "H" },
            { "QRadioBtnDesktop", "H" },
            { "lineEditApp", "H" },
            { "BtnSelectApp", "H" },
            { "BtnStop", "H" },
            { "BtnShare", "H" },
            { "BtnLogout", "H" },
            { "progressBar", "H" },
            { "labelLoginStatus", "H" },
            { "labelShareStatus", "H" },
            { "listViewForID", "H" },
    });
    EXPECT_FALSE(w("BtnSelectApp")->isEnabled());
    EXPECT_FALSE(w("BtnStop")->isEnabled());
    EXPECT_FALSE(w("lineEditApp")->isEnabled());
    EXPECT_TRUE(probe.widget<QRadioButton>("QRadioBtnDesktop")->isChecked());
    EXPECT_EQ(probe.widget<QProgressBar>("progressBar")->minimum(), 0);
    EXPECT_EQ(probe.widget<QProgressBar>("progressBar")->maximum(), 100);
    EXPECT_EQ(probe.widget<QLabel>("labelLoginStatus")->text(),
            "<font color='#F2F2F2'>Log in ...</font>");
    EXPECT_EQ(probe.widget<QLabel>("labelShareStatus")->text(),
            "<font color='#F2F2F2'>Sharing</font>");
    EXPECT_FALSE(b_loggedIn);
    EXPECT_EQ(probe.taskDialog(), nullptr);

    // Nothing polls at a high rate while the window waits: the progress bar moves only during
    // a login, and the two button flags, which the unit's messages wake, have a slow safety net.
    EXPECT_FALSE(probe.progressTimer()->isActive());
    EXPECT_EQ(probe.progressTimer()->interval(), 20);
    EXPECT_GE(probe.enableStopTimer()->interval(), 500);
    EXPECT_GE(probe.enableShareTimer()->interval(), 500);
    EXPECT_FALSE(probe.loginTimeoutTimer()->isActive());
    EXPECT_FALSE(probe.firstImgTimer()->isActive());
    EXPECT_FALSE(probe.sharedImgTimer()->isActive());
    EXPECT_EQ(probe.triggerStopTimer(), nullptr);
    EXPECT_EQ(probe.qmtManager(), nullptr);
}

TEST_F(ShellTest, FormKeepsItsGeometryAndFonts)
{
    const struct
    {
        const char *name;
        QRect geometry;
    } table[] = {
        { "listViewProfile", { 40, 120, 253, 139 } },
        { "labelConnection", { 30, 90, 276, 16 } },
        { "BtnDel", { 90, 270, 44, 31 } },
        { "BtnAdd", { 40, 270, 44, 31 } },
        { "BtnLogin", { 260, 330, 81, 81 } },
        { "BtnEdit", { 210, 270, 86, 31 } },
        { "BtnLogout", { 260, 330, 81, 81 } },
        { "BtnShare", { 60, 180, 86, 31 } },
        { "BtnStop", { 155, 180, 86, 31 } },
        { "lineEditApp", { 80, 190, 151, 20 } },
        { "BtnSelectApp", { 240, 185, 30, 26 } },
        { "QRadioBtnApp", { 60, 160, 141, 16 } },
        { "QRadioBtnDesktop", { 60, 130, 141, 31 } },
        { "labelShare", { 30, 90, 276, 16 } },
        { "progressBar", { 8, 376, 243, 20 } },
        { "labelLoginStatus", { 13, 392, 141, 31 } },
        { "labelShareStatus", { 13, 392, 131, 31 } },
        { "listViewForID", { 10, 10, 331, 71 } },
    };
    for (const auto &row : table)
        EXPECT_EQ(w(row.name)->geometry(), row.geometry) << row.name;

    EXPECT_EQ(probe.widget<QLineEdit>("lineEditApp")->maxLength(), 22);
    EXPECT_EQ(probe.widget<QRadioButton>("QRadioBtnApp")->text(), "An Application");
    EXPECT_EQ(probe.widget<QRadioButton>("QRadioBtnDesktop")->text(), "Desktop");
    for (const char *name :
            { "QRadioBtnApp", "QRadioBtnDesktop", "labelLoginStatus", "labelShareStatus" }) {
        EXPECT_EQ(w(name)->font().family(), "Corbel") << name;
        EXPECT_EQ(w(name)->font().pointSize(), 12) << name;
        EXPECT_TRUE(w(name)->font().bold()) << name;
    }
    EXPECT_FALSE(probe.widget<QLabel>("labelConnection")->pixmap().isNull());
    EXPECT_FALSE(probe.widget<QLabel>("labelShare")->pixmap().isNull());
    EXPECT_FALSE(probe.widget<QProgressBar>("progressBar")->isTextVisible());
}

TEST_F(ShellTest, LoginWaitDisablesThePageAndItsEndRestoresIt)
{
    window.beginLoginWait();
    expectStates({
            { "listViewProfile", "V D" },
            { "BtnLogin", "V D" },
            { "BtnAdd", "V D" },
            { "BtnDel", "V D" },
            { "BtnEdit", "V D" },
            { "progressBar", "V E" },
            { "labelLoginStatus", "V E" },
            { "labelShare", "H" },
    });
    EXPECT_TRUE(b_progressOn);
    EXPECT_TRUE(probe.progressTimer()->isActive());

    probe.loginTimeoutTimer()->start(30000);
    window.endLoginWait();
    expectStates({
            { "listViewProfile", "V E" },
            { "BtnLogin", "V E" },
            { "BtnAdd", "V E" },
            { "BtnDel", "V E" },
            { "BtnEdit", "V E" },
            { "progressBar", "H" },
            { "labelLoginStatus", "H" },
    });
    EXPECT_FALSE(b_progressOn);
    EXPECT_FALSE(probe.progressTimer()->isActive());
    EXPECT_FALSE(probe.loginTimeoutTimer()->isActive());
}

TEST_F(ShellTest, LoggedInPhaseShowsTheSharePageWithTheDesktopChoiceOnly)
{
    window.endLoginWait();
    window.hideLoginPage();
    window.showSharePage();
    EXPECT_TRUE(b_loggedIn);
    expectStates({
            { "labelConnection", "H" },
            { "listViewProfile", "H" },
            { "BtnLogin", "H" },
            { "BtnAdd", "H" },
            { "labelShare", "V E" },
            { "QRadioBtnDesktop", "V E" },
            { "QRadioBtnApp", "H" },
            { "lineEditApp", "H" },
            { "BtnSelectApp", "H" },
            { "BtnShare", "V E" },
            { "BtnStop", "V D" },
            { "BtnLogout", "V E" },
            { "labelShareStatus", "H" },
    });

    // Back to the login page as logout does it.
    window.hideSharePage();
    window.showLoginPage();
    EXPECT_FALSE(b_loggedIn);
    expectStates({
            { "labelConnection", "V E" },
            { "BtnLogin", "V E" },
            { "labelShare", "H" },
            { "BtnShare", "H" },
            { "BtnLogout", "H" },
    });
}

TEST_F(ShellTest, ProgressSweepsZeroToHundredAndEveryWaitStartsAtZero)
{
    auto *bar = probe.widget<QProgressBar>("progressBar");
    probe.progressTimer()->stop(); // drive the ticks by hand
    window.beginLoginWait();
    QList<int> values;
    for (int tick = 0; tick < 103; ++tick) {
        window.slotProgressBar();
        values << bar->value();
    }
    EXPECT_EQ(values.first(), 0);
    EXPECT_EQ(values.at(100), 100);
    EXPECT_EQ(values.at(101), 0) << "the bar wraps from 100 back to 0";
    EXPECT_EQ(values.at(102), 1);

    window.endLoginWait();
    for (int tick = 0; tick < 3; ++tick)
        window.slotProgressBar();
    EXPECT_EQ(bar->value(), 1) << "ticks outside a wait leave the bar alone";

    window.beginLoginWait();
    window.slotProgressBar();
    EXPECT_EQ(bar->value(), 0) << "a new wait starts at 0";
}

TEST_F(ShellTest, ShareButtonComesBackOnTheSafetyNetAfterTheFlag)
{
    window.hideLoginPage();
    window.showSharePage();
    button("BtnShare")->setEnabled(false);
    b_enableBtnShare = true;
    EXPECT_TRUE(waitUntil([&] { return button("BtnShare")->isEnabled(); }, 3s));
    EXPECT_FALSE(b_enableBtnShare) << "the slot consumes the request";
}

TEST_F(ShellTest, RadioButtonsSwitchTheShareControls)
{
    button("BtnShare")->setEnabled(false);
    window.on_QRadioBtnDesktop_clicked();
    EXPECT_TRUE(button("BtnShare")->isEnabled());
    EXPECT_FALSE(button("BtnSelectApp")->isEnabled());

    window.on_QRadioBtnApp_clicked();
    EXPECT_TRUE(button("BtnSelectApp")->isEnabled());
    EXPECT_FALSE(button("BtnShare")->isEnabled()) << "no application chosen yet";

    probe.widget<QLineEdit>("lineEditApp")->setText("Editor");
    window.on_QRadioBtnApp_clicked();
    EXPECT_TRUE(button("BtnShare")->isEnabled());
}

TEST_F(ShellTest, CloseIsRefusedWhileLoggedInAndWorksAfterLogout)
{
    window.show();
    window.hideLoginPage();
    window.showSharePage();

    BoxAnswerer boxes;
    EXPECT_FALSE(window.close());
    ASSERT_EQ(boxes.boxes().size(), 1);
    EXPECT_EQ(boxes.boxes().first().title, "Warning");
    EXPECT_EQ(boxes.boxes().first().text, "Please log out first");
    EXPECT_TRUE(window.isVisible());

    window.hideSharePage();
    window.showLoginPage();
    EXPECT_TRUE(window.close());
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(boxes.boxes().size(), 1);
}

TEST_F(ShellTest, ClosingOnTheLoginPageEndsTheEventLoopWithExitCodeZero)
{
    window.show();
    QTimer::singleShot(0, &window, [&] { window.close(); });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_FALSE(window.isVisible());
}

TEST_F(ShellTest, CloseRequestClosesTheOpenPickerEvenWhenRefused)
{
    window.show();
    window.hideLoginPage();
    window.showSharePage();
    dlgTasklist picker;
    picker.show();
    probe.setTaskDialog(&picker);

    BoxAnswerer boxes;
    EXPECT_FALSE(window.close());
    EXPECT_FALSE(picker.isVisible());
    EXPECT_TRUE(window.isVisible());
    probe.setTaskDialog(nullptr);
}

TEST_F(ShellTest, FinishedCloseEventClosesEvenWhileLoggedIn)
{
    window.show();
    window.hideLoginPage();
    window.showSharePage();
    BoxAnswerer boxes;
    window.finishedCloseEvent(nullptr);
    EXPECT_FALSE(window.isVisible());
    EXPECT_FALSE(b_loggedIn);
    EXPECT_TRUE(boxes.boxes().isEmpty());
}

} // namespace

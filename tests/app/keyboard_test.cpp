// The main window with the keyboard alone, through key events on the real window: the Tab order
// of both pages, the list selecting the row Tab reaches, Enter and Space on buttons, Ctrl+Q, and
// the profile editor modal over the window and ended with it.

#include "dialog.h"
#include "mainwindow.h"
#include "mainwindow_probe.h"
#include "qstring_printer.h"
#include "test_support.h"

#include <QApplication>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <gtest/gtest.h>

using namespace testsupport;

namespace {

class KeyboardTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        window.insertProfile("Meeting room", "127.0.0.1", "");
        window.insertProfile("Board room", "127.0.0.2", "");
        window.show();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    }

    // After a box or the editor: the desktop gives the window back its activation; the
    // offscreen platform leaves that to the test.
    void backToWindow()
    {
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    }

    // A key where the focus is, as the user presses it.
    void press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QWidget *focus = QApplication::focusWidget();
        QTest::keyClick(focus ? focus : &window, key, modifiers);
    }

    QString focusName() const
    {
        const QWidget *focus = QApplication::focusWidget();
        return focus ? focus->objectName() : QString();
    }

    // Tab until the focus reaches `name` (at most one round).
    void tabTo(const QString &name)
    {
        for (int i = 0; i < 16 && focusName() != name; ++i)
            press(Qt::Key_Tab);
        ASSERT_EQ(focusName(), name);
    }

    // Where each of `count` presses of Tab goes.
    QStringList tabWalk(int count)
    {
        QStringList names;
        for (int i = 0; i < count; ++i) {
            press(Qt::Key_Tab);
            names << focusName();
        }
        return names;
    }

    QStringList profileTitles() const
    {
        QStringList titles;
        const QAbstractItemModel *model = list->model();
        for (int row = 0; row < model->rowCount(); ++row)
            titles << model->index(row, 0).data().toString();
        return titles;
    }

    TempHome home;
    MainWindow window;
    MainWindowProbe probe{ window };
    QListView *list = probe.widget<QListView>("listViewProfile");
};

TEST_F(KeyboardTest, TabFollowsTheReadingOrderOfBothPages)
{
    tabTo("listViewProfile");
    EXPECT_EQ(tabWalk(5),
            QStringList({ "BtnAdd", "BtnDel", "BtnEdit", "BtnLogin", "listViewProfile" }));
    press(Qt::Key_Tab, Qt::ShiftModifier);
    EXPECT_EQ(focusName(), "BtnLogin");

    window.hideLoginPage();
    window.showSharePage();
    probe.widget<QPushButton>("BtnStop")->setEnabled(true);
    tabTo("QRadioBtnDesktop");
    EXPECT_EQ(tabWalk(4), QStringList({ "BtnShare", "BtnStop", "BtnLogout", "QRadioBtnDesktop" }));
}

TEST_F(KeyboardTest, ListReachedByTabHasASelectionThatButtonsAct)
{
    BoxAnswerer answerer;
    QStringList editorTitles;
    bool editorModal = false;
    answerer.dialogHandler = [&](QWidget *dialog) {
        editorTitles << dialog->findChild<QLineEdit *>("QLEditTitle")->text();
        editorModal = QApplication::activeModalWidget() == dialog
                && dialog->windowModality() == Qt::ApplicationModal;
        static_cast<QDialog *>(dialog)->reject();
        return true;
    };

    tabTo("listViewProfile");
    ASSERT_EQ(list->selectionModel()->selectedIndexes().size(), 1);
    EXPECT_EQ(list->selectionModel()->selectedIndexes().first().row(), 0);
    press(Qt::Key_Down); // the arrows move the selection
    EXPECT_EQ(list->selectionModel()->selectedIndexes().first().row(), 1);

    // Enter on Edit opens the selected profile in a modal editor.
    tabTo("BtnEdit");
    press(Qt::Key_Return);
    EXPECT_EQ(editorTitles, QStringList({ "Board room" }));
    EXPECT_TRUE(editorModal);
    backToWindow();

    // Space on Delete deletes it; Enter on Delete then asks for a selection (the list was
    // reloaded) rather than deleting anything.
    press(Qt::Key_Tab, Qt::ShiftModifier);
    ASSERT_EQ(focusName(), "BtnDel");
    press(Qt::Key_Space);
    EXPECT_EQ(profileTitles(), QStringList({ "Meeting room" }));
    press(Qt::Key_Enter);
    backToWindow();
    EXPECT_EQ(profileTitles(), QStringList({ "Meeting room" }));
    EXPECT_EQ(answerer.texts(), QStringList({ "Please select a profile to delete" }));

    // A list that already has a selection keeps it when Tab comes back.
    list->selectionModel()->clear();
    list->setCurrentIndex(list->model()->index(0, 0));
    tabTo("listViewProfile");
    EXPECT_EQ(list->selectionModel()->selectedIndexes().size(), 1);
}

TEST_F(KeyboardTest, CtrlQClosesOnlyWhenLoggedOut)
{
    BoxAnswerer answerer;
    window.hideLoginPage();
    window.showSharePage(); // logged in
    tabTo("BtnLogout");
    press(Qt::Key_Q, Qt::ControlModifier);
    EXPECT_TRUE(answerer.waitForText("Please log out first"));
    EXPECT_TRUE(window.isVisible());
    backToWindow();

    window.hideSharePage();
    window.showLoginPage();
    tabTo("BtnAdd");
    press(Qt::Key_Q, Qt::ControlModifier);
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(answerer.texts(), QStringList({ "Please log out first" }));
}

TEST_F(KeyboardTest, ClosingTheWindowEndsAnOpenEditor)
{
    // With a warning box over the editor as well: both go, and with them every window that
    // would keep the program running.
    BoxAnswerer answerer(50ms);
    bool endedWithWindow = false;
    answerer.onBox = [&](const SeenBox &) {
        window.close();
        const QWidgetList tops = QApplication::topLevelWidgets();
        endedWithWindow = std::none_of(tops.begin(), tops.end(), [](const QWidget *top) {
            return top->isVisible()
                    && (qobject_cast<const Dialog *>(top)
                            || qobject_cast<const QMessageBox *>(top));
        });
    };
    bool modal = false;
    bool typed = false;
    answerer.dialogHandler = [&](QWidget *dialog) {
        if (typed) // waits for its warning; one left over after that is rejected by the answerer
            return answerer.boxes().isEmpty();
        typed = true;
        modal = QApplication::activeModalWidget() == dialog;
        dialog->findChild<QLineEdit *>("QLEditTitle")->setText("Typed");
        // "Please fill in full IP address", after this answer (the answerer's timer does not
        // fire inside itself).
        QTimer::singleShot(0, dialog->findChild<QPushButton *>("BtnOk"), &QPushButton::click);
        return true;
    };
    tabTo("BtnAdd");
    press(Qt::Key_Space);
    EXPECT_TRUE(modal);
    EXPECT_TRUE(endedWithWindow);
    EXPECT_FALSE(window.isVisible());
    for (const QWidget *top : QApplication::topLevelWidgets())
        EXPECT_FALSE(top->isVisible()) << qPrintable(top->objectName());
    EXPECT_EQ(profileTitles(), QStringList({ "Meeting room", "Board room" }));
}

} // namespace

// The application picker over real X windows: which windows it offers and in which order, its
// form and skin, and the select button's OK and Cancel.

#include "dlg_tasklist.h"
#include "mainwindow.h"
#include "mainwindow_probe.h"
#include "mainwindow_state.h"
#include "skin.h"
#include "test_support.h"
#include "test_windows.h"

#include <QAbstractItemModel>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QRadioButton>

#include <gtest/gtest.h>

using namespace testsupport;
using testwindows::TestDisplay;
using testwindows::uniqueTitle;
using testwindows::WindowRecipe;

namespace {

class PickerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY") || !display.isOpen())
            GTEST_SKIP() << "needs an X display (run under Xvfb)";
        windowTitleList.clear();
    }

    // The entries of windowTitleList that belong to this test, in their order.
    QStringList ours() const
    {
        QStringList list;
        for (const QString &title : windowTitleList) {
            if (title.startsWith(prefix))
                list << title;
        }
        return list;
    }

    TestDisplay display;
    const QString prefix = uniqueTitle("picker");
};

TEST_F(PickerTest, OffersVisibleUnownedApplicationWindowsFrontMostFirst)
{
    const QByteArray utility = "_NET_WM_WINDOW_TYPE_UTILITY";
    const std::uint32_t owner = display.create({ .title = prefix + " owner" });
    struct Row
    {
        const char *name;
        WindowRecipe recipe;
        bool listed;
    };
    const Row rows[] = {
        { "plain", {}, true }, { "unmapped", { .mapped = false }, false },
        { "owned", { .transientFor = owner }, false },
        { "tool window alone", { .types = { utility } }, false },
        { "tool window kept above", { .types = { utility }, .states = { "_NET_WM_STATE_ABOVE" } },
                true },
        { "application window alone",
                { .types = { "_NET_WM_WINDOW_TYPE_NORMAL" }, .overrideRedirect = true }, false },
        { "popup menu", { .types = { "_NET_WM_WINDOW_TYPE_POPUP_MENU" }, .overrideRedirect = true },
                false },
        { "unowned dialog", { .types = { "_NET_WM_WINDOW_TYPE_DIALOG" } }, true },
        { "class MS-SDIa", { .wmClass = QByteArrayLiteral("x\0MS-SDIa\0") }, false },
        { "class MS-SDIb", { .wmClass = QByteArrayLiteral("x\0MS-SDIb\0") }, false },
        { "class MS-SDIab", { .wmClass = QByteArrayLiteral("x\0MS-SDIab\0") }, true },
        { "plain", {}, true }, // the same title again
    };
    QStringList expected = { prefix + " owner" };
    for (const Row &row : rows) {
        WindowRecipe recipe = row.recipe;
        recipe.title = prefix + " " + row.name;
        display.create(recipe);
        if (row.listed)
            expected.prepend(recipe.title); // each new window opens on top
    }
    display.create({ .title = QString() }); // untitled, visible, unowned

    dlgTasklist picker;
    EXPECT_EQ(ours(), expected);
    EXPECT_FALSE(windowTitleList.contains(QString())) << "an untitled window was offered";

    auto *list = picker.findChild<QListView *>("QTasklist");
    ASSERT_TRUE(list && list->model());
    QStringList shown;
    for (int row = 0; row < list->model()->rowCount(); ++row)
        shown << list->model()->index(row, 0).data().toString();
    EXPECT_EQ(shown, windowTitleList);
}

TEST_F(PickerTest, EveryPickerEnumeratesAfresh)
{
    const std::uint32_t window = display.create({ .title = prefix + " early" });
    {
        dlgTasklist picker;
        EXPECT_EQ(ours(), QStringList{ prefix + " early" });
    }
    display.destroy(window);
    display.create({ .title = prefix + " late" });
    dlgTasklist picker;
    EXPECT_EQ(ours(), QStringList{ prefix + " late" }) << "the old list was kept";
}

TEST_F(PickerTest, FormAndSkin)
{
    dlgTasklist picker;
    const QString appDir = QCoreApplication::applicationDirPath();
    EXPECT_EQ(picker.objectName(), "dlgTasklist");
    EXPECT_EQ(picker.size(), QSize(350, 290));
    EXPECT_EQ(picker.windowTitle(), "Dialog");

    auto *label = picker.findChild<QLabel *>("label");
    auto *list = picker.findChild<QListView *>("QTasklist");
    auto *ok = picker.findChild<QPushButton *>("BtnOk");
    auto *cancel = picker.findChild<QPushButton *>("BtnCancel");
    ASSERT_TRUE(label && list && ok && cancel);
    EXPECT_EQ(label->geometry(), QRect(50, 30, 261, 20));
    EXPECT_EQ(list->geometry(), QRect(50, 60, 253, 139));
    EXPECT_EQ(ok->geometry(), QRect(120, 220, 86, 31));
    EXPECT_EQ(cancel->geometry(), QRect(220, 220, 86, 31));
    EXPECT_EQ(label->pixmap().size(), QSize(277, 20)) << "title picture from the resources";

    EXPECT_TRUE(list->font().bold());
    EXPECT_FALSE(list->alternatingRowColors());
    EXPECT_FALSE(list->isWrapping());
    EXPECT_TRUE(list->wordWrap());
    EXPECT_EQ(list->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_EQ(list->styleSheet(), skin::listStyleSheet(appDir));
    EXPECT_EQ(ok->styleSheet(), skin::dialogButtonStyleSheet(appDir, "btn_ok"));
    EXPECT_EQ(cancel->styleSheet(), skin::dialogButtonStyleSheet(appDir, "btn_cancel"));
    EXPECT_TRUE(ok->styleSheet().contains(appDir + "/ui/btn_ok_down.png"));
}

TEST_F(PickerTest, SelectedTitleIsTheSelectedEntry)
{
    display.create({ .title = prefix + " one" });
    display.create({ .title = prefix + " two" });
    dlgTasklist picker;
    auto *list = picker.findChild<QListView *>("QTasklist");
    EXPECT_EQ(picker.selectedTitle(), QString());

    const int row = int(windowTitleList.indexOf(prefix + " one"));
    ASSERT_GE(row, 0);
    list->setCurrentIndex(list->model()->index(row, 0));
    EXPECT_EQ(picker.selectedTitle(), prefix + " one");

    list->clearSelection();
    EXPECT_EQ(picker.selectedTitle(), QString()) << "a current entry that is not selected";
}

// The main window with the application choice shown, as the tests drive it.
class SelectAppTest : public PickerTest
{
protected:
    void SetUp() override
    {
        PickerTest::SetUp();
        if (IsSkipped())
            return;
        strAppTitle.clear();
        window.showSharePage();
        for (const char *name : { "QRadioBtnApp", "lineEditApp", "BtnSelectApp" })
            probe.widget<QWidget>(name)->show();
        probe.widget<QRadioButton>("QRadioBtnApp")->click();
    }

    // Runs the select button with the picker answered by answer(picker).
    void select(const std::function<void(dlgTasklist &)> &answer)
    {
        answers.dialogHandler = [&](QWidget *dialog) {
            auto *picker = qobject_cast<dlgTasklist *>(dialog);
            if (!picker)
                return false;
            seenTitle = picker->windowTitle();
            seenStyleSheet = picker->styleSheet();
            seenAsTaskDialog = probe.taskDialog() == picker;
            answer(*picker);
            return true;
        };
        probe.widget<QPushButton>("BtnSelectApp")->click();
    }

    static void choose(dlgTasklist &picker, const QString &title)
    {
        auto *list = picker.findChild<QListView *>("QTasklist");
        const int row = int(windowTitleList.indexOf(title));
        ASSERT_GE(row, 0) << title.toStdString();
        list->setCurrentIndex(list->model()->index(row, 0));
    }
    static void press(dlgTasklist &picker, const char *button)
    {
        picker.findChild<QPushButton *>(button)->click();
    }

    QLineEdit *lineEdit() const { return probe.widget<QLineEdit>("lineEditApp"); }
    QPushButton *share() const { return probe.widget<QPushButton>("BtnShare"); }

    TempHome home;
    MainWindow window;
    MainWindowProbe probe{ window };
    BoxAnswerer answers;
    QString seenTitle;
    QString seenStyleSheet;
    bool seenAsTaskDialog = false;
};

TEST_F(SelectAppTest, OkWithASelectionKeepsTheWholeTitle)
{
    const QString title = prefix + " a title longer than the line edit shows";
    display.create({ .title = title });
    EXPECT_FALSE(share()->isEnabled()) << "no application chosen yet";

    select([&](dlgTasklist &picker) {
        choose(picker, title);
        press(picker, "BtnOk");
    });

    EXPECT_EQ(seenTitle, "  ");
    EXPECT_EQ(seenStyleSheet, skin::dialogStyleSheet(QCoreApplication::applicationDirPath()));
    EXPECT_TRUE(seenAsTaskDialog);
    EXPECT_EQ(probe.taskDialog(), nullptr);
    EXPECT_EQ(strAppTitle, title);
    EXPECT_EQ(lineEdit()->text(), title.left(22));
    EXPECT_TRUE(share()->isEnabled());
}

TEST_F(SelectAppTest, OkWithoutASelectionClearsTheChoice)
{
    const QString title = prefix + " chosen";
    display.create({ .title = title });
    select([&](dlgTasklist &picker) {
        choose(picker, title);
        press(picker, "BtnOk");
    });
    ASSERT_EQ(strAppTitle, title);

    select([&](dlgTasklist &picker) { press(picker, "BtnOk"); });
    EXPECT_EQ(strAppTitle, QString());
    EXPECT_EQ(lineEdit()->text(), QString());
    EXPECT_FALSE(share()->isEnabled());
}

TEST_F(SelectAppTest, CancelKeepsTheChoiceAndReevaluatesShare)
{
    const QString title = prefix + " kept";
    display.create({ .title = title });
    display.create({ .title = prefix + " other" });
    select([&](dlgTasklist &picker) {
        choose(picker, title);
        press(picker, "BtnOk");
    });
    share()->setEnabled(false);

    select([&](dlgTasklist &picker) {
        choose(picker, prefix + " other");
        press(picker, "BtnCancel");
    });
    EXPECT_EQ(strAppTitle, title);
    EXPECT_EQ(lineEdit()->text(), title.left(22));
    EXPECT_TRUE(share()->isEnabled()) << "Share follows the line edit after Cancel";
    EXPECT_EQ(probe.taskDialog(), nullptr);

    probe.widget<QRadioButton>("QRadioBtnDesktop")->click();
    EXPECT_FALSE(probe.widget<QPushButton>("BtnSelectApp")->isEnabled());
    EXPECT_EQ(strAppTitle, title) << "the desktop choice keeps the application";
}

} // namespace

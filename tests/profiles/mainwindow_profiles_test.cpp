// The main window's profile list and its add, edit and delete flows, on a real database.dat in
// a temporary home, with the editor and the message boxes answered by the test.

#include "dialog.h"
#include "file_trouble.h"
#include "mainwindow.h"
#include "mainwindow_probe.h"
#include "raw_database.h"
#include "test_support.h"
#include "typing.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QTest>

#include <deque>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

using namespace testprofiles;
using namespace testsupport;

namespace {

QString databaseFile()
{
    return QDir::homePath() + "/database.dat";
}

QStringList column(const QListView *view)
{
    QStringList values;
    if (const QAbstractItemModel *model = view->model()) {
        for (int row = 0; row < model->rowCount(); ++row)
            values << model->data(model->index(row, 0)).toString();
    }
    return values;
}

// What the editor showed when the test answered it.
struct SeenEditor
{
    QString title, ip, pw, windowTitle;
};

class ProfileWindowTest : public ::testing::Test
{
protected:
    // Rows written before the window starts, the way the earlier program wrote them.
    virtual void seed(RawDatabase &) { }
    // What happens to the file after that and before the window starts.
    virtual void beforeStart() { }

    void SetUp() override
    {
        {
            RawDatabase raw(databaseFile());
            raw.exec("CREATE TABLE Room(p_id INTEGER PRIMARY KEY, title varchar(20), ip TEXT ,pw "
                     "TEXT )");
            seed(raw);
        }
        installEditorAnswers();
        beforeStart();
        meter.start();
        window = std::make_unique<MainWindow>();
        window->show();
        startBlocked = meter.stop();
        probe = std::make_unique<MainWindowProbe>(*window);
        profileList = probe->widget<QListView>("listViewProfile");
        idList = probe->widget<QListView>("listViewForID");
    }

    void click(const char *name) { probe->widget<QPushButton>(name)->click(); }

    // Clicks a button and returns how long the window was blocked meanwhile (the time boxes
    // and editors were up does not count).
    std::chrono::milliseconds clickTimed(const char *name)
    {
        meter.start();
        click(name);
        const std::chrono::milliseconds blocked = meter.stop();
        RecordProperty(std::string(name) + "BlockedMs", int(blocked.count()));
        return blocked;
    }

    void select(int row)
    {
        const QModelIndex index = profileList->model()->index(row, 0);
        QTest::mouseClick(profileList->viewport(), Qt::LeftButton, {},
                profileList->visualRect(index).center());
        ASSERT_EQ(profileList->selectionModel()->selectedIndexes().size(), 1);
    }

    bool hasSelection() const
    {
        return profileList->selectionModel()
                && !profileList->selectionModel()->selectedIndexes().isEmpty();
    }

    // Queues the answer to the next editor: the test records what it showed, types the given
    // texts over its fields (an empty octet list keeps the address) and presses OK, or Cancel
    // when asked. An editor with no answer queued is recorded and cancelled.
    void answerEditor(
            const QString &title, const QStringList &octets, const QString &pw, bool cancel = false)
    {
        answers.push_back({ true, title, octets, pw, cancel });
    }

    // Queues pressing OK on the next editor as it shows (an editor that came back filled).
    void acceptEditorAsShown() { answers.push_back({ false, {}, {}, {}, false }); }

    void installEditorAnswers()
    {
        boxes.dialogHandler = [this](QWidget *widget) {
            auto *dialog = qobject_cast<Dialog *>(widget);
            if (!dialog)
                return false;
            seen.push_back({ dialog->getTitle(), dialog->getIP(), dialog->getPW(),
                    dialog->windowTitle() });
            if (whenEditorShows)
                whenEditorShows();
            EditorAnswer answer;
            answer.cancel = true;
            if (!answers.empty()) {
                answer = answers.front();
                answers.pop_front();
            }
            auto retype = [&](const char *name, const QString &text) {
                QLineEdit *edit = dialog->findChild<QLineEdit *>(name);
                edit->clear();
                testprofiles::typeText(edit, text);
            };
            if (answer.retype) {
                retype("QLEditTitle", answer.title);
                const char *names[] = { "QLEditIP1", "QLEditIP2", "QLEditIP3", "QLEditIP4" };
                for (int i = 0; i < answer.octets.size(); ++i)
                    retype(names[i], answer.octets.at(i));
                retype("QLEditPW", answer.pw);
            }
            dialog->findChild<QPushButton *>(answer.cancel ? "BtnCancel" : "BtnOk")->click();
            return true;
        };
    }

    struct EditorAnswer
    {
        bool retype = false;
        QString title;
        QStringList octets;
        QString pw;
        bool cancel = false;
    };

    TempHome home;
    BoxAnswerer boxes;
    std::vector<SeenEditor> seen;
    std::deque<EditorAnswer> answers;
    std::function<void()> whenEditorShows; // runs as each editor shows, before its answer
    StallMeter meter;
    std::chrono::milliseconds startBlocked{};
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<MainWindowProbe> probe;
    QListView *profileList = nullptr;
    QListView *idList = nullptr;
};

TEST(ProfileWindowStart, FirstStartCreatesTheDatabaseAndShowsEmptyLists)
{
    TempHome home;
    BoxAnswerer boxes;
    MainWindow window;
    MainWindowProbe probe(window);
    ASSERT_TRUE(QFile::exists(home.path() + "/database.dat"));
    EXPECT_TRUE(RawDatabase(home.path() + "/database.dat").tables().contains("Room"));
    EXPECT_TRUE(column(probe.widget<QListView>("listViewProfile")).isEmpty());
    EXPECT_TRUE(column(probe.widget<QListView>("listViewForID")).isEmpty());
    EXPECT_TRUE(boxes.boxes().isEmpty()) << boxes.texts().join("|").toStdString();
}

TEST(ProfileWindowStart, AnUnopenableDatabaseIsReportedAndTheWindowStillOpens)
{
    TempHome home;
    qputenv("HOME", (home.path() + "/gone").toLocal8Bit());
    BoxAnswerer boxes;
    MainWindow window;
    window.show();
    ASSERT_EQ(boxes.boxes().size(), 1);
    EXPECT_EQ(boxes.boxes().first().title, "Database Error");
    EXPECT_FALSE(boxes.boxes().first().text.isEmpty()) << "the driver's text";
    EXPECT_TRUE(window.isVisible());

    // Add still runs the editor; saving reports the same error and nothing is listed. The
    // editor then comes back with what was typed; cancelling it ends the add.
    boxes.clear();
    QStringList reopened;
    boxes.dialogHandler = [&reopened, editors = 0](QWidget *widget) mutable {
        auto *dialog = qobject_cast<Dialog *>(widget);
        if (!dialog)
            return false;
        if (++editors == 1) {
            dialog->setProfile("Lab", "10.0.0.1", "");
            dialog->findChild<QPushButton *>("BtnOk")->click();
        } else {
            reopened << dialog->getTitle() << dialog->getIP();
            dialog->findChild<QPushButton *>("BtnCancel")->click();
        }
        return true;
    };
    MainWindowProbe(window).widget<QPushButton>("BtnAdd")->click();
    ASSERT_EQ(boxes.boxes().size(), 1);
    EXPECT_EQ(boxes.boxes().first().title, "Database Error");
    EXPECT_EQ(reopened, QStringList({ "Lab", "10.0.0.1" }));
    EXPECT_TRUE(column(MainWindowProbe(window).widget<QListView>("listViewProfile")).isEmpty());
}

class StoredProfilesTest : public ProfileWindowTest
{
protected:
    void seed(RawDatabase &raw) override
    {
        raw.exec("insert into Room(p_id,title,ip ,pw) values(9,'Lab','10.0.0.9' ,'')");
        raw.exec("insert into Room(p_id,title,ip ,pw) values(3,'Board room','192.168.1.20' "
                 ",'it''''s')");
        raw.exec("insert into Room(p_id,title,ip ,pw) values(4,'No address','' ,'x')");
    }
};

TEST_F(StoredProfilesTest, LaterStartsListTheStoredRowsInPidOrder)
{
    EXPECT_EQ(column(profileList), QStringList({ "Board room", "No address", "Lab" }));
    EXPECT_EQ(column(idList), QStringList({ "3", "4", "9" }));
    EXPECT_EQ(profileList->model()->headerData(0, Qt::Horizontal).toString(), "title");
    EXPECT_EQ(idList->model()->headerData(0, Qt::Horizontal).toString(), "p_id");
    EXPECT_FALSE(idList->isVisibleTo(window.get()));
    EXPECT_TRUE(boxes.boxes().isEmpty()) << "the existing table is not an error";
}

TEST_F(StoredProfilesTest, EditShowsTheStoredTextsAndSavesTheChange)
{
    answerEditor("Board room 'B'", { "192", "168", "001", "21" }, "new''code");
    select(0);
    click("BtnEdit");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].title, "Board room");
    EXPECT_EQ(seen[0].ip, "192.168.1.20");
    EXPECT_EQ(seen[0].pw, "it''s") << "the access code shows as typed";
    EXPECT_EQ(seen[0].windowTitle, "    ");
    EXPECT_TRUE(boxes.boxes().isEmpty()) << boxes.texts().join("|").toStdString();

    EXPECT_EQ(RawDatabase(databaseFile()).rows("WHERE p_id = 3"),
            (std::vector<Row>{ { "3", "Board room 'B'", "192.168.001.21", "new''code" } }));
    EXPECT_EQ(column(profileList), QStringList({ "Board room 'B'", "No address", "Lab" }));
    EXPECT_FALSE(hasSelection()) << "the refreshed list has no selection";
}

TEST_F(StoredProfilesTest, CancelledEditChangesNothing)
{
    answerEditor("Other", {}, "other", true);
    select(2);
    click("BtnEdit");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].title, "Lab");
    EXPECT_EQ(RawDatabase(databaseFile()).rows("WHERE p_id = 9"),
            (std::vector<Row>{ { "9", "Lab", "10.0.0.9", "" } }));
}

TEST_F(StoredProfilesTest, ARowWithoutAddressOrAVanishedRowDoesNotExistForEdit)
{
    select(1); // "No address"
    click("BtnEdit");
    EXPECT_EQ(boxes.texts(), QStringList({ "This profile does not exist" }));
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(column(profileList).size(), 3) << "reloaded; the row itself stays";

    boxes.clear();
    select(2); // "Lab", removed behind the window's back
    RawDatabase(databaseFile()).exec("delete from Room where p_id=9");
    click("BtnEdit");
    EXPECT_EQ(boxes.texts(), QStringList({ "This profile does not exist" }));
    EXPECT_EQ(boxes.boxes().first().title, "Warning");
    EXPECT_EQ(column(profileList), QStringList({ "Board room", "No address" }));
    EXPECT_EQ(column(idList), QStringList({ "3", "4" }));
}

TEST_F(StoredProfilesTest, DeleteRemovesTheSelectedProfileWithoutAsking)
{
    select(1);
    click("BtnDel");
    EXPECT_TRUE(boxes.boxes().isEmpty());
    EXPECT_EQ(column(profileList), QStringList({ "Board room", "Lab" }));
    EXPECT_EQ(column(idList), QStringList({ "3", "9" }));
    EXPECT_FALSE(hasSelection());
    EXPECT_EQ(RawDatabase(databaseFile()).rows().size(), 2u);
}

TEST_F(ProfileWindowTest, DeletingTheOnlyProfileLeavesNothingToSelect)
{
    answerEditor("Only", { "10", "0", "0", "1" }, "");
    click("BtnAdd");
    ASSERT_EQ(column(profileList), QStringList({ "Only" }));

    select(0);
    click("BtnDel");
    EXPECT_TRUE(column(profileList).isEmpty());
    EXPECT_TRUE(column(idList).isEmpty());
    EXPECT_TRUE(RawDatabase(databaseFile()).rows().empty());

    click("BtnDel");
    click("BtnEdit");
    EXPECT_EQ(boxes.texts(),
            QStringList(
                    { "Please select a profile to delete", "Please select a profile to edit" }));
    EXPECT_EQ(boxes.boxes().at(0).title, "Warning");
    EXPECT_EQ(boxes.boxes().at(1).title, "Warning");
    EXPECT_EQ(seen.size(), 1u) << "no editor without a selection";
}

// Typed texts that splicing into statement text lost or bent.
const QString TypedTexts[] = {
    "O'Brien's",
    "two''apostrophes",
    "\"quoted\"",
    "back\\slash\\'",
    "a;b;",
    "'); DROP TABLE Room;--",
    "Grüße 会議室",
};

TEST_F(ProfileWindowTest, TypedTextsRoundTripThroughAddListEditAndTheFile)
{
    for (const QString &text : TypedTexts) {
        SCOPED_TRACE(text.toStdString());
        seen.clear();
        answerEditor(text, { "10", "0", "0", "7" }, text);
        click("BtnAdd");
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_TRUE(seen[0].title.isEmpty() && seen[0].pw.isEmpty()) << "add starts empty";
        EXPECT_TRUE(boxes.boxes().isEmpty()) << boxes.texts().join("|").toStdString();
        const int row = column(profileList).size() - 1;
        ASSERT_GE(row, 0);
        EXPECT_EQ(column(profileList).at(row), text);
        const QString id = column(idList).at(row);
        EXPECT_EQ(RawDatabase(databaseFile()).rows("WHERE p_id = " + id),
                (std::vector<Row>{ { id, text, "10.0.0.7", text } }));

        // The editor shows it back as typed; saving it with a change keeps it exact.
        const QString edited = text + " '2'";
        answerEditor(edited, {}, edited + "'");
        select(row);
        click("BtnEdit");
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[1].title, text);
        EXPECT_EQ(seen[1].pw, text);
        EXPECT_EQ(seen[1].ip, "10.0.0.7");
        EXPECT_EQ(column(profileList).at(row), edited);
        EXPECT_EQ(RawDatabase(databaseFile()).rows("WHERE p_id = " + id),
                (std::vector<Row>{ { id, edited, "10.0.0.7", edited + "'" } }));
    }
    EXPECT_EQ(RawDatabase(databaseFile()).rows().size(), std::size(TypedTexts));
}

TEST_F(ProfileWindowTest, ARefusedInsertSaysDatabaseErrorInsteadOfLosingTheProfile)
{
    RawDatabase(databaseFile())
            .exec("CREATE TRIGGER refuse BEFORE INSERT ON Room BEGIN SELECT RAISE(ABORT, 'disk "
                  "says no'); END");
    answerEditor("Lost?", { "10", "0", "0", "1" }, "");
    click("BtnAdd");
    ASSERT_EQ(boxes.boxes().size(), 1);
    EXPECT_EQ(boxes.boxes().first().title, "Database Error");
    EXPECT_TRUE(boxes.boxes().first().text.contains("disk says no"))
            << boxes.boxes().first().text.toStdString();
    EXPECT_TRUE(column(profileList).isEmpty());
    ASSERT_EQ(seen.size(), 2u) << "the editor comes back with the refused profile";
    EXPECT_EQ(seen[1].title, "Lost?");
    EXPECT_EQ(seen[1].ip, "10.0.0.1");
}

TEST_F(ProfileWindowTest, ARefusedUpdateSaysDatabaseError)
{
    answerEditor("Kept", { "10", "0", "0", "1" }, "");
    click("BtnAdd");
    RawDatabase(databaseFile())
            .exec("CREATE TRIGGER refuse BEFORE UPDATE ON Room BEGIN SELECT RAISE(ABORT, 'read "
                  "only today'); END");
    answerEditor("Changed", {}, "");
    select(0);
    click("BtnEdit");
    ASSERT_EQ(boxes.boxes().size(), 1);
    EXPECT_EQ(boxes.boxes().first().title, "Database Error");
    EXPECT_TRUE(boxes.boxes().first().text.contains("read only today"));
    EXPECT_EQ(column(profileList), QStringList({ "Kept" }));
    ASSERT_EQ(seen.size(), 3u) << "the editor comes back with the refused change";
    EXPECT_EQ(seen[2].title, "Changed");
}

// The stored profiles while another connection holds database.dat locked in the middle of a
// write, or with the table's page damaged on disk. Every click gives up after about a second
// with the driver's text, keeps the list that was shown, never loses what was typed and
// leaves every byte of the file as it was.
class TroubledWindowTest : public StoredProfilesTest
{
protected:
    const QStringList shownTitles = { "Board room", "No address", "Lab" };

    void lockFile()
    {
        before = fileBytes(databaseFile());
        lock = std::make_unique<FileLock>(databaseFile());
    }

    void expectOneBox(const QString &driverText)
    {
        ASSERT_EQ(boxes.boxes().size(), 1) << boxes.texts().join("|").toStdString();
        EXPECT_EQ(boxes.boxes().first().title, "Database Error");
        EXPECT_TRUE(boxes.boxes().first().text.contains(driverText))
                << boxes.boxes().first().text.toStdString();
    }

    QByteArray before;
    std::unique_ptr<FileLock> lock;
};

TEST_F(TroubledWindowTest, AddWhileLockedBringsTheTypedProfileBackUntilTheFileIsFree)
{
    lockFile();
    answerEditor("New room", { "10", "0", "0", "5" }, "c'de");
    acceptEditorAsShown();
    QStringList listWhileLocked;
    whenEditorShows = [&] {
        if (seen.size() != 2)
            return;
        // The add failed: the list still shows what it showed, the file is as it was.
        listWhileLocked = column(profileList);
        EXPECT_EQ(fileBytes(databaseFile()), before);
        lock->release();
    };
    EXPECT_LT(clickTimed("BtnAdd"), 3s) << "the driver's own wait froze the window for 15 s";

    expectOneBox("database is locked");
    EXPECT_EQ(listWhileLocked, shownTitles) << "a failed refresh emptied the list";
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].title, "New room");
    EXPECT_EQ(seen[1].ip, "10.0.0.5");
    EXPECT_EQ(seen[1].pw, "c'de");
    EXPECT_EQ(seen[1].windowTitle, "    ");

    // OK on the editor that came back saved it, once the lock was gone.
    EXPECT_EQ(column(profileList), shownTitles + QStringList({ "New room" }));
    EXPECT_EQ(RawDatabase(databaseFile()).rows("WHERE title = 'New room'"),
            (std::vector<Row>{ { "10", "New room", "10.0.0.5", "c'de" } }));
}

TEST_F(TroubledWindowTest, EditAndDeleteWhileLockedKeepTheListAndSayWhy)
{
    select(0);
    lockFile();
    EXPECT_LT(clickTimed("BtnEdit"), 3s);
    expectOneBox("database is locked");
    EXPECT_TRUE(seen.empty()) << "not \"This profile does not exist\", and no editor";
    EXPECT_EQ(column(profileList), shownTitles) << "a failed refresh emptied the list";
    EXPECT_EQ(column(idList), QStringList({ "3", "4", "9" }));

    boxes.clear();
    select(2);
    EXPECT_LT(clickTimed("BtnDel"), 3s);
    expectOneBox("database is locked");
    EXPECT_EQ(column(profileList), shownTitles);
    lock->release();
    EXPECT_EQ(fileBytes(databaseFile()), before);

    boxes.clear();
    select(2);
    click("BtnDel");
    EXPECT_TRUE(boxes.boxes().isEmpty()) << boxes.texts().join("|").toStdString();
    EXPECT_EQ(column(profileList), QStringList({ "Board room", "No address" }));
}

TEST_F(TroubledWindowTest, AnEditSavedWhileTheFileIsLockedComesBackAsTyped)
{
    // The file is free when the editor opens and locked by the time OK is pressed.
    answerEditor("Board room B", { "192", "168", "1", "21" }, "n3w");
    whenEditorShows = [&] {
        if (seen.size() == 1)
            lockFile();
    };
    select(0);
    EXPECT_LT(clickTimed("BtnEdit"), 3s);
    expectOneBox("database is locked");
    ASSERT_EQ(seen.size(), 2u) << "the editor comes back, then is cancelled";
    EXPECT_EQ(seen[0].title, "Board room");
    EXPECT_EQ(seen[1].title, "Board room B");
    EXPECT_EQ(seen[1].ip, "192.168.1.21");
    EXPECT_EQ(seen[1].pw, "n3w");
    EXPECT_EQ(column(profileList), shownTitles);

    lock->release();
    EXPECT_EQ(fileBytes(databaseFile()), before) << "the cancelled change never reached the file";
}

class LockedAtStartTest : public TroubledWindowTest
{
protected:
    void beforeStart() override { lockFile(); }
};

TEST_F(LockedAtStartTest, TheWindowOpensSoonSaysWhyAndListsEverythingOnceTheFileIsFree)
{
    RecordProperty("startBlockedMs", int(startBlocked.count()));
    EXPECT_LT(startBlocked, 3s) << "the driver's own wait kept the window away for 20 s";
    expectOneBox("database is locked");
    EXPECT_TRUE(column(profileList).isEmpty());
    lock->release();
    EXPECT_EQ(fileBytes(databaseFile()), before);

    // The next add finds every stored profile again.
    answerEditor("New", { "10", "0", "0", "5" }, "");
    click("BtnAdd");
    EXPECT_EQ(column(profileList), shownTitles + QStringList({ "New" }));
}

class DamagedAtStartTest : public TroubledWindowTest
{
protected:
    void beforeStart() override
    {
        damagePage(databaseFile(), fileLayout(databaseFile()).roomRootPage);
        before = fileBytes(databaseFile());
    }
};

TEST_F(DamagedAtStartTest, TheDamageIsReportedAndTheFileIsNeverWritten)
{
    RecordProperty("startBlockedMs", int(startBlocked.count()));
    EXPECT_LT(startBlocked, 3s);
    expectOneBox("database disk image is malformed");
    EXPECT_TRUE(column(profileList).isEmpty());

    // Adding is refused the same way; the editor comes back as typed and is cancelled.
    boxes.clear();
    answerEditor("New", { "10", "0", "0", "5" }, "pw");
    click("BtnAdd");
    expectOneBox("database disk image is malformed");
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].title, "New");
    EXPECT_EQ(seen[1].ip, "10.0.0.5");
    EXPECT_EQ(seen[1].pw, "pw");

    window.reset();
    EXPECT_EQ(fileBytes(databaseFile()), before);
    EXPECT_FALSE(QFile::exists(databaseFile() + "-journal"));
}

} // namespace

// The profile store on a real database.dat in a temporary home directory, checked through a
// second, independent connection on the same file.

#include "file_trouble.h"
#include "profile_store.h"
#include "raw_database.h"
#include "test_support.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>

#include <atomic>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace testprofiles;
using testsupport::TempHome;

namespace {

QStringList column(const QAbstractItemModel &model)
{
    QStringList values;
    for (int row = 0; row < model.rowCount(); ++row)
        values << model.data(model.index(row, 0)).toString();
    return values;
}

class ProfileStoreTest : public ::testing::Test
{
protected:
    // The window always loads the list first: that creates the file and the table.
    void SetUp() override
    {
        const profiles::StoreResult loaded = profiles::loadProfileList();
        ASSERT_TRUE(loaded.opened) << loaded.openError.toStdString();
    }

    TempHome home;
};

TEST_F(ProfileStoreTest, FirstStartCreatesTheFileAndAnEmptyTable)
{
    EXPECT_EQ(profiles::databasePath(), home.path() + "/database.dat");
    ASSERT_TRUE(QFile::exists(home.path() + "/database.dat"));

    RawDatabase raw(profiles::databasePath());
    EXPECT_EQ(raw.schema(), profiles::CreateRoomStatement);
    EXPECT_TRUE(raw.rows().empty());

    const profiles::StoreResult again = profiles::loadProfileList();
    EXPECT_TRUE(again.statementOk) << "an existing table is not an error";
    EXPECT_TRUE(again.statementError.isEmpty());
    ASSERT_TRUE(again.lists.titles && again.lists.ids);
    EXPECT_EQ(again.lists.titles->rowCount(), 0);
    EXPECT_EQ(again.lists.ids->rowCount(), 0);
    EXPECT_EQ(again.lists.titles->headerData(0, Qt::Horizontal).toString(), "title");
    EXPECT_EQ(again.lists.ids->headerData(0, Qt::Horizontal).toString(), "p_id");
}

TEST_F(ProfileStoreTest, ListsStoredRowsInPidOrderAsTwoParallelLists)
{
    {
        RawDatabase raw(profiles::databasePath());
        raw.exec("insert into Room(p_id,title,ip,pw) values(7,'Zulu','10.0.0.7','a')");
        raw.exec("insert into Room(p_id,title,ip,pw) values(2,'Mike','10.0.0.2','b')");
        raw.exec("insert into Room(p_id,title,ip,pw) values(5,'Alpha','10.0.0.5','c')");
        // An index on the title must not reorder one list against the other.
        raw.exec("CREATE INDEX byTitle ON Room(title)");
    }
    const profiles::StoreResult loaded = profiles::loadProfileList();
    ASSERT_TRUE(loaded.opened);
    EXPECT_EQ(column(*loaded.lists.titles), QStringList({ "Mike", "Alpha", "Zulu" }));
    EXPECT_EQ(column(*loaded.lists.ids), QStringList({ "2", "5", "7" }));
    EXPECT_EQ(profiles::profileIdAt(*loaded.lists.ids, 1), "5");
    EXPECT_EQ(profiles::profileIdAt(*loaded.lists.ids, 3), "");
    EXPECT_EQ(profiles::profileIdAt(*loaded.lists.ids, -1), "");
}

TEST_F(ProfileStoreTest, ListsEveryRowOfALongListAfterTheConnectionClosed)
{
    {
        RawDatabase raw(profiles::databasePath());
        raw.exec("BEGIN");
        for (int i = 1; i <= 300; ++i)
            raw.insertAsBefore(QString("Room %1").arg(i), "10.0.0.1", "");
        raw.exec("COMMIT");
    }
    const profiles::StoreResult loaded = profiles::loadProfileList();
    ASSERT_EQ(loaded.lists.titles->rowCount(), 300) << "rows beyond the first fetch were lost";
    ASSERT_EQ(loaded.lists.ids->rowCount(), 300);
    EXPECT_EQ(loaded.lists.titles->data(loaded.lists.titles->index(299, 0)).toString(), "Room 300");
    EXPECT_EQ(profiles::profileIdAt(*loaded.lists.ids, 299), "300");
}

// Texts that broke or bent statements built by splicing values between apostrophes.
const QString HostileTexts[] = {
    "O'Brien's room",
    "two''in a row",
    "'",
    "say \"hello\"",
    "back\\slash \\' \\\\",
    "semi;colon; ;",
    "'); DROP TABLE Room;--",
    "x' OR '1'='1",
    "Grüße, 会議室 Ωμέγα 🎥",
    "  leading and trailing blanks  ",
    "%1 %2 ?",
};

class HostileTextTest : public ProfileStoreTest, public ::testing::WithParamInterface<QString>
{
};

TEST_P(HostileTextTest, RoundTripsExactlyThroughInsertListReadAndUpdate)
{
    const QString text = GetParam();
    const profiles::StoreResult inserted = profiles::insertProfile({ {}, text, "10.1.2.3", text });
    ASSERT_TRUE(inserted.statementOk) << inserted.statementError.toStdString();
    EXPECT_EQ(column(*inserted.lists.titles), QStringList({ text }));
    const QString id = profiles::profileIdAt(*inserted.lists.ids, 0);

    {
        RawDatabase raw(profiles::databasePath());
        EXPECT_EQ(raw.rows(), (std::vector<Row>{ { id, text, "10.1.2.3", text } }));
        EXPECT_TRUE(raw.tables().contains("Room"));
    }

    const profiles::ReadResult read = profiles::readProfile(id);
    ASSERT_TRUE(read.opened && read.profile);
    EXPECT_EQ(read.profile->title, text);
    EXPECT_EQ(read.profile->pw, text);

    const QString edited = text + "'\"";
    const profiles::StoreResult updated =
            profiles::updateProfile({ id, edited, "192.168.001.020", edited });
    ASSERT_TRUE(updated.statementOk) << updated.statementError.toStdString();
    EXPECT_EQ(column(*updated.lists.titles), QStringList({ edited }));
    RawDatabase raw(profiles::databasePath());
    EXPECT_EQ(raw.rows(), (std::vector<Row>{ { id, edited, "192.168.001.020", edited } }));
}

INSTANTIATE_TEST_SUITE_P(Texts, HostileTextTest, ::testing::ValuesIn(HostileTexts));

TEST_F(ProfileStoreTest, ReadsAndEditsRowsWrittenByTheEarlierProgram)
{
    {
        RawDatabase raw(profiles::databasePath());
        raw.insertAsBefore("Board room", "192.168.1.20", "it''s 'me'");
        raw.insertAsBefore("Lab", "10.0.0.9", "");
    }
    const profiles::ReadResult first = profiles::readProfile("1");
    ASSERT_TRUE(first.profile);
    EXPECT_EQ(
            *first.profile, (profiles::Profile{ "1", "Board room", "192.168.1.20", "it''s 'me'" }))
            << "an access code is read back as it was typed";

    ASSERT_TRUE(profiles::updateProfile({ "2", "Lab 2", "10.0.0.10", "o'k" }).statementOk);

    // What the earlier program's own read of one profile finds in our row.
    RawDatabase raw(profiles::databasePath());
    EXPECT_EQ(raw.rows("WHERE p_id = '2'"),
            (std::vector<Row>{ { "2", "Lab 2", "10.0.0.10", "o'k" } }));
    EXPECT_EQ(raw.rows("WHERE p_id = '1'").size(), 1u) << "the other row is untouched";
}

TEST_F(ProfileStoreTest, DeletesOnlyTheGivenRow)
{
    profiles::insertProfile({ {}, "A", "1.1.1.1", "" });
    profiles::insertProfile({ {}, "B", "2.2.2.2", "" });
    const profiles::StoreResult afterFirst = profiles::deleteProfile("1");
    EXPECT_EQ(column(*afterFirst.lists.titles), QStringList({ "B" }));
    const profiles::StoreResult afterLast = profiles::deleteProfile("2");
    EXPECT_TRUE(afterLast.statementOk);
    EXPECT_EQ(afterLast.lists.titles->rowCount(), 0);
    EXPECT_EQ(afterLast.lists.ids->rowCount(), 0);
    EXPECT_TRUE(RawDatabase(profiles::databasePath()).rows().empty());
}

TEST_F(ProfileStoreTest, ReadsAMissingRowAsAbsentAndEmptyColumnsAsEmptyTexts)
{
    {
        RawDatabase raw(profiles::databasePath());
        raw.exec("insert into Room(title,ip ,pw) values('No address','' ,'x')");
        raw.exec("insert into Room(title) values('Nulls')");
    }
    EXPECT_FALSE(profiles::readProfile("3").profile);
    EXPECT_FALSE(profiles::readProfile("1' OR '1'='1").profile);
    const profiles::ReadResult noAddress = profiles::readProfile("1");
    ASSERT_TRUE(noAddress.profile);
    EXPECT_EQ(noAddress.profile->ip, "");
    const profiles::ReadResult nulls = profiles::readProfile("2");
    ASSERT_TRUE(nulls.profile);
    EXPECT_EQ(nulls.profile->ip, "");
    EXPECT_EQ(nulls.profile->pw, "");
}

TEST_F(ProfileStoreTest, ReportsAStatementTheDatabaseRefusesWithTheDriversText)
{
    profiles::insertProfile({ {}, "Kept", "1.1.1.1", "" });
    RawDatabase(profiles::databasePath())
            .exec("CREATE TRIGGER refuse BEFORE UPDATE ON Room BEGIN SELECT RAISE(ABORT, 'no "
                  "changes today'); END");
    const profiles::StoreResult updated = profiles::updateProfile({ "1", "Lost", "2.2.2.2", "" });
    EXPECT_TRUE(updated.opened);
    EXPECT_FALSE(updated.statementOk);
    EXPECT_TRUE(updated.statementError.contains("no changes today"))
            << updated.statementError.toStdString();
    EXPECT_EQ(column(*updated.lists.titles), QStringList({ "Kept" })) << "the lists still refresh";

    RawDatabase(profiles::databasePath()).exec("DROP TABLE Room");
    const profiles::StoreResult inserted = profiles::insertProfile({ {}, "T", "1.1.1.1", "" });
    EXPECT_FALSE(inserted.statementOk);
    EXPECT_TRUE(inserted.statementError.contains("Room")) << inserted.statementError.toStdString();
}

TEST(ProfileStoreUnopenable, EveryOperationSaysTheFileCouldNotBeOpened)
{
    TempHome home;
    qputenv("HOME", (home.path() + "/no/such/home").toLocal8Bit());
    const profiles::StoreResult loaded = profiles::loadProfileList();
    EXPECT_FALSE(loaded.opened);
    EXPECT_FALSE(loaded.openError.isEmpty());
    EXPECT_FALSE(loaded.lists.titles);
    EXPECT_FALSE(profiles::insertProfile({ {}, "T", "1.1.1.1", "" }).opened);
    EXPECT_FALSE(profiles::deleteProfile("1").opened);
    const profiles::ReadResult read = profiles::readProfile("1");
    EXPECT_FALSE(read.opened);
    EXPECT_FALSE(read.openError.isEmpty());
    EXPECT_FALSE(read.profile);
    EXPECT_FALSE(QDir(home.path() + "/no").exists()) << "nothing is created on the way";
}

TEST(ProfileStoreUnopenable, ACorruptFileIsReportedNotListedAsEmpty)
{
    TempHome home;
    QFile file(home.path() + "/database.dat");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(4096, 'x'));
    file.close();
    const profiles::StoreResult loaded = profiles::loadProfileList();
    if (loaded.opened) {
        EXPECT_FALSE(loaded.statementOk);
        EXPECT_FALSE(loaded.statementError.isEmpty());
    } else {
        EXPECT_FALSE(loaded.openError.isEmpty());
    }
}

// The two ways a database.dat that opens can still not be read: another connection holds it
// locked in the middle of a write, or the table's page is damaged on disk.
enum class Trouble { Locked, DamagedTable };

std::string troubleName(const ::testing::TestParamInfo<Trouble> &info)
{
    return info.param == Trouble::Locked ? "Locked" : "DamagedTable";
}

// The driver's text the user gets to see: the first thing that went wrong.
QString shownError(const profiles::StoreResult &result)
{
    for (const QString &text : { result.openError, result.statementError, result.listError }) {
        if (!text.isEmpty())
            return text;
    }
    return QString();
}

class TroubledFileTest : public ProfileStoreTest, public ::testing::WithParamInterface<Trouble>
{
protected:
    void SetUp() override
    {
        ProfileStoreTest::SetUp();
        {
            RawDatabase raw(profiles::databasePath());
            raw.insertAsBefore("Board room", "192.168.1.20", "it's");
            raw.insertAsBefore("Lab", "10.0.0.9", "");
            stored = raw.rows();
        }
        if (GetParam() == Trouble::Locked)
            lock = std::make_unique<FileLock>(profiles::databasePath());
        else
            damagePage(profiles::databasePath(), fileLayout(profiles::databasePath()).roomRootPage);
        before = fileBytes(profiles::databasePath());
    }

    QString expectedText() const
    {
        return GetParam() == Trouble::Locked ? "database is locked"
                                             : "database disk image is malformed";
    }

    std::vector<Row> stored;
    std::unique_ptr<FileLock> lock;
    QByteArray before;
};

TEST_P(TroubledFileTest, EveryOperationGivesUpWithTheDriversTextSoonAndWritesNothing)
{
    struct Operation
    {
        const char *name;
        std::function<profiles::StoreResult()> run;
    };
    const Operation operations[] = {
        { "load", [] { return profiles::loadProfileList(); } },
        { "insert",
                [] {
                    return profiles::insertProfile({ {}, "New", "10.0.0.5", "x" });
                } },
        { "update",
                [] {
                    return profiles::updateProfile({ "1", "Changed", "10.0.0.6", "" });
                } },
        { "delete", [] { return profiles::deleteProfile("2"); } },
    };
    qint64 longestMs = 0;
    for (const Operation &operation : operations) {
        SCOPED_TRACE(operation.name);
        QElapsedTimer clock;
        clock.start();
        const profiles::StoreResult result = operation.run();
        longestMs = std::max(longestMs, clock.elapsed());
        EXPECT_LT(clock.elapsed(), 3000) << "the driver's own wait is 5 s per statement";
        EXPECT_TRUE(result.opened) << "opening touches no page";
        EXPECT_TRUE(shownError(result).contains(expectedText()))
                << shownError(result).toStdString();
        EXPECT_FALSE(result.listsRead()) << "an unreadable list must not pass for an empty one";
        EXPECT_TRUE(result.listError.contains(expectedText()));
        if (std::string_view(operation.name) != "load") {
            EXPECT_FALSE(result.statementOk);
        }
    }

    QElapsedTimer clock;
    clock.start();
    const profiles::ReadResult read = profiles::readProfile("1");
    longestMs = std::max(longestMs, clock.elapsed());
    EXPECT_FALSE(read.opened) << "a profile that may exist is not reported as missing";
    EXPECT_TRUE(read.openError.contains(expectedText())) << read.openError.toStdString();
    EXPECT_FALSE(read.profile);
    RecordProperty("longestOperationMs", int(longestMs));

    EXPECT_EQ(fileBytes(profiles::databasePath()), before);
    if (lock) {
        lock->release();
        EXPECT_EQ(fileBytes(profiles::databasePath()), before);
        EXPECT_EQ(RawDatabase(profiles::databasePath()).rows(), stored)
                << "nothing was half done while the file was locked";
        const profiles::StoreResult loaded = profiles::loadProfileList();
        ASSERT_TRUE(loaded.listsRead()) << loaded.listError.toStdString();
        EXPECT_EQ(column(*loaded.lists.titles), QStringList({ "Board room", "Lab" }));
    } else {
        EXPECT_FALSE(QFile::exists(profiles::databasePath() + "-journal"));
    }
}

INSTANTIATE_TEST_SUITE_P(Files, TroubledFileTest,
        ::testing::Values(Trouble::Locked, Trouble::DamagedTable), troubleName);

TEST_F(ProfileStoreTest, AListCutShortByADamagedLaterPageIsNotPassedOffAsTheWholeList)
{
    {
        RawDatabase raw(profiles::databasePath());
        raw.exec("BEGIN");
        for (int i = 1; i <= 1000; ++i)
            raw.insertAsBefore(QString("Room %1").arg(i), "10.0.0.1", "");
        raw.exec("COMMIT");
    }
    // The last page holds the last rows: the first few hundred still read fine.
    damagePage(profiles::databasePath(), fileLayout(profiles::databasePath()).pageCount);
    const profiles::StoreResult loaded = profiles::loadProfileList();
    EXPECT_TRUE(loaded.opened);
    EXPECT_FALSE(loaded.listsRead());
    EXPECT_TRUE(loaded.listError.contains("malformed")) << loaded.listError.toStdString();
}

// The file under the usual umask, as a user's first start and an earlier version leave it.
class ProfileFileModeTest : public ::testing::Test
{
protected:
    ProfileFileModeTest() : oldMask(::umask(022)) { }
    ~ProfileFileModeTest() override { ::umask(oldMask); }

    static mode_t modeOf(const QString &path)
    {
        struct stat status = {};
        EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &status), 0) << path.toStdString();
        return status.st_mode & 07777;
    }

    const mode_t oldMask;
    TempHome home;
};

TEST_F(ProfileFileModeTest, TheFileAndItsJournalAreMadeForTheOwnerOnly)
{
    ASSERT_TRUE(profiles::loadProfileList().opened);
    EXPECT_EQ(modeOf(profiles::databasePath()), 0600u);
    ASSERT_TRUE(profiles::insertProfile({ QString(), "Lab", "10.0.0.9", "4711" }).statementOk);
    EXPECT_EQ(modeOf(profiles::databasePath()), 0600u);

    // The journal of a write in progress holds the pages it changes, access codes among them.
    RawDatabase raw(profiles::databasePath());
    raw.exec("BEGIN");
    raw.exec("UPDATE Room SET pw = '0815'");
    ASSERT_TRUE(QFile::exists(profiles::databasePath() + "-journal"));
    EXPECT_EQ(modeOf(profiles::databasePath() + "-journal"), 0600u);
    raw.exec("ROLLBACK");
}

std::atomic<int> narrowedLines = 0;
QtMessageHandler previousHandler = nullptr;

void countNarrowedLines(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtInfoMsg && qstrcmp(context.category, "tandeo.profiles") == 0
            && text.contains("database.dat"))
        ++narrowedLines;
    previousHandler(type, context, text);
}

TEST_F(ProfileFileModeTest, AFileOthersCanReadIsNarrowedOnceAndKeepsItsRows)
{
    {
        // An earlier version let SQLite make the file: 0644 under this umask.
        RawDatabase raw(profiles::databasePath());
        raw.exec(profiles::CreateRoomStatement);
        raw.insertAsBefore("Board room", "192.168.001.040", "1234");
    }
    ASSERT_EQ(modeOf(profiles::databasePath()), 0644u);

    QLoggingCategory::setFilterRules("tandeo.profiles.info=true");
    narrowedLines = 0;
    previousHandler = qInstallMessageHandler(countNarrowedLines);
    const profiles::StoreResult first = profiles::loadProfileList();
    const profiles::StoreResult second = profiles::loadProfileList();
    qInstallMessageHandler(previousHandler);
    QLoggingCategory::setFilterRules(QString());

    EXPECT_EQ(modeOf(profiles::databasePath()), 0600u);
    EXPECT_EQ(narrowedLines, 1);
    ASSERT_TRUE(first.listsRead() && second.listsRead());
    EXPECT_EQ(column(*second.lists.titles), QStringList({ "Board room" }));
    EXPECT_EQ(RawDatabase(profiles::databasePath()).rows(),
            (std::vector<Row>{ { "1", "Board room", "192.168.001.040", "1234" } }));
}

} // namespace

#include "profile_store.h"

#include "profiles_log.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace profiles {

namespace {

// The default connection, registered with the SQLite driver the first time it is needed and
// reused afterwards: registering it again would cut the list models off their results.
QSqlDatabase defaultConnection()
{
    const QString name = QString::fromLatin1(QSqlDatabase::defaultConnection);
    if (QSqlDatabase::contains(name)) {
        QSqlDatabase db = QSqlDatabase::database(name, false);
        if (db.driverName() == QLatin1String("QSQLITE"))
            return db;
    }
    return QSqlDatabase::addDatabase("QSQLITE");
}

// The file keeps access codes in plain text, so only its owner may read it. It is made here,
// empty and with mode 0600, before SQLite opens it; SQLite gives its journal the mode of the
// database file. A file that others can read (made by an earlier version) is narrowed to its
// owner. When the file cannot be opened at all, SQLite's open says why.
void keepFileToOwner(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0)
        return;
    struct stat status = {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)
            && (status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        const mode_t narrowed = status.st_mode & S_IRWXU;
        if (::fchmod(fd, narrowed) == 0)
            qCInfo(lcProfiles, "%s was readable by others; now mode %o, its owner's only",
                    name.constData(), unsigned(narrowed));
        else
            qCWarning(lcProfiles, "%s is readable by others and stays so: %s", name.constData(),
                    std::strerror(errno));
    }
    ::close(fd);
}

// How long one operation may wait in all for another connection to let go of the file. The
// driver's own default is five seconds per statement, and an operation runs up to four.
constexpr int BusyWaitMs = 1000;

// The connection opened on database.dat for the length of one operation; closed when it goes
// out of scope, after the queries declared below it.
class OpenDatabase
{
public:
    OpenDatabase() : m_db(defaultConnection()), m_waitLeft(BusyWaitMs)
    {
        keepFileToOwner(databasePath());
        m_db.setDatabaseName(databasePath());
        m_db.setConnectOptions(QString("QSQLITE_BUSY_TIMEOUT=%1").arg(BusyWaitMs));
        m_opened = m_db.open();
        if (!m_opened)
            m_error = m_db.lastError().text();
    }
    ~OpenDatabase() { m_db.close(); }
    OpenDatabase(const OpenDatabase &) = delete;
    OpenDatabase &operator=(const OpenDatabase &) = delete;

    bool opened() const { return m_opened; }
    QString error() const { return m_error; }
    const QSqlDatabase &db() const { return m_db; }

    // Call before each statement: lets it wait for a lock only as long as the operation has
    // left, so the waits of several statements add up to BusyWaitMs at most. Setting the
    // wait touches no page of the file.
    void limitWait()
    {
        const qint64 left = std::max<qint64>(0, m_waitLeft.remainingTime());
        if (left >= m_busyTimeoutMs)
            return;
        QSqlQuery pragma(m_db);
        if (pragma.exec(QString("PRAGMA busy_timeout = %1").arg(left)))
            m_busyTimeoutMs = left;
    }

private:
    QSqlDatabase m_db;
    QDeadlineTimer m_waitLeft;
    qint64 m_busyTimeoutMs = BusyWaitMs;
    bool m_opened = false;
    QString m_error;
};

// One list of the main window. The whole result is fetched now: the connection closes right
// after the refresh and rows not yet fetched could not be read any more. Both lists are read
// in p_id order so that row n of one is row n of the other, whatever indexes the file holds.
// Null, with the driver's text in `error`, when the rows could not all be read: a list cut
// short by a damaged page or a lock must not pass for the whole list.
std::unique_ptr<QSqlQueryModel> readList(OpenDatabase &database, const char *column, QString &error)
{
    database.limitWait();
    auto model = std::make_unique<QSqlQueryModel>();
    model->setQuery(
            QString("SELECT %1 FROM Room ORDER BY p_id").arg(QLatin1String(column)), database.db());
    while (model->canFetchMore())
        model->fetchMore();
    // A failure while fetching later rows only shows on the query the model holds.
    QSqlError failure = model->lastError();
    if (!failure.isValid())
        failure = model->query().lastError();
    if (failure.isValid()) {
        error = failure.text();
        qCWarning(lcProfiles) << "list" << column << error;
        return nullptr;
    }
    model->setHeaderData(0, Qt::Horizontal, QString::fromLatin1(column), Qt::EditRole);
    return model;
}

// Both lists, or neither with the driver's text in `result.listError`.
void readLists(OpenDatabase &database, StoreResult &result)
{
    auto titles = readList(database, "title", result.listError);
    if (!titles)
        return;
    auto ids = readList(database, "p_id", result.listError);
    if (!ids)
        return;
    result.lists = { std::move(titles), std::move(ids) };
}

// Runs one statement with its values bound in order, then refreshes the lists.
StoreResult change(const char *statement, const QVariantList &values)
{
    StoreResult result;
    OpenDatabase database;
    if (!database.opened()) {
        result.openError = database.error();
        return result;
    }
    result.opened = true;
    {
        database.limitWait();
        QSqlQuery query(database.db());
        result.statementOk = query.prepare(QString::fromLatin1(statement));
        if (result.statementOk) {
            for (const QVariant &value : values)
                query.addBindValue(value);
            result.statementOk = query.exec();
        }
        if (!result.statementOk) {
            result.statementError = query.lastError().text();
            qCWarning(lcProfiles) << statement << "refused:" << result.statementError;
        }
    }
    readLists(database, result);
    return result;
}

} // namespace

QString databasePath()
{
    return QDir::homePath() + "/database.dat";
}

StoreResult loadProfileList()
{
    StoreResult result;
    OpenDatabase database;
    if (!database.opened()) {
        result.openError = database.error();
        return result;
    }
    result.opened = true;
    {
        database.limitWait();
        QSqlQuery query(database.db());
        result.statementOk = query.exec(QString::fromLatin1(CreateRoomStatement));
        // On every start after the first the table is there and the create fails: expected.
        if (!result.statementOk) {
            database.limitWait();
            if (database.db().tables().contains("Room", Qt::CaseInsensitive)) {
                result.statementOk = true;
            } else {
                result.statementError = query.lastError().text();
                qCWarning(lcProfiles) << "create refused:" << result.statementError;
            }
        }
    }
    readLists(database, result);
    return result;
}

StoreResult insertProfile(const Profile &profile)
{
    return change("insert into Room(title,ip ,pw) values(?,?,?)",
            { profile.title, profile.ip, profile.pw });
}

StoreResult updateProfile(const Profile &profile)
{
    return change("UPDATE Room SET title=?, ip=?, pw=? WHERE p_id=?",
            { profile.title, profile.ip, profile.pw, profile.id });
}

StoreResult deleteProfile(const QString &id)
{
    return change("delete from Room where p_id=?", { id });
}

ReadResult readProfile(const QString &id)
{
    ReadResult result;
    OpenDatabase database;
    if (!database.opened()) {
        result.openError = database.error();
        return result;
    }
    database.limitWait();
    QSqlQuery query(database.db());
    bool ok = query.prepare("SELECT * FROM Room WHERE p_id = ?");
    if (ok) {
        query.addBindValue(id);
        ok = query.exec();
    }
    if (!ok) {
        // Locked or damaged: whether the profile exists is unknown, so it must not be reported
        // as missing (that would reload the lists and lose them too).
        result.openError = query.lastError().text();
        qCWarning(lcProfiles) << "read" << id << "refused:" << result.openError;
        return result;
    }
    result.opened = true;
    // p_id is the key, so at most one row comes back.
    while (query.next()) {
        const QSqlRecord record = query.record();
        result.profile = Profile{ record.value("p_id").toString(), record.value("title").toString(),
            record.value("ip").toString(), record.value("pw").toString() };
    }
    return result;
}

QString profileIdAt(const QAbstractItemModel &ids, int row)
{
    if (row < 0 || row >= ids.rowCount())
        return QString();
    return ids.data(ids.index(row, 0), Qt::DisplayRole).toString();
}

} // namespace profiles

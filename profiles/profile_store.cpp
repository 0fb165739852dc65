#include "profile_store.h"

#include "profiles_log.h"

#include <QDir>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

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

// The connection opened on database.dat for the length of one operation; closed when it goes
// out of scope, after the queries declared below it.
class OpenDatabase
{
public:
    OpenDatabase() : m_db(defaultConnection())
    {
        m_db.setDatabaseName(databasePath());
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

private:
    QSqlDatabase m_db;
    bool m_opened = false;
    QString m_error;
};

// One list of the main window. The whole result is fetched now: the connection closes right
// after the refresh and rows not yet fetched could not be read any more. Both lists are read
// in p_id order so that row n of one is row n of the other, whatever indexes the file holds.
std::unique_ptr<QSqlQueryModel> readList(const QSqlDatabase &db, const char *column)
{
    auto model = std::make_unique<QSqlQueryModel>();
    model->setQuery(QString("SELECT %1 FROM Room ORDER BY p_id").arg(QLatin1String(column)), db);
    while (model->canFetchMore())
        model->fetchMore();
    if (model->lastError().isValid())
        qCWarning(lcProfiles) << "list" << column << model->lastError().text();
    model->setHeaderData(0, Qt::Horizontal, QString::fromLatin1(column), Qt::EditRole);
    return model;
}

ProfileLists readLists(const QSqlDatabase &db)
{
    return { readList(db, "title"), readList(db, "p_id") };
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
    result.lists = readLists(database.db());
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
        QSqlQuery query(database.db());
        result.statementOk = query.exec(QString::fromLatin1(CreateRoomStatement));
        // On every start after the first the table is there and the create fails: expected.
        if (!result.statementOk && !database.db().tables().contains("Room", Qt::CaseInsensitive)) {
            result.statementError = query.lastError().text();
            qCWarning(lcProfiles) << "create refused:" << result.statementError;
        } else {
            result.statementOk = true;
        }
    }
    result.lists = readLists(database.db());
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
    result.opened = true;
    QSqlQuery query(database.db());
    query.prepare("SELECT * FROM Room WHERE p_id = ?");
    query.addBindValue(id);
    if (!query.exec()) {
        qCWarning(lcProfiles) << "read" << id << "refused:" << query.lastError().text();
        return result;
    }
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

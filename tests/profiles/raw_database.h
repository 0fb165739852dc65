#ifndef TANDEO_TESTS_PROFILES_RAW_DATABASE_H
#define TANDEO_TESTS_PROFILES_RAW_DATABASE_H

// A second, independent connection on a database.dat, for checking what really is in the
// file and for writing rows the way the earlier program did (values spliced into the text).

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <QVariant>

#include <gtest/gtest.h>
#include <vector>

namespace testprofiles {

struct Row
{
    QString id, title, ip, pw;
    bool operator==(const Row &) const = default;
};

inline void PrintTo(const Row &row, std::ostream *os)
{
    *os << "{" << row.id.toStdString() << ", " << row.title.toStdString() << ", "
        << row.ip.toStdString() << ", " << row.pw.toStdString() << "}";
}

class RawDatabase
{
public:
    explicit RawDatabase(const QString &path)
        : m_name("raw-" + QUuid::createUuid().toString(QUuid::WithoutBraces))
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", m_name);
        db.setDatabaseName(path);
        EXPECT_TRUE(db.open()) << db.lastError().text().toStdString();
    }
    ~RawDatabase()
    {
        QSqlDatabase::database(m_name, false).close();
        QSqlDatabase::removeDatabase(m_name);
    }
    RawDatabase(const RawDatabase &) = delete;
    RawDatabase &operator=(const RawDatabase &) = delete;

    // Runs one statement as text; false (and a test failure) when SQLite refuses it.
    bool exec(const QString &statement)
    {
        QSqlQuery query(QSqlDatabase::database(m_name, false));
        const bool ok = query.exec(statement);
        EXPECT_TRUE(ok) << statement.toStdString() << ": "
                        << query.lastError().text().toStdString();
        return ok;
    }

    // The earlier program's insert: values spliced between apostrophes, the access code with
    // its apostrophes doubled.
    bool insertAsBefore(const QString &title, const QString &ip, const QString &pw)
    {
        QString doubled = pw;
        doubled.replace("'", "''");
        return exec("insert into Room(title,ip ,pw) values('" + title + "','" + ip + "' ,'"
                + doubled + "')");
    }

    std::vector<Row> rows(const QString &where = QString())
    {
        std::vector<Row> result;
        QSqlQuery query(QSqlDatabase::database(m_name, false));
        EXPECT_TRUE(query.exec("SELECT p_id, title, ip, pw FROM Room " + where + " ORDER BY p_id"))
                << query.lastError().text().toStdString();
        while (query.next()) {
            result.push_back({ query.value(0).toString(), query.value(1).toString(),
                    query.value(2).toString(), query.value(3).toString() });
        }
        return result;
    }

    QStringList tables() const { return QSqlDatabase::database(m_name, false).tables(); }
    QSqlDatabase connection() const { return QSqlDatabase::database(m_name, false); }

    QString schema()
    {
        QSqlQuery query(QSqlDatabase::database(m_name, false));
        query.exec("SELECT sql FROM sqlite_master WHERE type='table' AND name='Room'");
        return query.next() ? query.value(0).toString() : QString();
    }

private:
    QString m_name;
};

} // namespace testprofiles

#endif // TANDEO_TESTS_PROFILES_RAW_DATABASE_H

#include "profile_writer.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QVariant>

namespace unitsim {

std::optional<std::string> writeProfileDatabase(const std::string &path, const std::string &title,
        const std::string &address, const std::string &accessCode)
{
    const QString file = QString::fromStdString(path);
    if (QFile::exists(file) && !QFile::remove(file))
        return "cannot replace " + path;
    // Only its owner may read it, as the program keeps it: it holds the access code.
    {
        QFile made(file);
        if (!made.open(QIODevice::WriteOnly | QIODevice::NewOnly)
                || !made.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
            return "cannot create " + path;
    }
    const QString connection = QStringLiteral("unitsim-profile-writer");
    std::optional<std::string> error;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(file);
        if (!db.open()) {
            error = "cannot open " + path + ": " + db.lastError().text().toStdString();
        } else {
            // The same table the program creates for itself.
            QSqlQuery query(db);
            if (!query.exec(QStringLiteral("CREATE TABLE Room(p_id INTEGER PRIMARY KEY, title "
                                           "varchar(20), ip TEXT ,pw TEXT )"))) {
                error = "cannot create the table: " + query.lastError().text().toStdString();
            } else {
                query.prepare(QStringLiteral("INSERT INTO Room(title, ip, pw) VALUES(?, ?, ?)"));
                query.addBindValue(QString::fromStdString(title));
                query.addBindValue(QString::fromStdString(address));
                query.addBindValue(QString::fromStdString(accessCode));
                if (!query.exec())
                    error = "cannot write the profile: " + query.lastError().text().toStdString();
            }
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(connection);
    return error;
}

} // namespace unitsim

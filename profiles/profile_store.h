#ifndef TANDEO_PROFILES_PROFILE_STORE_H
#define TANDEO_PROFILES_PROFILE_STORE_H

// The presenter's connection profiles in database.dat in the home directory (SQLite through
// Qt's "QSQLITE" driver on the default connection).
//
// Every operation opens the connection, runs its one statement, reads what it needs and closes
// the connection again; nothing is kept open between operations. Every value travels as a bound
// parameter, never as part of the statement text, so a title, address or access code is stored
// exactly as typed, whatever characters it holds. The table layout is the one every earlier
// database.dat has, so old files are read and written unchanged. The file holds the access
// codes in plain text: every operation makes it with mode 0600 when it is missing, and narrows
// a file that others can read to its owner first (one info line in tandeo.profiles).
//
// GUI thread only (the default connection belongs to the thread that first opened it).

#include <QAbstractItemModel>
#include <QSqlQueryModel>
#include <QString>

#include <memory>
#include <optional>

namespace profiles {

// The table every database.dat holds; when it already exists this statement fails harmlessly.
inline constexpr const char *CreateRoomStatement =
        "CREATE TABLE Room(p_id INTEGER PRIMARY KEY, title varchar(20), ip TEXT ,pw TEXT )";

// One row of Room. `id` is the decimal text of p_id, the key passed between the operations.
struct Profile
{
    QString id;
    QString title;
    QString ip; // dotted IPv4 text exactly as the editor produced it (leading zeros kept)
    QString pw; // the unit's access code as typed

    bool operator==(const Profile &) const = default;
};

struct ReadResult
{
    // False when the file could not be opened or the row could not be looked up in it (locked,
    // damaged); a missing row is not a failure. Callers then show `openError` and go no
    // further: the profile may well exist.
    bool opened = false;
    QString openError; // the driver's text when the file could not be opened or read
    std::optional<Profile> profile; // absent when no row has that p_id; NULL columns read empty
};

// The two parallel one-column lists of the main window: row n of `titles` ("SELECT title FROM
// Room", header "title") is the same profile as row n of `ids` ("SELECT p_id FROM Room", header
// "p_id"), both in stored p_id order. Read-only query models, fully fetched before the
// connection closes, so they stay readable afterwards. The caller owns them.
struct ProfileLists
{
    std::unique_ptr<QSqlQueryModel> titles;
    std::unique_ptr<QSqlQueryModel> ids;
};

// Outcome of one operation that refreshes the lists.
struct StoreResult
{
    bool opened = false;
    QString openError; // the driver's text when the file could not be opened
    bool statementOk = false; // the operation's one statement ran
    QString statementError; // the driver's text when it did not
    // Both lists, whenever they could be read, also after a failed statement. Left empty when
    // reading them failed (the file is locked or damaged): the caller keeps what it shows
    // rather than a list that only looks empty.
    ProfileLists lists;
    QString listError; // the driver's text when the lists could not be read

    bool listsRead() const { return lists.titles && lists.ids; }
};

// QDir::homePath() + "/database.dat".
QString databasePath();

// Registers the default connection when it is not registered yet, opens the file (creating it
// on first start), creates Room when missing, reads the lists and closes. A create statement
// that fails only because Room exists counts as success. A file whose schema names Room but
// whose rows cannot be read (a damaged page) comes back with `listError` and stays unwritten.
StoreResult loadProfileList();

// Each opens the file, runs its one statement, reads the lists and closes. SQLite assigns p_id
// on insert; `profile.id` is ignored there.
StoreResult insertProfile(const Profile &profile);
StoreResult updateProfile(const Profile &profile);
StoreResult deleteProfile(const QString &id);

// Opens the default connection, reads the row by p_id, closes. Never writes.
ReadResult readProfile(const QString &id);

// The profile id shown in row `row` of the `ids` list (column 0, display role, as text); empty
// when the row does not exist.
QString profileIdAt(const QAbstractItemModel &ids, int row);

} // namespace profiles

#endif // TANDEO_PROFILES_PROFILE_STORE_H

#ifndef TANDEO_TESTS_PROFILES_FILE_TROUBLE_H
#define TANDEO_TESTS_PROFILES_FILE_TROUBLE_H

// What can happen to database.dat behind the program's back: another connection holding it
// locked in the middle of a write, or a page of the table overwritten on disk. Plus a meter of
// how long the GUI thread was kept from its events while the program dealt with it.

#include "raw_database.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>

namespace testprofiles {

inline QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    return file.readAll();
}

// A second connection in the middle of a write: it ran BEGIN EXCLUSIVE and inserted a row, so
// until it lets go nobody else can read or write the file. The row stays in its own cache and
// journal: the file's bytes do not change while the lock is held, nor after release(), which
// rolls the write back.
class FileLock
{
public:
    explicit FileLock(const QString &path) : m_raw(std::make_unique<RawDatabase>(path))
    {
        m_raw->exec("BEGIN EXCLUSIVE");
        m_raw->exec("insert into Room(title,ip ,pw) values('Other program','10.9.9.9' ,'')");
    }
    ~FileLock() { release(); }
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

    void release()
    {
        if (!m_raw)
            return;
        m_raw->exec("ROLLBACK");
        m_raw.reset();
    }

private:
    std::unique_ptr<RawDatabase> m_raw;
};

struct FileLayout
{
    int pageBytes = 0;
    int pageCount = 0;
    int roomRootPage = 0;
};

inline FileLayout fileLayout(const QString &path)
{
    RawDatabase raw(path);
    auto number = [&](const QString &statement) {
        QSqlQuery query(raw.connection());
        EXPECT_TRUE(query.exec(statement) && query.next()) << statement.toStdString();
        return query.value(0).toInt();
    };
    return { number("PRAGMA page_size"), number("PRAGMA page_count"),
        number("SELECT rootpage FROM sqlite_master WHERE type='table' AND name='Room'") };
}

// Overwrites the b-tree header at the start of one page (numbered from 1) with bytes no page
// type has. The file header and the schema on page 1 stay intact, so the file opens and names
// Room, but any read that reaches this page fails as a damaged image.
inline void damagePage(const QString &path, int page)
{
    const FileLayout layout = fileLayout(path);
    ASSERT_GT(page, 1) << "page 1 holds the file header and the schema";
    ASSERT_LE(page, layout.pageCount);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_TRUE(file.seek(qint64(page - 1) * layout.pageBytes));
    ASSERT_EQ(file.write(QByteArray(12, char(0xa5))), 12);
}

// How long the GUI thread went without running its events, that is how long the window could
// neither repaint nor take a click. A timer ticks every few milliseconds; the longest gap
// between ticks (counted from start() and up to stop()) is the answer. Modal boxes and dialogs
// run their own event loops, so the time they are up does not count.
class StallMeter
{
public:
    StallMeter()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(2);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
    }

    void start()
    {
        m_clock.start();
        m_last = 0;
        m_longest = 0;
        m_timer.start();
    }

    std::chrono::milliseconds stop()
    {
        tick();
        m_timer.stop();
        return std::chrono::milliseconds(m_longest);
    }

private:
    void tick()
    {
        const qint64 now = m_clock.elapsed();
        m_longest = std::max(m_longest, now - m_last);
        m_last = now;
    }

    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longest = 0;
};

} // namespace testprofiles

#endif // TANDEO_TESTS_PROFILES_FILE_TROUBLE_H

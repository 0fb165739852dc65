#ifndef TANDEO_STANDIN_EVENT_RECORD_H
#define TANDEO_STANDIN_EVENT_RECORD_H

#include <QFile>
#include <QString>

namespace standin {

// What the stand-in did, one line per event, written through at once so a test reading the
// file while the stand-in runs sees every event that happened. Without a file it records
// nothing.
class EventRecord
{
public:
    // Opens the file for appending; false when it cannot be opened.
    bool open(const QString &path);
    void add(const QString &line);

private:
    QFile m_file;
};

} // namespace standin

#endif // TANDEO_STANDIN_EVENT_RECORD_H

#ifndef TANDEO_APP_TERMINATION_SIGNALS_H
#define TANDEO_APP_TERMINATION_SIGNALS_H

// SIGTERM, SIGINT and SIGHUP (the end of the desktop session, kill, Ctrl+C in a terminal) as a
// Qt signal on the GUI thread, so the program can end its session with the unit properly
// instead of dying in the middle of it.

#include <QObject>

class QSocketNotifier;

class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    // Blocks the three signals in the calling thread and in every thread started after it:
    // call it first thing in main, before any thread exists. Processes forked from the program
    // get them back. Returns false when they cannot be taken over (the program then keeps the
    // default behaviour).
    static bool blockInAllThreads();
    // Output into a pipe or socket whose reader has gone (the journal's stream after the journal
    // restarted) fails quietly instead of ending the program with SIGPIPE. Processes forked from
    // the program get the default back.
    static void ignoreBrokenPipes();

    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

    bool isWatching() const { return m_fd >= 0; }

signals:
    void received(int signalNumber);

private:
    void readPending();

    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
};

#endif // TANDEO_APP_TERMINATION_SIGNALS_H

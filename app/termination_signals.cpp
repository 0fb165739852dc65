#include "termination_signals.h"

#include <QSocketNotifier>

#include <csignal>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

sigset_t terminationSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

// In a child made by fork(): the mask is inherited (and kept across exec), and a program this
// one starts (a bus daemon libdbus launches, a helper) must not be deaf to SIGTERM.
void unblockInChild()
{
    const sigset_t set = terminationSet();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void defaultBrokenPipesInChild()
{
    std::signal(SIGPIPE, SIG_DFL); // an ignored signal would stay ignored across exec
}

} // namespace

void TerminationSignals::ignoreBrokenPipes()
{
    static const bool childrenReset =
            pthread_atfork(nullptr, nullptr, defaultBrokenPipesInChild) == 0;
    (void)childrenReset;
    std::signal(SIGPIPE, SIG_IGN);
}

bool TerminationSignals::blockInAllThreads()
{
    const sigset_t set = terminationSet();
    static const bool childrenUnblocked = pthread_atfork(nullptr, nullptr, unblockInChild) == 0;
    (void)childrenUnblocked;
    return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

TerminationSignals::TerminationSignals(QObject *parent) : QObject(parent)
{
    const sigset_t set = terminationSet();
    m_fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (m_fd < 0) {
        // Without the descriptor the blocked signals would never arrive: give them back.
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return;
    }
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::readPending);
}

TerminationSignals::~TerminationSignals()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void TerminationSignals::readPending()
{
    signalfd_siginfo info;
    while (::read(m_fd, &info, sizeof info) == ssize_t(sizeof info))
        emit received(int(info.ssi_signo));
}

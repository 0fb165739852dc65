// The termination signals go to the event loop's descriptor, blocked in every thread; a
// process the program forks must get them back, or SIGTERM could never end it (a bus daemon
// that libdbus starts, for one, would outlive the session). The same for SIGPIPE, ignored.

#include "termination_signals.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool blocked(int signal)
{
    sigset_t current;
    pthread_sigmask(SIG_BLOCK, nullptr, &current);
    return sigismember(&current, signal) == 1;
}

TEST(TerminationSignals, BlockedInTheProgramButNotInWhatItForks)
{
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, nullptr, &before);
    ASSERT_TRUE(TerminationSignals::blockInAllThreads());
    EXPECT_TRUE(blocked(SIGTERM) && blocked(SIGINT) && blocked(SIGHUP));

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(blocked(SIGTERM) || blocked(SIGINT) || blocked(SIGHUP) ? 1 : 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child inherited the block";

    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

// A broken pipe is ignored in the program (its output may go to a stream that closes), while
// what it starts has the default back: an ignored signal stays ignored across exec.
TEST(TerminationSignals, BrokenPipesIgnoredInTheProgramButNotInWhatItForks)
{
    TerminationSignals::ignoreBrokenPipes();
    struct sigaction now = {};
    sigaction(SIGPIPE, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct sigaction inChild = {};
        sigaction(SIGPIPE, nullptr, &inChild);
        _exit(inChild.sa_handler == SIG_DFL ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child inherited SIG_IGN";
    std::signal(SIGPIPE, SIG_DFL);
}

} // namespace

#ifndef TANDEO_APP_SINGLE_INSTANCE_H
#define TANDEO_APP_SINGLE_INSTANCE_H

// One program per user: a second start (a double click in the menu) raises the running window
// and ends, instead of opening a second window on the same profile file and the same local RTP
// port. "The same user" is the same runtime folder and the same home, so programs with homes of
// their own (the tests, the demo) run side by side.

#include <QString>

#include <optional>

namespace instance {

// Call once the application object exists and before the window is made. When a program of
// this user runs already, asks it to raise its window and returns the exit status for this one:
// 0 once the running program has answered, 1 when it does not answer. Otherwise returns nothing
// and this process answers later starts from then on (raising its visible top-level windows);
// a socket left behind by a program that crashed is replaced. Where no private runtime folder
// can be had, the program runs without the check.
std::optional<int> handOverToRunning();

// The local socket of the programs with this runtime folder and home.
QString serverPath(const QString &runtimeDir, const QString &home);

} // namespace instance

#endif // TANDEO_APP_SINGLE_INSTANCE_H

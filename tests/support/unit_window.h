#ifndef TANDEO_TESTS_UNIT_WINDOW_H
#define TANDEO_TESTS_UNIT_WINDOW_H

// A main window logged in to an emulated unit, in this process: the unit, the window with one
// profile for it, the login, the share and the wait for frames. Shared by the window's share,
// picker and session tests and by the share benchmark; it asserts nothing itself, each step
// says whether it got there.

#include "mainwindow.h"
#include "mainwindow_probe.h"
#include "unit_sim.h"

#include <QPushButton>
#include <QRect>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

class UnitWindow
{
public:
    UnitWindow() = default;
    ~UnitWindow() { close(); }

    // Logs out when still logged in, closes the window, the control channel and the unit, and
    // puts the module state back to its start values. Tests call it in their tear-down, while
    // the box answerer and the temporary home are still there.
    void close();

    // Starts a unit with these options; the error text when its sockets cannot be had.
    std::optional<std::string> startUnit(const unitsim::Options &options);
    // The usual test unit: one address, one family, answering only on its own dialect's path
    // (so which of the two login replies comes first never matters), then `configure`.
    std::optional<std::string> startUnit(const std::string &address, unitsim::Family family,
            const std::string &session,
            const std::function<void(unitsim::Options &)> &configure = {});

    // Opens the window with one profile (stored through the window's own store) and selects
    // it. An empty place leaves the window where the system puts it.
    bool openWindow(const QString &storedAddress, const QString &accessCode = "1234",
            const QRect &place = QRect());
    // Login, then the firmware request that follows an accepted login.
    bool logIn(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Share, then at least `frames` more valid frames at the unit.
    bool share(int frames, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Logout, back on the login page.
    bool logOut(std::chrono::milliseconds timeout = std::chrono::seconds(5));

    QPushButton *button(const char *name) const { return probe->widget<QPushButton>(name); }

    // The control messages of this type the unit has received from the window so far.
    std::vector<unitsim::ControlMessage> fromClient(unitsim::ControlType type) const;

    // The share flow's waits and pauses cut to what a test on loopback needs (for the next
    // window openWindow() makes).
    void shortenSharePauses();

    // The flows' pauses for the next window openWindow() makes.
    FlowTimings timings;
    std::unique_ptr<unitsim::UnitSim> unit;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<MainWindowProbe> probe;
};

} // namespace testsupport

#endif // TANDEO_TESTS_UNIT_WINDOW_H

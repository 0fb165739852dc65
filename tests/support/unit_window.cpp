#include "unit_window.h"

#include "control_channel.h"
#include "mainwindow_state.h"
#include "test_support.h"

#include <QListView>

namespace testsupport {

void UnitWindow::close()
{
    if (window && b_loggedIn)
        logOut(std::chrono::seconds(2));
    probe.reset();
    window.reset();
    control::stopChannel();
    if (unit)
        unit->stop();
}

std::optional<std::string> UnitWindow::startUnit(const unitsim::Options &options)
{
    unit = std::make_unique<unitsim::UnitSim>(options);
    return unit->start();
}

std::optional<std::string> UnitWindow::startUnit(const std::string &address, unitsim::Family family,
        const std::string &session, const std::function<void(unitsim::Options &)> &configure)
{
    unitsim::Options options;
    options.address = address;
    options.family = family;
    options.sessionId = session;
    options.otherPath = unitsim::OtherPath::Silent;
    if (configure)
        configure(options);
    return startUnit(options);
}

bool UnitWindow::openWindow(
        const QString &storedAddress, const QString &accessCode, const QRect &place)
{
    window = std::make_unique<MainWindow>(nullptr, timings);
    probe = std::make_unique<MainWindowProbe>(*window);
    window->insertProfile("Room", storedAddress, accessCode);
    if (!place.isEmpty())
        window->setGeometry(place);
    window->show();
    auto *list = probe->widget<QListView>("listViewProfile");
    if (!list->model() || list->model()->rowCount() < 1)
        return false;
    const QModelIndex last = list->model()->index(list->model()->rowCount() - 1, 0);
    list->selectionModel()->select(last, QItemSelectionModel::Select);
    return true;
}

bool UnitWindow::logIn(std::chrono::milliseconds timeout)
{
    const int firmwareBefore = unit ? unit->counters().firmwareRequests : 0;
    button("BtnLogin")->click();
    return waitUntil(
            [&] {
                return b_loggedIn && !strSessionID.isEmpty()
                        && (!unit || unit->counters().firmwareRequests > firmwareBefore);
            },
            timeout);
}

bool UnitWindow::share(int frames, std::chrono::milliseconds timeout)
{
    const int before = unit->counters().framesValid;
    button("BtnShare")->click();
    return waitUntil([&] { return unit->counters().framesValid >= before + frames; }, timeout);
}

bool UnitWindow::logOut(std::chrono::milliseconds timeout)
{
    button("BtnLogout")->click();
    return waitUntil([&] { return !b_loggedIn; }, timeout);
}

std::vector<unitsim::ControlMessage> UnitWindow::fromClient(unitsim::ControlType type) const
{
    std::vector<unitsim::ControlMessage> found;
    for (const auto &m : unit->controlMessages())
        if (m.direction == unitsim::Direction::FromClient && m.type == std::uint8_t(type))
            found.push_back(m);
    return found;
}

void UnitWindow::shortenSharePauses()
{
    timings.waitStepMs = 20;
    timings.connectTimeoutS = 1;
    timings.stopPauseMs = 150;
    timings.peerStopPauseMs = 300;
    timings.logoutStopPauseMs = 20;
}

} // namespace testsupport

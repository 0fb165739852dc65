// The unit command session of the real main window against the emulated unit: login of both
// families with the requests on the wire, refusals, time-outs, the firmware check, keep-alive
// and logout, and replies too big for any unit to send. Each test has its own unit address
// (127.0.0.50 to 127.0.0.69, 127.0.0.100, 127.0.0.101, 127.0.0.141 to 127.0.0.148).

#include "control_channel.h"
#include "flow_timings.h"
#include "mainwindow_state.h"
#include "profile_store.h"
#include "qstring_printer.h"
#include "test_support.h"
#include "unit_window.h"

#include <QHostInfo>
#include <QListView>

#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
using testsupport::waitUntil;
using unitsim::Command;
using unitsim::Family;

namespace {

const std::string Session = "Ab12";

// The device name as every document carries it.
std::string device()
{
    return QHostInfo::localHostName().toStdString();
}

std::string qmtPath(const std::string &document)
{
    return "/cgi-bin/doxml.cgi?xmldoc=" + document;
}

std::string zmtPath(const std::string &document)
{
    return "/docmd?jdoc=" + document;
}

// Readable-text form of the QMT session documents on the wire: blanks, quotes, "<" and ">"
// encoded; "?", "=", "/" kept.
std::string qmtSessionTarget(const std::string &tail)
{
    return qmtPath("%3C?xml%20version=%221.0%22%20encoding=%22utf-8%22%20%20%20standalone=%22yes"
                   "%22?%3E%20%3CVC%20device=%22"
            + device() + "%22%20version=%221.0%22%20session=%22" + Session + tail);
}

std::string zmtSessionTarget(const std::string &tail)
{
    return zmtPath("%5B%20%7B%22cmd%22:%22login%22,%20%22device%22:%22" + device()
            + "%22,%20%22version%22:%222.0%22,%20%22session%22:%22" + Session + tail);
}

const std::string QmtKeepAliveTail = "%22%3E%3Cnop/%3E%3C/VC%3E";
const std::string QmtLogoutTail = "%22%3E%3Clogout/%3E%3C/VC%3E";
const std::string QmtFirmwareTail =
        "%22%3E%3Cget%20id=%221%22%20object=%22System/FirmwareVersion%22%20/%3E%3Cnop/%3E%3C/VC%3E";
const std::string ZmtKeepAliveTail = "%22%7D,%20%7B%22cmd%22:%22nop%22%7D%20%5D";
const std::string ZmtLogoutTail = "%22%7D,%20%7B%22cmd%22:%22logout%22%7D%20%5D";
const std::string ZmtFirmwareTail = "%22%7D,%20%7B%22cmd%22:%22get%22,%20%22id%22:%221%22,%20%22"
                                    "object%22:%22System/FirmwareVersion%22%7D%20%5D";

class SessionTest : public ::testing::Test, protected testsupport::UnitWindow
{
protected:
    void SetUp() override { timings.loginTimeoutMs = 10000; }

    void TearDown() override { close(); }

    // The unit answers the other dialect's path as it would by default (404 at once).
    void startUnit(const std::string &address,
            const std::function<void(unitsim::Options &)> &configure = {})
    {
        unitsim::Options options;
        if (configure)
            configure(options);
        options.address = address;
        options.sessionId = Session;
        const auto error = UnitWindow::startUnit(options);
        EXPECT_FALSE(error) << *error;
    }

    // A profile for the address, the window over it with that profile selected.
    void openWindow(const QString &ip, const QString &pw = "1234")
    {
        ASSERT_TRUE(UnitWindow::openWindow(ip, pw));
        ASSERT_EQ(probe->widget<QListView>("listViewProfile")->model()->rowCount(), 1);
    }

    void clickLogin() { button("BtnLogin")->click(); }
    void clickLogout() { button("BtnLogout")->click(); }

    bool onSharePage() const
    {
        return b_loggedIn && button("BtnLogout")->isVisibleTo(window.get())
                && !button("BtnLogin")->isVisibleTo(window.get());
    }

    // The login page as a finished wait leaves it: shown, enabled, no progress.
    bool loginPageIdle() const
    {
        auto *login = button("BtnLogin");
        return !b_loggedIn && login->isVisibleTo(window.get()) && login->isEnabled()
                && !probe->widget<QWidget>("progressBar")->isVisibleTo(window.get())
                && !probe->widget<QWidget>("BtnLogout")->isVisibleTo(window.get());
    }

    std::vector<unitsim::HttpRequest> requests(Command command) const
    {
        std::vector<unitsim::HttpRequest> found;
        for (const auto &request : unit->httpRequests()) {
            if (request.command == command)
                found.push_back(request);
        }
        return found;
    }

    int count(Command command) const { return static_cast<int>(requests(command).size()); }

    bool loginAccepted()
    {
        return waitUntil([&] { return onSharePage(); });
    }

    testsupport::TempHome home;
    testsupport::BoxAnswerer boxes;
};

TEST_F(SessionTest, QmtLoginIsAcceptedAndSendsTheFirmwareRequest)
{
    startUnit("127.0.0.50", [&](unitsim::Options &o) { o.accessCode = "12&34"; });
    openWindow("127.0.0.50", "12&34");
    clickLogin();
    ASSERT_TRUE(loginAccepted());

    EXPECT_FALSE(b_zmtFamily);
    EXPECT_EQ(strSessionID, "Ab12");
    EXPECT_EQ(keepAliveMissCount, 0);
    EXPECT_TRUE(probe->fwCheckPending());
    ASSERT_TRUE(waitUntil([&] { return count(Command::Firmware) == 1; }));
    EXPECT_EQ(requests(Command::Firmware)[0].target, qmtSessionTarget(QmtFirmwareTail));

    // Both logins went out; the access code's "&" travels as %26amp%3B in both.
    const auto logins = requests(Command::Login);
    ASSERT_EQ(logins.size(), 2u);
    for (const auto &login : logins) {
        EXPECT_EQ(login.accessCode, "12&34");
        EXPECT_NE(login.target.find("%2212%26amp%3B34%22"), std::string::npos) << login.target;
        if (login.family == Family::Qmt)
            EXPECT_EQ(login.target,
                    qmtPath("%3C%3Fxml%20version%3D%221%22%20encoding%3D%22utf-8%22%20standalone%3D"
                            "%22yes%22%3F%3E%20%3CVC%20device%3D%22"
                            + device()
                            + "%22%20version%3D%221.0%22%20acccode%3D%2212%26amp%3B34%22%20%2F%"
                              "3E"));
        else
            EXPECT_EQ(login.target,
                    zmtPath("%5B%20%7B%22cmd%22%3A%22login%22%2C%20%22device%22%3A%22" + device()
                            + "%22%2C%20%22version%22%3A%222.0%22%2C%20%22acccode%22%3A%2212%26amp"
                              "%3B34%22%7D%2C%20%7B%22cmd%22%3A%22nop%22%7D%20%5D"));
    }

    // The ZMT path's 404 shows nothing.
    ASSERT_TRUE(waitUntil([&] { return unit->counters().httpAnswered >= 3; }));
    testsupport::processEventsFor(100ms);
    EXPECT_TRUE(boxes.texts().isEmpty()) << boxes.texts().join(" | ").toStdString();
    EXPECT_TRUE(onSharePage());
}

TEST_F(SessionTest, ZmtLoginReachesAnAddressStoredWithLeadingZeros)
{
    // 051 must be fifty-one: read as octal it would be 41, where nothing listens.
    startUnit("127.0.0.51", [&](unitsim::Options &o) { o.family = Family::Zmt; });
    openWindow("127.000.000.051");
    clickLogin();
    ASSERT_TRUE(loginAccepted());

    EXPECT_TRUE(b_zmtFamily);
    EXPECT_EQ(strSessionID, "Ab12");
    EXPECT_EQ(strIP, "127.000.000.051"); // kept as stored
    ASSERT_TRUE(waitUntil([&] { return count(Command::Firmware) == 1; }));
    EXPECT_EQ(requests(Command::Firmware)[0].target, zmtSessionTarget(ZmtFirmwareTail));
    EXPECT_EQ(count(Command::Login), 2);
}

struct RefusalCase
{
    const char *name;
    const char *address;
    Family family;
    unitsim::LoginRefusal refusal;
    const char *accessCode; // the unit's; the profile says "1234"
    const char *box;
};

void PrintTo(const RefusalCase &c, std::ostream *out)
{
    *out << c.name;
}

class LoginRefusal : public SessionTest, public ::testing::WithParamInterface<RefusalCase>
{
};

TEST_P(LoginRefusal, ShowsItsBoxAndLeavesTheLoginPageIdle)
{
    const RefusalCase &c = GetParam();
    // A ZMT unit leaves its QMT path unanswered here: a QMT 404 that comes first is reported
    // by its own box, which the test of that order covers.
    startUnit(c.address, [&](unitsim::Options &o) {
        o.family = c.family;
        o.accessCode = c.accessCode;
        o.loginRefusal = c.refusal;
        if (c.family == Family::Zmt)
            o.otherPath = unitsim::OtherPath::Silent;
    });
    openWindow(c.address);
    clickLogin();
    ASSERT_TRUE(boxes.waitForText(c.box));

    const int answers = c.family == Family::Qmt ? 2 : 1;
    ASSERT_TRUE(waitUntil([&] { return unit->counters().httpAnswered == answers; }));
    testsupport::processEventsFor(100ms);
    EXPECT_EQ(boxes.texts(), QStringList{ c.box });
    EXPECT_TRUE(loginPageIdle());
    EXPECT_FALSE(b_loginDone);
    EXPECT_EQ(strErrorCode, "");
    if (c.family == Family::Zmt && c.refusal == unitsim::LoginRefusal::None) {
        EXPECT_EQ(strSessionID, ""); // errno 100 empties the session id
    }
    EXPECT_EQ(count(Command::Firmware), 0);
    EXPECT_FALSE(probe->loginTimeoutTimer()->isActive());
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, LoginRefusal,
        ::testing::Values(RefusalCase{ "QmtTooManyUsers", "127.0.0.52", Family::Qmt,
                                  unitsim::LoginRefusal::TooManyUsers, "1234", "Too many users" },
                RefusalCase{ "QmtNotAccessible", "127.0.0.53", Family::Qmt,
                        unitsim::LoginRefusal::NotAccessible, "1234", "System cannot be accessed" },
                RefusalCase{ "QmtBadCode", "127.0.0.54", Family::Qmt, unitsim::LoginRefusal::None,
                        "9999", "Connection password incorrect" },
                RefusalCase{ "ZmtTooManyUsers", "127.0.0.55", Family::Zmt,
                        unitsim::LoginRefusal::TooManyUsers, "1234", "Too many users" },
                RefusalCase{ "ZmtNotAccessible", "127.0.0.56", Family::Zmt,
                        unitsim::LoginRefusal::NotAccessible, "1234", "System cannot be accessed" },
                RefusalCase{ "ZmtBadCode", "127.0.0.57", Family::Zmt, unitsim::LoginRefusal::None,
                        "9999", "Connection password incorrect" }),
        [](const ::testing::TestParamInfo<RefusalCase> &info) { return info.param.name; });

TEST_F(SessionTest, QmtNotFoundBeforeTheZmtLoginShowsNoBox)
{
    // A ZMT unit answers the QMT path with 404 at once and its own login 300 ms later.
    startUnit("127.0.0.58", [&](unitsim::Options &o) {
        o.family = Family::Zmt;
        o.ownPathDelayMs = 300;
    });
    openWindow("127.0.0.58");
    clickLogin();
    ASSERT_TRUE(loginAccepted());
    EXPECT_TRUE(b_zmtFamily);
    ASSERT_TRUE(waitUntil([&] { return count(Command::Firmware) == 1; }));
    testsupport::processEventsFor(200ms);
    EXPECT_EQ(boxes.texts(), QStringList());
}

TEST_F(SessionTest, NotFoundOnBothPathsShowsTheBoxAtOnce)
{
    startUnit("127.0.0.100", [&](unitsim::Options &o) { o.ownPathStatus = 404; });
    openWindow("127.0.0.100");
    clickLogin();
    ASSERT_TRUE(boxes.waitForText("Remote system cannot be accessed", 3s)) << "not the time-out";
    EXPECT_TRUE(loginPageIdle());
    testsupport::processEventsFor(200ms);
    EXPECT_EQ(boxes.texts().size(), 1);
}

TEST_F(SessionTest, RedirectIsAnAnswerNotAPlaceToGo)
{
    timings.loginTimeoutMs = 600;
    startUnit("127.0.0.101", [&](unitsim::Options &o) {
        o.redirectTo = "http://127.0.0.101/cgi-bin/doxml.cgi?xmldoc=elsewhere";
    });
    openWindow("127.0.0.101");
    clickLogin();
    // The 302 only clears the pending flag; the ZMT 404 alone decides nothing: the time-out does.
    ASSERT_TRUE(boxes.waitForText("Remote system cannot be accessed"));
    EXPECT_TRUE(loginPageIdle());
    testsupport::processEventsFor(200ms);
    EXPECT_EQ(unit->httpRequests().size(), 2u) << "nothing requested at the Location";
}

TEST_F(SessionTest, UnreachableUnitEndsInTheTimeOutBox)
{
    timings.loginTimeoutMs = 400;
    openWindow("127.0.0.59"); // nothing listens there: both replies carry no status
    clickLogin();
    EXPECT_FALSE(loginPageIdle());
    ASSERT_TRUE(boxes.waitForText("Remote system cannot be accessed"));
    EXPECT_EQ(boxes.texts().size(), 1);
    EXPECT_TRUE(loginPageIdle());
    EXPECT_FALSE(b_loginDone);
}

TEST_F(SessionTest, LateReplyAfterTheTimeOutBoxStillLogsIn)
{
    timings.loginTimeoutMs = 300;
    startUnit("127.0.0.60", [&](unitsim::Options &o) { o.httpDelayMs = 1200; });
    openWindow("127.0.0.60");
    clickLogin();
    ASSERT_TRUE(boxes.waitForText("Remote system cannot be accessed"));
    EXPECT_FALSE(onSharePage());
    ASSERT_TRUE(waitUntil([&] { return onSharePage(); }, 5s));
    EXPECT_FALSE(b_zmtFamily);
}

struct FamilyCase
{
    const char *name;
    const char *address;
    Family family;
};

void PrintTo(const FamilyCase &c, std::ostream *out)
{
    *out << c.name;
}

std::string nameOf(const ::testing::TestParamInfo<FamilyCase> &info)
{
    return info.param.name;
}

class UnsupportedFirmware : public SessionTest, public ::testing::WithParamInterface<FamilyCase>
{
};

TEST_P(UnsupportedFirmware, ShowsTheBoxAndLogsOut)
{
    startUnit(GetParam().address, [&](unitsim::Options &o) {
        o.family = GetParam().family;
        o.unsupportedFirmware = true;
    });
    openWindow(GetParam().address);
    clickLogin();
    ASSERT_TRUE(boxes.waitForText("Not support content sharing"));
    ASSERT_TRUE(waitUntil([&] { return count(Command::Logout) == 1; }));
    EXPECT_TRUE(loginPageIdle());
    EXPECT_FALSE(probe->fwCheckPending());
    EXPECT_FALSE(b_zmtFamily);
    EXPECT_EQ(keepAliveTimer, nullptr);
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, UnsupportedFirmware,
        ::testing::Values(FamilyCase{ "Qmt", "127.0.0.61", Family::Qmt },
                FamilyCase{ "Zmt", "127.0.0.62", Family::Zmt }),
        nameOf);

class KeepAlive : public SessionTest, public ::testing::WithParamInterface<FamilyCase>
{
};

TEST_P(KeepAlive, AnsweringUnitKeepsTheSession)
{
    timings.keepAliveMs = 60;
    startUnit(GetParam().address, [&](unitsim::Options &o) { o.family = GetParam().family; });
    openWindow(GetParam().address);
    clickLogin();
    ASSERT_TRUE(loginAccepted());

    ASSERT_TRUE(waitUntil([&] { return count(Command::KeepAlive) >= 5; }));
    EXPECT_TRUE(onSharePage());
    EXPECT_LE(keepAliveMissCount, 1);
    EXPECT_EQ(count(Command::Logout), 0);
    EXPECT_EQ(requests(Command::KeepAlive)[0].target,
            GetParam().family == Family::Qmt ? qmtSessionTarget(QmtKeepAliveTail)
                                             : zmtSessionTarget(ZmtKeepAliveTail));
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, KeepAlive,
        ::testing::Values(FamilyCase{ "Qmt", "127.0.0.63", Family::Qmt },
                FamilyCase{ "Zmt", "127.0.0.64", Family::Zmt }),
        nameOf);

TEST_F(SessionTest, KeepAliveLogsOutAUnitThatWasSwitchedOff)
{
    // Refused connections deliver replies without an HTTP status; they are no sign of life.
    timings.keepAliveMs = 80;
    startUnit("127.0.0.65");
    openWindow("127.0.0.65");
    clickLogin();
    ASSERT_TRUE(loginAccepted());
    ASSERT_TRUE(waitUntil([&] { return count(Command::Firmware) == 1; }));
    unit->stop();

    ASSERT_TRUE(waitUntil([&] { return loginPageIdle(); }, 5s));
    EXPECT_EQ(keepAliveTimer, nullptr);
    EXPECT_EQ(keepAliveMissCount, 0);
    EXPECT_TRUE(boxes.texts().isEmpty());
}

TEST_F(SessionTest, KeepAliveLogsOutASilentUnitOnTheThirdTick)
{
    // The unit answers both logins and the firmware request, then nothing more.
    timings.keepAliveMs = 80;
    startUnit("127.0.0.69", [&](unitsim::Options &o) { o.httpAnswerLimit = 3; });
    openWindow("127.0.0.69");
    clickLogin();
    ASSERT_TRUE(loginAccepted());

    ASSERT_TRUE(waitUntil(
            [&] { return count(Command::Logout) == 1 && count(Command::KeepAlive) == 3; }, 5s));
    EXPECT_TRUE(loginPageIdle());
    testsupport::processEventsFor(300ms);
    EXPECT_EQ(count(Command::KeepAlive), 3); // the timer went with the session
}

class Logout : public SessionTest, public ::testing::WithParamInterface<FamilyCase>
{
};

TEST_P(Logout, SendsTheFamilysLogoutAndReturnsToTheLoginPage)
{
    startUnit(GetParam().address, [&](unitsim::Options &o) {
        o.family = GetParam().family;
        if (o.family == Family::Zmt)
            o.otherPath = unitsim::OtherPath::Silent; // no QMT 404 box before the login
    });
    openWindow(GetParam().address);
    clickLogin();
    ASSERT_TRUE(loginAccepted());
    ASSERT_TRUE(waitUntil([&] { return count(Command::Firmware) == 1; }));

    clickLogout();
    ASSERT_TRUE(waitUntil([&] { return count(Command::Logout) == 1; }));
    EXPECT_EQ(requests(Command::Logout)[0].target,
            GetParam().family == Family::Qmt ? qmtSessionTarget(QmtLogoutTail)
                                             : zmtSessionTarget(ZmtLogoutTail));
    EXPECT_TRUE(loginPageIdle());
    EXPECT_FALSE(b_zmtFamily);
    EXPECT_EQ(keepAliveTimer, nullptr);
    EXPECT_EQ(probe->triggerStopTimer(), nullptr);
    EXPECT_EQ(strSessionID, "Ab12"); // kept for the record
    EXPECT_TRUE(waitUntil([&] { return button("BtnShare")->isEnabled(); }));
    EXPECT_TRUE(unit->controlMessages().empty()); // no share, so no MSG_DISCONNECT
    EXPECT_TRUE(boxes.texts().isEmpty());

    // The window may be closed again.
    window->close();
    EXPECT_FALSE(window->isVisible());
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, Logout,
        ::testing::Values(FamilyCase{ "Qmt", "127.0.0.66", Family::Qmt },
                FamilyCase{ "Zmt", "127.0.0.67", Family::Zmt }),
        nameOf);

int disconnectsSeen(const unitsim::UnitSim &unit)
{
    int seen = 0;
    for (const auto &message : unit.controlMessages()) {
        if (message.direction == unitsim::Direction::FromClient
                && message.type == static_cast<std::uint8_t>(unitsim::ControlType::Disconnect))
            ++seen;
    }
    return seen;
}

TEST_F(SessionTest, LateFirmwareVerdictAfterLogoutReleasesNothingTwice)
{
    // Every answer comes late, so the user logs out before the firmware verdict arrives.
    startUnit("127.0.0.68", [&](unitsim::Options &o) {
        o.unsupportedFirmware = true;
        o.httpDelayMs = 700;
    });
    openWindow("127.0.0.68");
    clickLogin();
    ASSERT_TRUE(waitUntil([&] { return onSharePage(); }, 5s));
    // The request is out; its answer is still on its way.
    ASSERT_TRUE(waitUntil([&] { return count(Command::Firmware) == 1; }, 5s));

    // The control channel as the share flow leaves it once the unit accepted the connection.
    control::registerCallbacks(nullptr, nullptr);
    control::startChannel();
    ASSERT_GT(control::connectChannel("127.0.0.68", 50000, {}, "Ab12", 2), 0);
    b_ctrlReady = true;

    clickLogout();
    ASSERT_TRUE(waitUntil([&] { return disconnectsSeen(*unit) == 1; }));
    EXPECT_EQ(control::channelSocket(), -1);
    EXPECT_EQ(count(Command::Firmware), 1);

    ASSERT_TRUE(boxes.waitForText("Not support content sharing", 10s));
    ASSERT_TRUE(waitUntil([&] { return count(Command::Logout) == 2; }));
    EXPECT_TRUE(loginPageIdle());
    EXPECT_FALSE(probe->fwCheckPending());
    testsupport::processEventsFor(100ms);
    EXPECT_EQ(disconnectsSeen(*unit), 1);

    // Any further logout is just as harmless.
    window->on_BtnLogout_clicked();
    EXPECT_TRUE(waitUntil([&] { return count(Command::Logout) == 3; }));
    EXPECT_EQ(disconnectsSeen(*unit), 1);
}

TEST_F(SessionTest, LoginWithoutAUsableProfileSendsNothing)
{
    openWindow("127.0.0.59");
    auto *list = probe->widget<QListView>("listViewProfile");
    list->selectionModel()->clearSelection();
    clickLogin();
    EXPECT_EQ(boxes.texts(), QStringList{ "Please select a profile to log in" });

    // The selected profile is deleted behind the window's back.
    list->selectionModel()->select(list->model()->index(0, 0), QItemSelectionModel::Select);
    const QString id =
            profiles::profileIdAt(*probe->widget<QListView>("listViewForID")->model(), 0);
    ASSERT_TRUE(profiles::deleteProfile(id).statementOk);
    clickLogin();
    EXPECT_EQ(boxes.texts().last(), "This profile does not exist");
    EXPECT_EQ(list->model()->rowCount(), 0); // the lists were reloaded

    // No channel was opened, so nothing went out, and no wait began.
    EXPECT_EQ(probe->qmtManager(), nullptr);
    EXPECT_EQ(probe->zmtManager(), nullptr);
    EXPECT_FALSE(probe->loginTimeoutTimer()->isActive());
    EXPECT_TRUE(loginPageIdle());
}

// --- Replies no unit should send: a body of 100 MB, or one without end -----------------------

// Resident memory of this process in kB from /proc/self/status: "VmRSS" now, "VmHWM" its peak.
long memoryKb(const std::string &field)
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0)
            return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

// The peak starts again from the present size.
void resetPeakMemory()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

// Well above what the window and the emulated unit take, well below a body read whole.
constexpr long PeakMemoryLimitKb = 200 * 1024;
constexpr std::uint64_t HugeBodyBytes = std::uint64_t(100) << 20;

struct HostileCase
{
    const char *name;
    const char *address;
    Family family;
    bool endless; // else a body of 100 MB
};

void PrintTo(const HostileCase &c, std::ostream *out)
{
    *out << c.name;
}

class HostileReply : public SessionTest, public ::testing::WithParamInterface<HostileCase>
{
protected:
    // A unit whose answers to `commands` carry the case's body; the other dialect's path stays
    // unanswered, so every reply the window handles is the unit's own.
    void startHostileUnit(std::vector<Command> commands)
    {
        const HostileCase &c = GetParam();
        startUnit(c.address, [&](unitsim::Options &o) {
            o.family = c.family;
            o.otherPath = unitsim::OtherPath::Silent;
            o.hugeBodyBytes = c.endless ? 0 : HugeBodyBytes;
            o.endlessBody = c.endless;
            o.oversizeCommands = std::move(commands);
        });
        openWindow(c.address);
        resetPeakMemory();
    }

    // Every answer to the command is over: the window went away before the end of each. (A
    // body of 100 MB may still have gone out whole: the window cuts off the reply at its head,
    // but Qt's network thread may read on and drop the rest before it closes the connection.)
    bool everyAnswerCutOff(Command command)
    {
        int answers = 0;
        for (const auto &request : requests(command)) {
            if (request.family != GetParam().family)
                continue;
            if (!request.bodyEnded || (GetParam().endless && request.bodyComplete))
                return false;
            ++answers;
        }
        return answers > 0;
    }

    // What the unit sent of each answer to the command, for the failure messages.
    std::string answersSent(Command command)
    {
        std::string text;
        for (const auto &request : requests(command)) {
            text += "[conn " + std::to_string(request.connection) + " at "
                    + std::to_string(request.timeMs) + " ms: " + request.answer + ", status "
                    + std::to_string(request.status) + ", " + std::to_string(request.bodyBytesSent)
                    + " bytes"
                    + (request.bodyEnded ? (request.bodyComplete ? ", all" : ", cut") : "") + "] ";
        }
        return text;
    }

    void expectBoundedMemory()
    {
        const long peakKb = memoryKb("VmHWM");
        std::printf("peak RSS %ld kB (now %ld kB)\n", peakKb, memoryKb("VmRSS"));
        RecordProperty("peak_rss_kb", std::to_string(peakKb));
        EXPECT_GT(peakKb, 0);
        EXPECT_LT(peakKb, PeakMemoryLimitKb);
    }
};

class HostileLoginReply : public HostileReply
{
};

TEST_P(HostileLoginReply, IsNotAcceptedAndTheTimeOutDecides)
{
    // Read whole, the reply would log in: its usual body comes first, then blanks.
    timings.loginTimeoutMs = 1500;
    startHostileUnit({ Command::Login });
    clickLogin();
    ASSERT_TRUE(waitUntil([&] { return everyAnswerCutOff(Command::Login); }, 10s))
            << answersSent(Command::Login);
    ASSERT_TRUE(boxes.waitForText("Remote system cannot be accessed", 10s));

    testsupport::processEventsFor(200ms);
    EXPECT_EQ(boxes.texts(), QStringList{ "Remote system cannot be accessed" });
    EXPECT_TRUE(loginPageIdle());
    EXPECT_FALSE(b_loginDone);
    EXPECT_FALSE(b_finish_ret); // handled as a reply with no HTTP answer
    EXPECT_EQ(strSessionID, "");
    EXPECT_EQ(count(Command::Firmware), 0);
    expectBoundedMemory();
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, HostileLoginReply,
        ::testing::Values(HostileCase{ "QmtHuge", "127.0.0.141", Family::Qmt, false },
                HostileCase{ "QmtEndless", "127.0.0.142", Family::Qmt, true },
                HostileCase{ "ZmtHuge", "127.0.0.143", Family::Zmt, false },
                HostileCase{ "ZmtEndless", "127.0.0.144", Family::Zmt, true }),
        [](const ::testing::TestParamInfo<HostileCase> &info) { return info.param.name; });

class HostileFirmwareReply : public HostileReply
{
};

TEST_P(HostileFirmwareReply, GivesNoVerdictAndTheSessionStaysUp)
{
    // Read whole, the version would not support sharing: box and logout.
    startHostileUnit({ Command::Firmware });
    unit->updateOptions([](unitsim::Options &o) { o.unsupportedFirmware = true; });
    clickLogin();
    ASSERT_TRUE(loginAccepted());
    ASSERT_TRUE(waitUntil([&] { return everyAnswerCutOff(Command::Firmware); }, 10s))
            << answersSent(Command::Firmware);

    testsupport::processEventsFor(300ms);
    EXPECT_TRUE(boxes.texts().isEmpty()) << boxes.texts().join(" | ").toStdString();
    EXPECT_TRUE(onSharePage());
    EXPECT_TRUE(probe->fwCheckPending());
    EXPECT_EQ(count(Command::Logout), 0);
    expectBoundedMemory();
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, HostileFirmwareReply,
        ::testing::Values(HostileCase{ "QmtHuge", "127.0.0.145", Family::Qmt, false },
                HostileCase{ "ZmtEndless", "127.0.0.146", Family::Zmt, true }),
        [](const ::testing::TestParamInfo<HostileCase> &info) { return info.param.name; });

class HostileKeepAliveReply : public HostileReply
{
};

TEST_P(HostileKeepAliveReply, CountsAsNoReplyAndTheThirdTickLogsOut)
{
    timings.keepAliveMs = 150;
    startHostileUnit({ Command::KeepAlive });
    clickLogin();
    ASSERT_TRUE(loginAccepted());

    ASSERT_TRUE(waitUntil([&] { return count(Command::Logout) == 1; }, 10s));
    EXPECT_EQ(count(Command::KeepAlive), 3);
    // The last one went out just before the logout; it is cut off all the same.
    EXPECT_TRUE(waitUntil([&] { return everyAnswerCutOff(Command::KeepAlive); }))
            << answersSent(Command::KeepAlive);
    EXPECT_TRUE(loginPageIdle());
    EXPECT_EQ(keepAliveTimer, nullptr);
    EXPECT_TRUE(boxes.texts().isEmpty()) << boxes.texts().join(" | ").toStdString();
    expectBoundedMemory();
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, HostileKeepAliveReply,
        ::testing::Values(HostileCase{ "QmtEndless", "127.0.0.147", Family::Qmt, true },
                HostileCase{ "ZmtHuge", "127.0.0.148", Family::Zmt, false }),
        [](const ::testing::TestParamInfo<HostileCase> &info) { return info.param.name; });

} // namespace

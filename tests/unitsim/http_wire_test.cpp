// The emulator's HTTP side on literal bytes: raw requests as the client's HTTP stack writes
// them, replies read back and checked the way the client reads them.

#include "cli_options.h"
#include "raw_peer.h"
#include "unit_sim.h"

#include <QDomDocument>
#include <QString>

#include <gtest/gtest.h>
#include <memory>
#include <poll.h>

using namespace std::chrono_literals;
using rawpeer::TcpClient;

namespace {

const std::string Address = "127.0.0.40";

// The login documents exactly as the client sends them (device "host"), encoded in full.
const std::string QmtLoginTarget =
        "/cgi-bin/doxml.cgi?xmldoc=%3C%3Fxml%20version%3D%221%22%20encoding%3D%22utf-8%22%20"
        "standalone%3D%22yes%22%3F%3E%20%3CVC%20device%3D%22host%22%20version%3D%221.0%22%20"
        "acccode%3D%221234%22%20%2F%3E";
const std::string ZmtLoginTarget =
        "/docmd?jdoc=%5B%20%7B%22cmd%22%3A%22login%22%2C%20%22device%22%3A%22host%22%2C%20"
        "%22version%22%3A%222.0%22%2C%20%22acccode%22%3A%221234%22%7D%2C%20%7B%22cmd%22%3A%22"
        "nop%22%7D%20%5D";

// Every byte but the unreserved ones as %XX, as the client encodes a login document.
std::string encodeAll(const std::string &text)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += char(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 0x0F];
        }
    }
    return out;
}

// What the URL layer encodes in the other commands: blanks, quotes, <>, [], {}.
std::string encodeTolerant(const std::string &text)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::string_view(" \"<>[]{}").find(char(c)) != std::string_view::npos) {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 0x0F];
        } else {
            out += char(c);
        }
    }
    return out;
}

std::string qmtLogin(const std::string &escapedCode)
{
    return "/cgi-bin/doxml.cgi?xmldoc="
            + encodeAll("<?xml version=\"1\" encoding=\"utf-8\" standalone=\"yes\"?> <VC "
                        "device=\"host\" version=\"1.0\" acccode=\""
                    + escapedCode + "\" />");
}

std::string zmtLogin(const std::string &escapedCode)
{
    return "/docmd?jdoc="
            + encodeAll("[ {\"cmd\":\"login\", \"device\":\"host\", \"version\":\"2.0\", "
                        "\"acccode\":\""
                    + escapedCode + "\"}, {\"cmd\":\"nop\"} ]");
}

std::string qmtSession(const std::string &session, const std::string &tail)
{
    return "/cgi-bin/doxml.cgi?xmldoc="
            + encodeTolerant("<?xml version=\"1.0\" encoding=\"utf-8\"   standalone=\"yes\"?> "
                             "<VC device=\"host\" version=\"1.0\" session=\""
                    + session + tail);
}

std::string zmtSession(const std::string &session, const std::string &tail)
{
    return "/docmd?jdoc="
            + encodeTolerant("[ {\"cmd\":\"login\", \"device\":\"host\", \"version\":\"2.0\", "
                             "\"session\":\""
                    + session + tail);
}

const std::string QmtFirmwareTail =
        "\"><get id=\"1\" object=\"System/FirmwareVersion\" /><nop/></VC>";
const std::string QmtKeepAliveTail = "\"><nop/></VC>";
const std::string QmtLogoutTail = "\"><logout/></VC>";
const std::string ZmtFirmwareTail =
        "\"}, {\"cmd\":\"get\", \"id\":\"1\", \"object\":\"System/FirmwareVersion\"} ]";
const std::string ZmtKeepAliveTail = "\"}, {\"cmd\":\"nop\"} ]";
const std::string ZmtLogoutTail = "\"}, {\"cmd\":\"logout\"} ]";

// The client's reading of a ZMT reply: fixed windows after the first "session" and "errno".
struct ZmtReading
{
    std::optional<std::string> session;
    std::optional<std::string> errorCode;
    std::optional<std::string> firmware;
};

ZmtReading readAsClient(const std::string &body)
{
    ZmtReading r;
    std::string text = body.substr(0, body.find('\0'));
    if (auto at = text.find("session"); at != std::string::npos)
        r.session = text.substr(std::min(text.size(), at + 10), 4);
    if (auto at = text.find("errno"); at != std::string::npos)
        r.errorCode = text.substr(std::min(text.size(), at + 7), 3);
    if (auto at = text.find("data"); at != std::string::npos)
        r.firmware = text.substr(std::min(text.size(), at + 7), 8);
    return r;
}

// The client's reading of a QMT firmware reply: root, first child, its first child "data".
std::optional<QString> qmtFirmwareAsClient(const std::string &body)
{
    QDomDocument doc;
    if (!doc.setContent(QByteArray::fromStdString(body), true))
        return std::nullopt;
    QDomNode data = doc.documentElement().firstChild().firstChild();
    if (!data.isElement() || data.toElement().tagName() != "data")
        return std::nullopt;
    return data.firstChild().nodeValue();
}

bool bytesWaiting(TcpClient &client)
{
    return !client.receive(1, 0ms).empty();
}

class HttpWire : public ::testing::Test
{
protected:
    void startUnit(unitsim::Options options = {})
    {
        options.address = Address;
        options.rtpListen = false;
        options.controlListen = false;
        unit = std::make_unique<unitsim::UnitSim>(options);
        std::optional<std::string> error = unit->start();
        ASSERT_FALSE(error) << *error;
    }

    TcpClient::Response ask(const std::string &target)
    {
        TcpClient client(Address, 80);
        EXPECT_TRUE(client.connected());
        client.get(target, Address);
        return client.receiveResponse();
    }

    std::unique_ptr<unitsim::UnitSim> unit;
};

TEST_F(HttpWire, QmtLoginIsAnsweredWithSessionAndCodeAndRecordedAsOnTheWire)
{
    startUnit();
    TcpClient client(Address, 80);
    ASSERT_TRUE(client.connected());
    client.get(QmtLoginTarget, Address);
    TcpClient::Response r = client.receiveResponse();
    ASSERT_TRUE(r.complete);
    EXPECT_EQ(r.head,
            "HTTP/1.1 200 OK\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: 67\r\n"
            "Connection: keep-alive\r\n\r\n");
    EXPECT_EQ(
            r.body, "<?xml version=\"1.0\" encoding=\"utf-8\"?><VC session=\"Ab12\" code=\"0\"/>");

    std::vector<unitsim::HttpRequest> seen = unit->httpRequests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].target, QmtLoginTarget);
    EXPECT_EQ(seen[0].path, "/cgi-bin/doxml.cgi");
    EXPECT_EQ(seen[0].document,
            "<?xml version=\"1\" encoding=\"utf-8\" standalone=\"yes\"?> <VC device=\"host\" "
            "version=\"1.0\" acccode=\"1234\" />");
    EXPECT_EQ(seen[0].command, unitsim::Command::Login);
    EXPECT_EQ(seen[0].family, unitsim::Family::Qmt);
    EXPECT_EQ(seen[0].device, "host");
    EXPECT_EQ(seen[0].accessCode, "1234");
    EXPECT_EQ(seen[0].status, 200);
    EXPECT_EQ(unit->counters().loginsAccepted, 1);
}

TEST_F(HttpWire, LoginRepliesOfBothFamiliesReadAsTheClientReadsThem)
{
    struct Row
    {
        unitsim::Family family;
        unitsim::LoginRefusal refusal;
        std::string code; // access code sent
        std::string body;
        std::string session; // as the client reads it; "-" when it keeps its old one
        std::string error; // "-" when absent
    };
    using unitsim::Family;
    using unitsim::LoginRefusal;
    const std::string head = "<?xml version=\"1.0\" encoding=\"utf-8\"?>";
    const Row rows[] = {
        { Family::Qmt, LoginRefusal::None, "1234", head + "<VC session=\"Ab12\" code=\"0\"/>",
                "Ab12", "0" },
        { Family::Qmt, LoginRefusal::None, "9999", head + "<VC session=\"\" code=\"100\"/>", "",
                "100" },
        { Family::Qmt, LoginRefusal::TooManyUsers, "1234", head + "<VC session=\"\" code=\"103\"/>",
                "", "103" },
        { Family::Qmt, LoginRefusal::NotAccessible, "1234",
                head + "<VC session=\"\" code=\"104\"/>", "", "104" },
        { Family::Zmt, LoginRefusal::None, "1234",
                "[ {\"cmd\":\"login\", \"session\":\"Ab12\", \"errno\":000} ]", "Ab12", "000" },
        { Family::Zmt, LoginRefusal::None, "9999", "[ {\"cmd\":\"login\", \"errno\":100} ]", "-",
                "100" },
        { Family::Zmt, LoginRefusal::TooManyUsers, "1234", "[ {\"cmd\":\"login\", \"errno\":103} ]",
                "-", "103" },
        { Family::Zmt, LoginRefusal::NotAccessible, "1234",
                "[ {\"cmd\":\"login\", \"errno\":104} ]", "-", "104" },
        { Family::Zmt, LoginRefusal::BadCode, "1234", "[ {\"cmd\":\"login\", \"errno\":100} ]", "-",
                "100" },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.body);
        unitsim::Options options;
        options.family = row.family;
        options.loginRefusal = row.refusal;
        startUnit(options);
        TcpClient::Response r =
                ask(row.family == Family::Qmt ? qmtLogin(row.code) : zmtLogin(row.code));
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.body, row.body);
        if (row.family == Family::Qmt) {
            QDomDocument doc;
            ASSERT_TRUE(doc.setContent(QByteArray::fromStdString(r.body), true));
            EXPECT_EQ(doc.documentElement().attribute("session").toStdString(), row.session);
            EXPECT_EQ(doc.documentElement().attribute("code").toStdString(), row.error);
        } else {
            ZmtReading reading = readAsClient(r.body);
            EXPECT_EQ(reading.session.value_or("-"), row.session);
            EXPECT_EQ(reading.errorCode.value_or("-"), row.error);
        }
        unit->stop();
    }
}

TEST_F(HttpWire, AccessCodesWithMarkupCharactersAreReadBackInBothDialects)
{
    // The client writes "&" as "&amp;" into both documents and nothing else escaped.
    const struct
    {
        std::string code;
        std::string inDocument;
    } rows[] = {
        { "a&b", "a&amp;b" },
        { "&&", "&amp;&amp;" },
        { "q\"u<o>t\\e", "q\"u<o>t\\e" },
        { "", "" },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.code);
        for (unitsim::Family family : { unitsim::Family::Qmt, unitsim::Family::Zmt }) {
            unitsim::Options options;
            options.family = family;
            options.accessCode = row.code;
            startUnit(options);
            const std::string target = family == unitsim::Family::Qmt ? qmtLogin(row.inDocument)
                                                                      : zmtLogin(row.inDocument);
            if (row.code.find('&') != std::string::npos) {
                EXPECT_NE(target.find("%26amp%3B"), std::string::npos);
            }
            TcpClient::Response r = ask(target);
            EXPECT_NE(r.body.find("Ab12"), std::string::npos) << r.body;
            std::vector<unitsim::HttpRequest> seen = unit->httpRequests();
            ASSERT_EQ(seen.size(), 1u);
            EXPECT_EQ(seen[0].accessCode, row.code);
            EXPECT_EQ(seen[0].accessCodeRaw, row.inDocument);
            unit->stop();
        }
    }
}

TEST_F(HttpWire, SessionCommandsOnOneKeptAliveConnectionInBothDialects)
{
    for (unitsim::Family family : { unitsim::Family::Qmt, unitsim::Family::Zmt }) {
        const bool qmt = family == unitsim::Family::Qmt;
        SCOPED_TRACE(qmt ? "QMT" : "ZMT");
        unitsim::Options options;
        options.family = family;
        startUnit(options);
        TcpClient client(Address, 80);
        auto session = [&](const std::string &tail) {
            return qmt ? qmtSession("Ab12", tail) : zmtSession("Ab12", tail);
        };
        client.get(qmt ? QmtLoginTarget : ZmtLoginTarget, Address);
        client.get(session(qmt ? QmtFirmwareTail : ZmtFirmwareTail), Address);
        client.get(session(qmt ? QmtKeepAliveTail : ZmtKeepAliveTail), Address);
        client.get(session(qmt ? QmtLogoutTail : ZmtLogoutTail), Address);
        // After the logout the session is gone.
        client.get(session(qmt ? QmtKeepAliveTail : ZmtKeepAliveTail), Address);
        TcpClient::Response login = client.receiveResponse();
        TcpClient::Response firmware = client.receiveResponse();
        TcpClient::Response keepAlive = client.receiveResponse();
        TcpClient::Response logout = client.receiveResponse();
        TcpClient::Response late = client.receiveResponse();
        ASSERT_TRUE(late.complete);
        const std::string head = "<?xml version=\"1.0\" encoding=\"utf-8\"?>";
        if (qmt) {
            EXPECT_EQ(firmware.body,
                    head
                            + "<VC session=\"Ab12\" code=\"0\"><get id=\"1\" "
                              "object=\"System/FirmwareVersion\"><data>QMT v 03.00.20240115</data>"
                              "</get><nop/></VC>");
            EXPECT_EQ(qmtFirmwareAsClient(firmware.body), QString("QMT v 03.00.20240115"));
            EXPECT_EQ(keepAlive.body, head + "<VC session=\"Ab12\" code=\"0\"><nop/></VC>");
            EXPECT_EQ(logout.body, head + "<VC session=\"Ab12\" code=\"0\"><logout/></VC>");
            EXPECT_EQ(late.body, head + "<VC session=\"Ab12\" code=\"101\"><nop/></VC>");
        } else {
            EXPECT_EQ(firmware.body,
                    "[ {\"cmd\":\"login\", \"session\":\"Ab12\", \"errno\":000}, {\"cmd\":\"get\", "
                    "\"id\":\"1\", \"object\":\"System/FirmwareVersion\", \"data\":\"V2.01.09\", "
                    "\"errno\":000} ]");
            EXPECT_EQ(readAsClient(firmware.body).firmware, "V2.01.09");
            EXPECT_EQ(keepAlive.body,
                    "[ {\"cmd\":\"login\", \"session\":\"Ab12\", \"errno\":000}, {\"cmd\":\"nop\", "
                    "\"errno\":000} ]");
            EXPECT_EQ(logout.body,
                    "[ {\"cmd\":\"login\", \"session\":\"Ab12\", \"errno\":000}, "
                    "{\"cmd\":\"logout\", \"errno\":000} ]");
            EXPECT_EQ(readAsClient(late.body).errorCode, "101");
        }
        std::vector<unitsim::HttpRequest> seen = unit->httpRequests();
        ASSERT_EQ(seen.size(), 5u);
        EXPECT_EQ(seen[1].command, unitsim::Command::Firmware);
        EXPECT_EQ(seen[2].command, unitsim::Command::KeepAlive);
        EXPECT_EQ(seen[3].command, unitsim::Command::Logout);
        EXPECT_EQ(seen[3].session, "Ab12");
        for (const auto &request : seen)
            EXPECT_EQ(request.connection, seen[0].connection);
        unitsim::Counters c = unit->counters();
        EXPECT_EQ(c.firmwareRequests, 1);
        EXPECT_EQ(c.keepAlives, 2);
        EXPECT_EQ(c.logouts, 1);
        unit->stop();
    }
}

TEST_F(HttpWire, FirmwareTextFollowsTheOptions)
{
    const struct
    {
        unitsim::Family family;
        bool unsupported;
        std::string version;
        std::string expected;
    } rows[] = {
        { unitsim::Family::Qmt, true, "", "QMT v 02.98.20240115" },
        { unitsim::Family::Qmt, false, "Rel 1.2 <beta> & co", "Rel 1.2 <beta> & co" },
        { unitsim::Family::Zmt, true, "", "V2.01.07" },
        { unitsim::Family::Zmt, false, "V0.00.01-long", "V0.00.01" },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.expected);
        unitsim::Options options;
        options.family = row.family;
        options.unsupportedFirmware = row.unsupported;
        options.firmwareVersion = row.version;
        startUnit(options);
        const bool qmt = row.family == unitsim::Family::Qmt;
        ask(qmt ? QmtLoginTarget : ZmtLoginTarget);
        TcpClient::Response r = ask(
                qmt ? qmtSession("Ab12", QmtFirmwareTail) : zmtSession("Ab12", ZmtFirmwareTail));
        if (qmt)
            EXPECT_EQ(qmtFirmwareAsClient(r.body), QString::fromStdString(row.expected));
        else
            EXPECT_EQ(readAsClient(r.body).firmware, row.expected);
        unit->stop();
    }
}

TEST_F(HttpWire, FirmwareRequestWithAnUnknownSessionCarriesNoVersion)
{
    startUnit();
    ask(QmtLoginTarget);
    TcpClient::Response r = ask(qmtSession("Zz99", QmtFirmwareTail));
    EXPECT_EQ(r.status, 200);
    EXPECT_FALSE(qmtFirmwareAsClient(r.body));
    EXPECT_NE(r.body.find("code=\"101\""), std::string::npos);
}

TEST_F(HttpWire, OtherDialectsPathAnswersNotFoundOrAsConfigured)
{
    // Status (default 404).
    startUnit();
    TcpClient::Response r = ask(ZmtLoginTarget);
    EXPECT_EQ(r.head,
            "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: keep-alive\r\n\r\n");
    unit->stop();

    unitsim::Options options;
    options.family = unitsim::Family::Zmt;
    options.otherPathStatus = 503;
    startUnit(options);
    EXPECT_EQ(ask(QmtLoginTarget).status, 503);
    unit->stop();

    // Silent: that request is never answered while later ones on other connections are.
    options.otherPath = unitsim::OtherPath::Silent;
    startUnit(options);
    TcpClient silent(Address, 80);
    silent.get(QmtLoginTarget, Address);
    EXPECT_EQ(ask(ZmtLoginTarget).status, 200);
    EXPECT_FALSE(bytesWaiting(silent));
    EXPECT_EQ(unit->httpRequests().at(0).answer, "silent");
    EXPECT_EQ(unit->httpRequests().at(0).status, 0);
    unit->stop();

    // Close: the connection ends without an answer.
    options.otherPath = unitsim::OtherPath::Close;
    startUnit(options);
    TcpClient closed(Address, 80);
    closed.get(QmtLoginTarget, Address);
    EXPECT_TRUE(closed.waitClosed());
    EXPECT_TRUE(closed.leftover.empty());
}

TEST_F(HttpWire, SilenceAndAnswerLimitLeaveRequestsUnanswered)
{
    unitsim::Options options;
    options.httpAnswerLimit = 1;
    startUnit(options);
    EXPECT_EQ(ask(QmtLoginTarget).status, 200);
    TcpClient second(Address, 80);
    second.get(qmtSession("Ab12", QmtKeepAliveTail), Address);
    ASSERT_TRUE(unit->waitFor(
            [](const unitsim::UnitSim &u) { return u.httpRequests().size() == 2; }, 3s));
    EXPECT_EQ(unit->httpRequests()[1].answer, "silent");
    EXPECT_FALSE(bytesWaiting(second));
    unit->stop();

    options.httpAnswerLimit = -1;
    options.httpSilent = true;
    startUnit(options);
    TcpClient client(Address, 80);
    client.get(QmtLoginTarget, Address);
    ASSERT_TRUE(unit->waitFor(
            [](const unitsim::UnitSim &u) { return u.httpRequests().size() == 1; }, 3s));
    EXPECT_EQ(unit->httpRequests()[0].answer, "silent");
    EXPECT_EQ(unit->counters().httpAnswered, 0);
}

TEST_F(HttpWire, DelayedAnswerComesAfterTheDelay)
{
    unitsim::Options options;
    options.httpDelayMs = 300;
    startUnit(options);
    TcpClient::Response r = ask(QmtLoginTarget);
    EXPECT_EQ(r.status, 200);
    unitsim::HttpRequest seen = unit->httpRequests().at(0);
    EXPECT_GE(seen.answeredMs - seen.timeMs, 300);
}

TEST_F(HttpWire, RequestSplitIntoSingleBytesIsAnsweredOnce)
{
    startUnit();
    TcpClient client(Address, 80);
    const std::string request = "GET " + QmtLoginTarget + " HTTP/1.1\r\nHost: " + Address
            + "\r\nConnection: Keep-Alive\r\n\r\n";
    for (char c : request)
        client.send(std::string(1, c));
    TcpClient::Response r = client.receiveResponse();
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(unit->httpRequests().size(), 1u);
}

TEST_F(HttpWire, UnusableRequestsGetErrorStatuses)
{
    startUnit();
    EXPECT_EQ(ask("/index.html").status, 404);
    EXPECT_EQ(ask("/cgi-bin/doxml.cgi?other=1").status, 400);

    TcpClient post(Address, 80);
    post.send("POST " + QmtLoginTarget + " HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc");
    EXPECT_EQ(post.receiveResponse().status, 405);
    // The body was skipped: the next request on the connection is read as one.
    post.get(QmtLoginTarget, Address);
    EXPECT_EQ(post.receiveResponse().status, 200);

    TcpClient garbage(Address, 80);
    garbage.send(std::string("NONSENSE\r\n\r\n"));
    EXPECT_EQ(garbage.receiveResponse().status, 400);
    EXPECT_TRUE(garbage.waitClosed());

    // Connection: close is honoured after the answer.
    TcpClient once(Address, 80);
    once.get(QmtLoginTarget, Address, false);
    TcpClient::Response r = once.receiveResponse();
    EXPECT_NE(r.head.find("Connection: close"), std::string::npos);
    EXPECT_TRUE(once.waitClosed());
}

TEST_F(HttpWire, HeadLongerThanTheBoundIsRefusedHoweverItArrives)
{
    // 70 KB in one send: whether the end of the head comes in the read that passes 64 KB or in
    // a later one, the request is refused.
    startUnit();
    TcpClient client(Address, 80);
    ASSERT_TRUE(client.send("GET " + QmtLoginTarget
            + " HTTP/1.1\r\nX-Pad: " + std::string(70 * 1024, 'a') + "\r\n\r\n"));
    EXPECT_EQ(client.receiveResponse().status, 400);
    EXPECT_TRUE(client.waitClosed());
    EXPECT_TRUE(unit->httpRequests().empty());
}

TEST_F(HttpWire, SecondInstanceOnTheSameAddressReportsTheBindError)
{
    startUnit();
    unitsim::Options options;
    options.address = Address;
    options.controlListen = false;
    options.rtpListen = false;
    unitsim::UnitSim second(options);
    std::optional<std::string> error = second.start();
    ASSERT_TRUE(error);
    EXPECT_NE(error->find("127.0.0.40:80"), std::string::npos) << *error;
    EXPECT_FALSE(second.running());
}

// The emulator's options as the command line gives them.
unitsim::Options fromCommandLine(const std::vector<std::string> &args)
{
    const unitsim::CommandLine line = unitsim::parseCommandLine(args);
    EXPECT_FALSE(line.error) << *line.error;
    return line.options;
}

const std::string QmtLoginBody =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?><VC session=\"Ab12\" code=\"0\"/>";

TEST_F(HttpWire, HugeBodyIsTheUsualReplyPaddedWithBlanksToItsLength)
{
    startUnit(fromCommandLine({ "--huge-body", "1", "--oversize-on", "login,keepalive" }));
    TcpClient client(Address, 80);
    ASSERT_TRUE(client.get(QmtLoginTarget, Address));
    const TcpClient::Response login = client.receiveResponse(10s);
    ASSERT_TRUE(login.complete);
    EXPECT_EQ(login.head,
            "HTTP/1.1 200 OK\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: 1048576"
            "\r\nConnection: keep-alive\r\n\r\n");
    ASSERT_EQ(login.body.size(), 1048576u);
    EXPECT_EQ(login.body.substr(0, QmtLoginBody.size()), QmtLoginBody);
    EXPECT_EQ(login.body.find_first_not_of(' ', QmtLoginBody.size()), std::string::npos);
    ASSERT_TRUE(unit->waitFor(
            [](const unitsim::UnitSim &u) { return u.httpRequests().at(0).bodyEnded; }, 3s));
    const unitsim::HttpRequest seen = unit->httpRequests().at(0);
    EXPECT_TRUE(seen.bodyComplete);
    EXPECT_EQ(seen.bodyBytesSent, 1048576u);
    EXPECT_EQ(seen.replyBody, QmtLoginBody); // the record keeps the usual body only

    // The connection stays usable: the firmware answer is not chosen and comes as usual, the
    // keep-alive answer is padded again.
    ASSERT_TRUE(client.get(qmtSession("Ab12", QmtFirmwareTail), Address));
    const TcpClient::Response firmware = client.receiveResponse();
    EXPECT_EQ(firmware.status, 200);
    EXPECT_EQ(qmtFirmwareAsClient(firmware.body), QString("QMT v 03.00.20240115"));
    ASSERT_TRUE(client.get(qmtSession("Ab12", QmtKeepAliveTail), Address));
    EXPECT_EQ(client.receiveResponse(10s).body.size(), 1048576u);

    // Only the unit's own command answers grow.
    const TcpClient::Response other = ask(ZmtLoginTarget);
    EXPECT_EQ(other.status, 404);
    EXPECT_EQ(other.body, "");
}

TEST_F(HttpWire, EndlessBodyRunsUntilTheClientLeaves)
{
    startUnit(
            fromCommandLine({ "--family", "zmt", "--endless-body", "--oversize-on", "firmware" }));
    auto client = std::make_unique<TcpClient>(Address, 80);
    ASSERT_TRUE(client->get(ZmtLoginTarget, Address));
    EXPECT_EQ(readAsClient(client->receiveResponse().body).session, "Ab12");

    ASSERT_TRUE(client->get(zmtSession("Ab12", ZmtFirmwareTail), Address));
    constexpr std::size_t Taken = 4 << 20;
    const rawpeer::Bytes bytes = client->receive(Taken, 10s);
    ASSERT_EQ(bytes.size(), Taken);
    const std::string text(bytes.begin(), bytes.end());
    const std::size_t headEnd = text.find("\r\n\r\n");
    ASSERT_NE(headEnd, std::string::npos);
    const std::string head = text.substr(0, headEnd + 4);
    EXPECT_EQ(head,
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\n"
            "Connection: close\r\n\r\n");
    const std::string body = text.substr(headEnd + 4);
    EXPECT_EQ(readAsClient(body).firmware, "V2.01.09");
    const std::size_t usual = body.find(" ]") + 2;
    EXPECT_EQ(body.find_first_not_of(' ', usual), std::string::npos);

    // Meanwhile the unit answers other connections.
    EXPECT_EQ(ask(ZmtLoginTarget).status, 200);

    // The client leaves: the answer ended before its end, which it never has.
    client.reset();
    ASSERT_TRUE(unit->waitFor(
            [](const unitsim::UnitSim &u) { return u.httpRequests().at(1).bodyEnded; }, 3s));
    const unitsim::HttpRequest seen = unit->httpRequests().at(1);
    EXPECT_EQ(seen.command, unitsim::Command::Firmware);
    EXPECT_FALSE(seen.bodyComplete);
    EXPECT_GE(seen.bodyBytesSent, Taken - head.size());
}

TEST_F(HttpWire, OversizeOptionsOnTheCommandLine)
{
    const unitsim::Options options =
            fromCommandLine({ "--oversize-on", "firmware,logout", "--huge-body", "100" });
    EXPECT_EQ(options.hugeBodyBytes, 100u << 20);
    EXPECT_FALSE(options.endlessBody);
    EXPECT_EQ(options.oversizeCommands,
            (std::vector<unitsim::Command>{
                    unitsim::Command::Firmware, unitsim::Command::Logout }));
    EXPECT_TRUE(fromCommandLine({ "--endless-body" }).oversizeCommands.empty()); // all of them

    const std::vector<std::vector<std::string>> refused = { { "--huge-body", "0" },
        { "--huge-body", "1.5" }, { "--huge-body" }, { "--oversize-on", "login,nop" },
        { "--oversize-on", "login," }, { "--oversize-on", "" } };
    for (const auto &args : refused)
        EXPECT_TRUE(unitsim::parseCommandLine(args).error) << args.front() << " " << args.size();
}

} // namespace

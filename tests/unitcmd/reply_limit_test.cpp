// The bound on one command reply, against the emulated unit over HTTP on loopback: a reply that
// fits is read whole; a body past the bound, announced or sent, and a body without end are cut
// off and read as unanswered. The unit is at 127.0.0.140.

#include "command_documents.h"
#include "command_url.h"
#include "reply_limit.h"
#include "reply_readers.h"
#include "test_support.h"
#include "unit_sim.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <gtest/gtest.h>
#include <memory>

using namespace std::chrono_literals;
using testsupport::waitUntil;

namespace {

const char *const Address = "127.0.0.140";

constexpr std::uint64_t Megabyte = std::uint64_t(1) << 20;

class ReplyLimitTest : public ::testing::Test
{
protected:
    void startUnit(std::uint64_t paddedBytes, bool endless)
    {
        unitsim::Options options;
        options.address = Address;
        options.controlListen = false;
        options.rtpListen = false;
        options.hugeBodyBytes = paddedBytes;
        options.endlessBody = endless;
        unit = std::make_unique<unitsim::UnitSim>(options);
        const auto error = unit->start();
        ASSERT_FALSE(error) << *error;
    }

    // The QMT login, as the window sends it, with the bound watched when `limited`.
    QNetworkReply *login(bool limited = true)
    {
        using unitcmd::Family;
        const QUrl url = unitcmd::loginUrl(
                Family::Qmt, Address, unitcmd::loginDocument(Family::Qmt, "host", "1234"))
                                 .url;
        QNetworkReply *reply = manager.get(QNetworkRequest(url));
        if (limited)
            unitcmd::limitReplyBody(reply);
        replies.emplace_back(reply);
        EXPECT_TRUE(waitUntil([reply] { return reply->isFinished(); }, 10s));
        return reply;
    }

    static int status(QNetworkReply *reply)
    {
        return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    }

    // The unit's record of the last answer, once its body ended (all of it went out, or the
    // client left first).
    std::optional<unitsim::HttpRequest> endedAnswer()
    {
        if (!waitUntil([&] { return unit->httpRequests().back().bodyEnded; }))
            return std::nullopt;
        return unit->httpRequests().back();
    }

    std::unique_ptr<unitsim::UnitSim> unit;
    QNetworkAccessManager manager;
    std::vector<std::unique_ptr<QNetworkReply>> replies;
};

struct LimitCase
{
    const char *name;
    std::uint64_t paddedBytes; // 0: the usual reply
    bool endless;
    bool readWhole;
};

void PrintTo(const LimitCase &c, std::ostream *out)
{
    *out << c.name;
}

class ReplyLimit : public ReplyLimitTest, public ::testing::WithParamInterface<LimitCase>
{
};

TEST_P(ReplyLimit, ReadsWhatFitsAndCutsOffTheRest)
{
    const LimitCase &c = GetParam();
    startUnit(c.paddedBytes, c.endless);
    QNetworkReply *reply = login();

    if (c.readWhole) {
        EXPECT_EQ(status(reply), 200);
        EXPECT_FALSE(unitcmd::replyCutOff(reply));
        const std::optional<QByteArray> body = unitcmd::takeReplyBody(reply);
        ASSERT_TRUE(body);
        EXPECT_EQ(body->size(), qsizetype(c.paddedBytes ? c.paddedBytes : body->size()));
        EXPECT_EQ(unitcmd::readQmtLoginReply(*body).session, "Ab12"); // blanks after the root
        return;
    }
    // As if no HTTP answer had come: no status, no body.
    EXPECT_TRUE(unitcmd::replyCutOff(reply));
    EXPECT_EQ(status(reply), 0);
    EXPECT_FALSE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid());
    EXPECT_EQ(reply->error(), QNetworkReply::OperationCanceledError);
    EXPECT_FALSE(unitcmd::takeReplyBody(reply));

    // The client went away before the end of a body without end.
    if (c.endless) {
        const std::optional<unitsim::HttpRequest> seen = endedAnswer();
        ASSERT_TRUE(seen);
        EXPECT_FALSE(seen->bodyComplete);
    }

    // The channel serves the next command as usual.
    unit->updateOptions([](unitsim::Options &o) {
        o.hugeBodyBytes = 0;
        o.endlessBody = false;
    });
    QNetworkReply *next = login();
    EXPECT_EQ(status(next), 200);
    EXPECT_EQ(unitcmd::readQmtLoginReply(unitcmd::takeReplyBody(next).value()).session, "Ab12");
}

INSTANTIATE_TEST_SUITE_P(Bodies, ReplyLimit,
        ::testing::Values(LimitCase{ "Usual", 0, false, true },
                LimitCase{ "JustFits", unitcmd::MaxReplyBodyBytes, false, true },
                LimitCase{ "OneByteOver", unitcmd::MaxReplyBodyBytes + 1, false, false },
                LimitCase{ "HundredMegabytes", 100 * Megabyte, false, false },
                LimitCase{ "Endless", 0, true, false }),
        [](const ::testing::TestParamInfo<LimitCase> &info) { return info.param.name; });

TEST_F(ReplyLimitTest, UnwatchedReplyPastTheBoundGivesNoBody)
{
    // Read in full by Qt, but still more than a command reply may be.
    startUnit(unitcmd::MaxReplyBodyBytes + 100, false);
    QNetworkReply *reply = login(false);
    EXPECT_EQ(status(reply), 200);
    EXPECT_FALSE(unitcmd::replyCutOff(reply));
    EXPECT_FALSE(unitcmd::takeReplyBody(reply));
}

} // namespace

namespace {

TEST_F(ReplyLimitTest, ReplyOnAKeptAliveConnectionIsCutOffJustTheSame)
{
    // The unit answers as usual first, so the next command goes on the same connection.
    startUnit(0, false);
    for (int round = 0; round < 3; ++round) {
        unit->updateOptions([](unitsim::Options &o) { o.endlessBody = false; });
        EXPECT_EQ(status(login()), 200);
        unit->updateOptions([](unitsim::Options &o) { o.endlessBody = true; });
        QNetworkReply *reply = login();
        EXPECT_TRUE(unitcmd::replyCutOff(reply));
        EXPECT_EQ(status(reply), 0);
        const std::optional<unitsim::HttpRequest> seen = endedAnswer();
        ASSERT_TRUE(seen);
        EXPECT_FALSE(seen->bodyComplete);
    }
}

} // namespace

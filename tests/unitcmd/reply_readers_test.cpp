// Readers of the units' login and firmware replies, and the firmware rules of both families.

#include "firmware_rules.h"
#include "qstring_printer.h"
#include "reply_readers.h"

#include <gtest/gtest.h>

using namespace unitcmd;

namespace {

TEST(QmtLoginReply, ReadsSessionAndCodeFromTheRoot)
{
    const QmtLoginReply reply =
            readQmtLoginReply(R"(<?xml version="1.0"?><VC session="Zq9x" code="0"/>)");
    EXPECT_EQ(reply.session, "Zq9x");
    EXPECT_EQ(reply.code, "0");

    const QmtLoginReply refused = readQmtLoginReply(R"(<VC code="103"><x session="no"/></VC>)");
    EXPECT_EQ(refused.session, "");
    EXPECT_EQ(refused.code, "103");

    const QmtLoginReply broken = readQmtLoginReply(R"(<VC session="Zq9x" code="0">)");
    EXPECT_EQ(broken.session, "");
    EXPECT_EQ(broken.code, "");
}

struct ZmtLoginCase
{
    const char *name;
    QByteArray body;
    std::optional<QString> session;
    std::optional<QString> errorCode;
};

void PrintTo(const ZmtLoginCase &c, std::ostream *out)
{
    *out << c.name;
}

class ZmtLoginReplyWindows : public ::testing::TestWithParam<ZmtLoginCase>
{
};

TEST_P(ZmtLoginReplyWindows, TakeFixedWindowsAfterTheKeys)
{
    const ZmtLoginReply reply = readZmtLoginReply(GetParam().body);
    EXPECT_EQ(reply.session, GetParam().session);
    EXPECT_EQ(reply.errorCode, GetParam().errorCode);
}

INSTANTIATE_TEST_SUITE_P(Replies, ZmtLoginReplyWindows,
        ::testing::Values(
                ZmtLoginCase{ "Accepted", R"([{"session":"Ab12","errno":0}])", "Ab12", "0}]" },
                ZmtLoginCase{
                        "SixCharacterSession", R"({"session":"Ab12Cd"})", "Ab12", std::nullopt },
                ZmtLoginCase{ "BlankBeforeErrno", R"({"errno": 100})", std::nullopt, " 10" },
                ZmtLoginCase{ "Refused", R"({"errno":103,"session":""})", QString(R"("})"), "103" },
                ZmtLoginCase{ "NeitherKey", R"({"result":"ok"})", std::nullopt, std::nullopt },
                ZmtLoginCase{ "TextEndsInsideWindow", R"({"session":"Ab)", "Ab", std::nullopt },
                ZmtLoginCase{ "TextEndsBeforeWindow", "session", QString(), std::nullopt },
                ZmtLoginCase{ "KeysAreCaseSensitive", R"({"Session":"Ab12","ERRNO":100})",
                        std::nullopt, std::nullopt },
                ZmtLoginCase{ "StopsAtZeroByte",
                        QByteArray(R"({"errno":104)"
                                   "\0"
                                   R"("session":"Ab12"})",
                                28),
                        std::nullopt, "104" }),
        [](const ::testing::TestParamInfo<ZmtLoginCase> &info) { return info.param.name; });

TEST(ZmtLoginReply, ReadsEachByteAsOneCharacter)
{
    const ZmtLoginReply reply = readZmtLoginReply("\xe9\xe9session\":\"\xff\x41\x42\x43");
    EXPECT_EQ(reply.sessionIndex, 2);
    EXPECT_EQ(reply.session, QStringLiteral("\u00ffABC"));
}

TEST(QmtFirmwareVersion, ReadsDataTwoLevelsBelowTheRoot)
{
    EXPECT_EQ(readQmtFirmwareVersion(R"(<VC><get><data>QV-12-02.99.00001</data></get></VC>)"),
            "QV-12-02.99.00001");
    EXPECT_EQ(readQmtFirmwareVersion(R"(<VC><get><data/></get></VC>)"), "");
    EXPECT_EQ(readQmtFirmwareVersion(R"(<VC><get><info/><data>1</data></get></VC>)"), std::nullopt);
    EXPECT_EQ(readQmtFirmwareVersion(R"(<VC><data>1</data></VC>)"), std::nullopt);
    EXPECT_EQ(readQmtFirmwareVersion(R"(<VC><get><data>1</data></get>)"), std::nullopt);
}

TEST(ZmtFirmwareWindow, TakesEightCharactersAfterData)
{
    EXPECT_EQ(readZmtFirmwareWindow(R"({"data":"10.01.08.77"})"), "10.01.08");
    EXPECT_EQ(readZmtFirmwareWindow(R"({"data":"1.0"})"), R"(1.0"})");
    EXPECT_EQ(readZmtFirmwareWindow(R"({"version":"10.01.08"})"), std::nullopt);
}

struct FirmwareCase
{
    const char *name;
    QString version;
    bool supported;
};

void PrintTo(const FirmwareCase &c, std::ostream *out)
{
    *out << c.name;
}

class QmtFirmwareRule : public ::testing::TestWithParam<FirmwareCase>
{
};

TEST_P(QmtFirmwareRule, DecidesSharing)
{
    EXPECT_EQ(qmtFirmwareSupported(GetParam().version), GetParam().supported)
            << GetParam().version.toStdString();
}

// Characters 7-8 are the major number, 10-11 the minor; "QV-12-" fills the first six.
INSTANTIATE_TEST_SUITE_P(Versions, QmtFirmwareRule,
        ::testing::Values(FirmwareCase{ "Major2Minor98", "QV-12-02.98.00000001", false },
                FirmwareCase{ "Major2Minor99", "QV-12-02.99.00000001", true },
                FirmwareCase{ "MajorBlankPadded", "QV-12- 3.00", true },
                FirmwareCase{ "Major1", "QV-12-01.99.00000001", false },
                FirmwareCase{ "Major0", "QV-12-00.99.00000001", false },
                FirmwareCase{ "Major3AnyMinor", "QV-12-03.00.00000001", true },
                FirmwareCase{ "Major10", "QV-12-10.00", true },
                FirmwareCase{ "DigitTailJoinsBothNumbers", "QV-12-02.98.000000000005", true },
                FirmwareCase{ "NonDigitTailFailsBoth", "QV-12-03.99.000000000abc", false },
                FirmwareCase{ "Empty", "", false }, FirmwareCase{ "TooShort", "QV-12-0", false }),
        [](const ::testing::TestParamInfo<FirmwareCase> &info) { return info.param.name; });

TEST(QmtFirmwareNumbers, CutCharactersSevenToEightAndTenToElevenPlusTheTail)
{
    const QmtFirmwareNumbers numbers = qmtFirmwareNumbers("ABCDEF12X34YYYYYYYYYY56");
    EXPECT_EQ(numbers.majorText, "1256");
    EXPECT_EQ(numbers.minorText, "3456");
    EXPECT_EQ(numbers.major, 1256);
    EXPECT_EQ(numbers.minor, 3456);
}

class ZmtFirmwareRule : public ::testing::TestWithParam<FirmwareCase>
{
};

TEST_P(ZmtFirmwareRule, DecidesSharing)
{
    EXPECT_EQ(zmtFirmwareSupported(GetParam().version), GetParam().supported)
            << GetParam().version.toStdString();
}

// Characters 4-5 of the window are the main version, 7-8 the child version.
INSTANTIATE_TEST_SUITE_P(Windows, ZmtFirmwareRule,
        ::testing::Values(FirmwareCase{ "Main00AnyChild", "10.00.01", true },
                FirmwareCase{ "Main01Child07", "10.01.07", false },
                FirmwareCase{ "Main01Child08", "10.01.08", true },
                FirmwareCase{ "Main02Child00", "10.02.00", false },
                FirmwareCase{ "ShorterThanFour", "10.", true },
                FirmwareCase{ "MainWithoutChild", "10.01", false },
                FirmwareCase{ "NonDigitMain", "10.xx.01", true }),
        [](const ::testing::TestParamInfo<FirmwareCase> &info) { return info.param.name; });

} // namespace

// Command documents and URLs of both dialects, down to the bytes that go on the wire.

#include "command_documents.h"
#include "command_url.h"
#include "qstring_printer.h"

#include <gtest/gtest.h>

using namespace unitcmd;

namespace {

struct DocumentCase
{
    const char *name;
    QString document;
    const char *expected;
};

void PrintTo(const DocumentCase &c, std::ostream *out)
{
    *out << c.name;
}

class CommandDocuments : public ::testing::TestWithParam<DocumentCase>
{
};

TEST_P(CommandDocuments, MatchTheUnitsTextToTheBlank)
{
    EXPECT_EQ(GetParam().document.toStdString(), GetParam().expected);
}

const QString Device = QStringLiteral("pc-07");
const QString Session = QStringLiteral("Ab12");

INSTANTIATE_TEST_SUITE_P(BothDialects, CommandDocuments,
        ::testing::Values(
                DocumentCase{ "QmtLogin", loginDocument(Family::Qmt, Device, "12&amp;3"),
                        R"(<?xml version="1" encoding="utf-8" standalone="yes"?> <VC device="pc-07" version="1.0" acccode="12&amp;3" />)" },
                DocumentCase{ "QmtFirmware",
                        sessionDocument(Family::Qmt, SessionCommand::Firmware, Device, Session),
                        R"(<?xml version="1.0" encoding="utf-8"   standalone="yes"?> <VC device="pc-07" version="1.0" session="Ab12"><get id="1" object="System/FirmwareVersion" /><nop/></VC>)" },
                DocumentCase{ "QmtKeepAlive",
                        sessionDocument(Family::Qmt, SessionCommand::KeepAlive, Device, Session),
                        R"(<?xml version="1.0" encoding="utf-8"   standalone="yes"?> <VC device="pc-07" version="1.0" session="Ab12"><nop/></VC>)" },
                DocumentCase{ "QmtLogout",
                        sessionDocument(Family::Qmt, SessionCommand::Logout, Device, Session),
                        R"(<?xml version="1.0" encoding="utf-8"   standalone="yes"?> <VC device="pc-07" version="1.0" session="Ab12"><logout/></VC>)" },
                DocumentCase{ "ZmtLogin", loginDocument(Family::Zmt, Device, "12&amp;3"),
                        R"([ {"cmd":"login", "device":"pc-07", "version":"2.0", "acccode":"12&amp;3"}, {"cmd":"nop"} ])" },
                DocumentCase{ "ZmtFirmware",
                        sessionDocument(Family::Zmt, SessionCommand::Firmware, Device, Session),
                        R"([ {"cmd":"login", "device":"pc-07", "version":"2.0", "session":"Ab12"}, {"cmd":"get", "id":"1", "object":"System/FirmwareVersion"} ])" },
                DocumentCase{ "ZmtKeepAlive",
                        sessionDocument(Family::Zmt, SessionCommand::KeepAlive, Device, Session),
                        R"([ {"cmd":"login", "device":"pc-07", "version":"2.0", "session":"Ab12"}, {"cmd":"nop"} ])" },
                DocumentCase{ "ZmtLogout",
                        sessionDocument(Family::Zmt, SessionCommand::Logout, Device, Session),
                        R"([ {"cmd":"login", "device":"pc-07", "version":"2.0", "session":"Ab12"}, {"cmd":"logout"} ])" },
                DocumentCase{ "QmtLoginEmptyCode", loginDocument(Family::Qmt, Device, ""),
                        R"(<?xml version="1" encoding="utf-8" standalone="yes"?> <VC device="pc-07" version="1.0" acccode="" />)" },
                DocumentCase{ "ZmtLoginEmptyCode", loginDocument(Family::Zmt, Device, ""),
                        R"([ {"cmd":"login", "device":"pc-07", "version":"2.0", "acccode":""}, {"cmd":"nop"} ])" }),
        [](const ::testing::TestParamInfo<DocumentCase> &info) { return info.param.name; });

TEST(AccessCodeEscaping, WritesEveryAmpersandAsEntityAndNothingElse)
{
    EXPECT_EQ(escapeAccessCode("a&b&&c"), "a&amp;b&amp;&amp;c");
    // Quotes, "<" and backslashes go in as typed; an entity already written is escaped again.
    EXPECT_EQ(escapeAccessCode(R"(q"<\'x&amp;)"), R"(q"<\'x&amp;amp;)");
    EXPECT_EQ(escapeAccessCode("1234"), "1234");
    EXPECT_EQ(escapeAccessCode(""), "");
}

TEST(LoginUrl, CarriesTheDocumentFullyPercentEncoded)
{
    const QString document = loginDocument(Family::Qmt, "pc", escapeAccessCode("1&2"));
    const CommandUrl url = loginUrl(Family::Qmt, "127.0.0.50", document);
    EXPECT_EQ(url.url.toEncoded().toStdString(),
            "http://127.0.0.50/cgi-bin/doxml.cgi?xmldoc="
            "%3C%3Fxml%20version%3D%221%22%20encoding%3D%22utf-8%22%20standalone%3D%22yes%22%3F%3E"
            "%20%3CVC%20device%3D%22pc%22%20version%3D%221.0%22%20acccode%3D%221%26amp%3B2%22%20%"
            "2F%3E");
    EXPECT_EQ(url.text, "http://127.0.0.50/cgi-bin/doxml.cgi?xmldoc=" + maskAccessCode(document));

    const CommandUrl zmt = loginUrl(
            Family::Zmt, "127.0.0.50", loginDocument(Family::Zmt, "pc", escapeAccessCode("&")));
    EXPECT_EQ(zmt.url.toEncoded().toStdString(),
            "http://127.0.0.50/docmd?jdoc="
            "%5B%20%7B%22cmd%22%3A%22login%22%2C%20%22device%22%3A%22pc%22%2C%20%22version%22%3A"
            "%222.0%22%2C%20%22acccode%22%3A%22%26amp%3B%22%7D%2C%20%7B%22cmd%22%3A%22nop%22%7D%20%"
            "5D");
}

// The debug output may end up in the user's journal: the access code never shows there, however
// it is written, while everything else of the line stays readable.
struct MaskCase
{
    const char *name;
    QString text;
    const char *expected;
};

void PrintTo(const MaskCase &c, std::ostream *out)
{
    *out << c.name;
}

class AccessCodeMask : public ::testing::TestWithParam<MaskCase>
{
};

TEST_P(AccessCodeMask, HidesTheWholeCodeAndNothingElse)
{
    EXPECT_EQ(maskAccessCode(GetParam().text).toStdString(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(BothDialects, AccessCodeMask,
        ::testing::Values(
                MaskCase{ "ZmtLogin", loginDocument(Family::Zmt, Device, "73915"),
                        R"([ {"cmd":"login", "device":"pc-07", "version":"2.0", "acccode":"****"}, {"cmd":"nop"} ])" },
                MaskCase{ "QmtLogin", loginDocument(Family::Qmt, Device, "73915"),
                        R"(<?xml version="1" encoding="utf-8" standalone="yes"?> <VC device="pc-07" version="1.0" acccode="****" />)" },
                // Quotation marks go into the documents as typed, even the documents' own tails.
                MaskCase{ "ZmtCodeHoldingTheTail",
                        loginDocument(Family::Zmt, Device, R"(7"}, {"cmd":"nop"} ]3)"),
                        R"([ {"cmd":"login", "device":"pc-07", "version":"2.0", "acccode":"****"}, {"cmd":"nop"} ])" },
                MaskCase{ "QmtCodeHoldingTheOtherOpening",
                        loginDocument(Family::Qmt, Device, R"(7"acccode":"3" />9)"),
                        R"(<?xml version="1" encoding="utf-8" standalone="yes"?> <VC device="pc-07" version="1.0" acccode="****" />)" },
                MaskCase{ "UrlCutShort", R"(http://u/docmd?jdoc=[ {"acccode":"73915"}, {"cm)",
                        R"(http://u/docmd?jdoc=[ {"acccode":"****)" },
                MaskCase{ "EmptyCodeStaysEmpty", loginDocument(Family::Zmt, Device, ""),
                        R"([ {"cmd":"login", "device":"pc-07", "version":"2.0", "acccode":""}, {"cmd":"nop"} ])" },
                MaskCase{ "SessionCommandUntouched",
                        sessionDocument(Family::Qmt, SessionCommand::KeepAlive, Device, Session),
                        R"(<?xml version="1.0" encoding="utf-8"   standalone="yes"?> <VC device="pc-07" version="1.0" session="Ab12"><nop/></VC>)" }),
        [](const ::testing::TestParamInfo<MaskCase> &info) { return info.param.name; });

TEST(LoginUrl, ShowsTheCodeMaskedButSendsIt)
{
    const CommandUrl url = loginUrl(
            Family::Zmt, "127.0.0.50", loginDocument(Family::Zmt, "pc", escapeAccessCode("7&3")));
    EXPECT_EQ(url.text.toStdString(),
            R"(http://127.0.0.50/docmd?jdoc=[ {"cmd":"login", "device":"pc", "version":"2.0", "acccode":"****"}, {"cmd":"nop"} ])");
    EXPECT_TRUE(url.url.toEncoded().contains("acccode%22%3A%227%26amp%3B3%22"));
}

TEST(LoginUrl, EncodesNonAsciiAccessCodeAsUtf8)
{
    const CommandUrl url = loginUrl(
            Family::Zmt, "127.0.0.50", loginDocument(Family::Zmt, "pc", QStringLiteral("\u00e9~")));
    EXPECT_TRUE(url.url.toEncoded().contains("acccode%22%3A%22%C3%A9~%22"));
}

TEST(CommandUrl, EncodesOnlyWhatAUrlCannotCarry)
{
    const CommandUrl qmt = commandUrl(Family::Qmt, "127.0.0.50",
            sessionDocument(Family::Qmt, SessionCommand::KeepAlive, "pc", "Ab12"));
    EXPECT_EQ(qmt.url.toEncoded().toStdString(),
            "http://127.0.0.50/cgi-bin/doxml.cgi?xmldoc=%3C?xml%20version=%221.0%22%20encoding="
            "%22utf-8%22%20%20%20standalone=%22yes%22?%3E%20%3CVC%20device=%22pc%22%20version="
            "%221.0%22%20session=%22Ab12%22%3E%3Cnop/%3E%3C/VC%3E");

    const CommandUrl zmt = commandUrl(Family::Zmt, "127.0.0.50",
            sessionDocument(Family::Zmt, SessionCommand::Logout, "pc", "Ab12"));
    EXPECT_EQ(zmt.url.toEncoded().toStdString(),
            "http://127.0.0.50/docmd?jdoc=%5B%20%7B%22cmd%22:%22login%22,%20%22device%22:%22pc%22,"
            "%20%22version%22:%222.0%22,%20%22session%22:%22Ab12%22%7D,%20%7B%22cmd%22:%22logout"
            "%22%7D%20%5D");
    EXPECT_EQ(zmt.text.toStdString(),
            R"(http://127.0.0.50/docmd?jdoc=[ {"cmd":"login", "device":"pc", "version":"2.0", "session":"Ab12"}, {"cmd":"logout"} ])");
}

TEST(CommandUrl, KeepsUrlSyntaxInsideADocumentAsData)
{
    // A "#" would cut the document off as a fragment and a "%" would be read as an escape.
    EXPECT_EQ(encodeReadable("a#b%41c\\d|e^f`g"), "a%23b%2541c%5Cd%7Ce%5Ef%60g");
    EXPECT_EQ(encodeReadable(QStringLiteral("\u00fc")), "%C3%BC");
    EXPECT_EQ(encodeReadable("x=1&y=/:,?;@!$'()*+-._~"), "x=1&y=/:,?;@!$'()*+-._~");
}

TEST(UnitHost, ReadsLeadingZeroOctetsAsDecimal)
{
    EXPECT_EQ(unitHost("127.000.000.051"), "127.0.0.51");
    EXPECT_EQ(unitHost("192.168.001.020"), "192.168.1.20");
    EXPECT_EQ(unitHost("10.0.0.8"), "10.0.0.8");
    EXPECT_EQ(unitHost("unit.example"), "unit.example");

    const CommandUrl url = commandUrl(Family::Qmt, "127.000.000.051", "x");
    EXPECT_EQ(url.url.host(), "127.0.0.51");
    EXPECT_EQ(loginUrl(Family::Zmt, "010.000.000.010", "x").url.host(), "10.0.0.10");
}

} // namespace

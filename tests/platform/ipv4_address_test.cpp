// Dotted IPv4 text is read in decimal, whatever leading zeros it carries.

#include "ipv4_address.h"

#include <gtest/gtest.h>

namespace {

struct AddressCase
{
    const char *text;
    const char *canonical; // nullptr: refused
};

class Ipv4Text : public ::testing::TestWithParam<AddressCase>
{
};

} // namespace

TEST_P(Ipv4Text, ParsesDecimalOnly)
{
    const auto canonical = net::canonicalIpv4(GetParam().text);
    if (GetParam().canonical == nullptr)
        EXPECT_FALSE(canonical.has_value()) << *canonical;
    else
        EXPECT_EQ(canonical.value_or("(refused)"), GetParam().canonical);
}

INSTANTIATE_TEST_SUITE_P(Cases, Ipv4Text,
        ::testing::Values(AddressCase{ "10.0.0.1", "10.0.0.1" },
                AddressCase{ "010.000.000.001", "10.0.0.1" }, // never octal
                AddressCase{ "127.000.000.036", "127.0.0.36" }, // octal 036 would be 30
                AddressCase{ "192.168.001.010", "192.168.1.10" },
                AddressCase{ "0.0.0.0", "0.0.0.0" },
                AddressCase{ "255.255.255.255", "255.255.255.255" },
                AddressCase{ "08.09.0.1", "8.9.0.1" }, // digits an octal reader refuses
                AddressCase{ "256.0.0.1", nullptr }, AddressCase{ "1.2.3", nullptr },
                AddressCase{ "127.1", nullptr }, AddressCase{ "1.2.3.4.5", nullptr },
                AddressCase{ "1..2.3", nullptr }, AddressCase{ "1.2.3.4.", nullptr },
                AddressCase{ " 1.2.3.4", nullptr }, AddressCase{ "1.2.3.4 ", nullptr },
                AddressCase{ "0x7f.0.0.1", nullptr }, AddressCase{ "+1.2.3.4", nullptr },
                AddressCase{ "-1.2.3.4", nullptr }, AddressCase{ "1.2.3.0001", nullptr },
                AddressCase{ "", nullptr }, AddressCase{ "localhost", nullptr }));

TEST(Ipv4Address, HostOrderPutsFirstOctetHigh)
{
    EXPECT_EQ(net::parseIpv4("127.0.0.36")->toHostOrder(), 0x7F000024u);
    EXPECT_EQ(net::parseIpv4("255.0.128.1")->toHostOrder(), 0xFF008001u);
}

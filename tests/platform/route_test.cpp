// The host's own address on the route to a peer, as the RTP link asks for it once per login.

#include "route.h"

#include <gtest/gtest.h>

namespace {

TEST(Route, LocalAddressTowardsAPeer)
{
    EXPECT_EQ(net::localAddressTowards("127.0.0.103", 50001), "127.0.0.1");
    EXPECT_EQ(net::localAddressTowards("not an address", 50001), std::nullopt);
    EXPECT_EQ(net::localAddressTowards("", 50001), std::nullopt);
}

} // namespace

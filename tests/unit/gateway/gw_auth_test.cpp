// The reconnect packet a retry-later reply hands out: its validity window
// and its signature, which a client could try to stretch or forge.

#include <gtest/gtest.h>

#include <vector>

#include "gw_auth.h"

namespace {

TEST(GwReconnectPacket, WindowAndSignature)
{
    std::vector<unsigned char> packet, mac;
    ASSERT_EQ(gw_ReconnectPacketBuild("bob", 1000, 1010, &packet, &mac), 0);
    std::string user;
    auto check = [&](uint64_t now) {
        return gw_ReconnectPacketCheck(packet.data(), packet.size(), mac.data(), mac.size(), now, &user);
    };
    EXPECT_EQ(check(1009), -51035);
    EXPECT_EQ(check(1010), 0);
    EXPECT_EQ(user, "bob");
    EXPECT_EQ(check(1010 + GW_RECONNECT_WINDOW_SECS), 0);
    EXPECT_EQ(check(1011 + GW_RECONNECT_WINDOW_SECS), -51040);
    mac[31] ^= 1;
    EXPECT_EQ(check(1010), -51021);
    mac[31] ^= 1;
    packet.pop_back();
    EXPECT_EQ(check(1010), -51021);
    // Two packets for the same user and times differ (the nonce).
    std::vector<unsigned char> p2, m2;
    ASSERT_EQ(gw_ReconnectPacketBuild("bob", 1000, 1010, &p2, &m2), 0);
    packet.clear();
    ASSERT_EQ(gw_ReconnectPacketBuild("bob", 1000, 1010, &packet, &mac), 0);
    EXPECT_NE(packet, p2);
    EXPECT_EQ(gw_ReconnectPacketBuild("", 1000, 1010, &packet, &mac), -51000);
}

} // namespace

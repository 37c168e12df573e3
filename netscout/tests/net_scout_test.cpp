#include "netscout/net_scout.hpp"

#include <gtest/gtest.h>

#include "collab/errors.hpp"

namespace netscout {
namespace {

TEST(NetScoutIds, SubnetIdComponents) {
  const std::string id =
      "/subscriptions/s1/resourceGroups/rg1/providers/Microsoft.Network/virtualNetworks/v1/"
      "subnets/sn1";
  EXPECT_EQ(NetScout::idComponent(id, NetScout::SUB_I), "s1");
  EXPECT_EQ(NetScout::idComponent(id, NetScout::RG_I), "rg1");
  EXPECT_EQ(NetScout::idComponent(id, NetScout::VNET_I), "v1");
  EXPECT_EQ(NetScout::idComponent(id, NetScout::SUBNET_I), "sn1");
  EXPECT_EQ(NetScout::idComponent(id, NetScout::PEER_I), "sn1");
  EXPECT_EQ(NetScout::idComponent(id, 0), "");
}

TEST(NetScoutIds, MissingComponentNamesTheId) {
  const std::string id = "/subscriptions/s1/resourceGroups/rg1";
  try {
    NetScout::idComponent(id, NetScout::VNET_I);
    FAIL() << "expected IndexRangeError";
  } catch (const collab::IndexRangeError& e) {
    EXPECT_NE(std::string(e.what()).find(id), std::string::npos);
  }
  EXPECT_THROW(NetScout::idComponent(id, -6), collab::IndexRangeError);
  EXPECT_EQ(NetScout::idComponent(id, -5), "");
}

}  // namespace
}  // namespace netscout

// Reading the discovery's log lines back: the route columns (including prefixes long enough to
// run into the hop type), the refusals that follow a route, the gateway line and the markers.
#include "report/log_reading.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace kxdiscover {
namespace {

// A route line exactly as the route-table discovery writes it.
std::string routeLine(std::string_view prefix, std::string_view type, std::string_view ip) {
  return fmt::format("    {:<25}{:<30}{}", prefix, type, ip);
}

CapturedLine netscout(std::string text, spdlog::level::level_enum level = spdlog::level::info) {
  return CapturedLine{"netscout", level, std::move(text)};
}

TEST(ParseRouteLine, SplitsTheColumnsWhateverThePrefixLength) {
  struct Case {
    std::string prefix, type, ip;
  };
  const Case cases[] = {
      {"0.0.0.0/0", "VirtualAppliance", "10.0.1.4"},
      {"192.168.0.0/16", "VirtualNetworkGateway", "None"},
      {"Storage", "Internet", "None"},
      {"10.99.0.0/16", "None", "None"},
      {"fd00:1::/64", "VnetLocal", "None"},
      // 24 characters: one blank of padding left.
      {"2001:db8:1234:5678::/112", "VirtualAppliance", "2001:db8::4"},
      // 25 and more: the prefix touches the hop type.
      {"2001:db8:1234:5678:9a::/80", "VirtualAppliance", "2001:db8::4"},
      {"AzureActiveDirectoryDomainServices", "Internet", "None"},
      {"2001:0db8:0000:0000:0000:ff00:0042:8329/128", "None", "None"},
      // Texts from outside as the log shows them: escaped controls, blanks, a hop type's name.
      {"Storage\\n2024-05-01 14:03:27.512 [error] **Error** forged", "Internet", "None"},
      {"x Internet y", "VirtualAppliance", "10.0.0.4\\r\\x1b[2J and more"},
  };
  for (const auto& c : cases) {
    const std::string line = routeLine(c.prefix, c.type, c.ip);
    SCOPED_TRACE(line);
    const auto parsed = parseRouteLine(line);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->prefix, c.prefix);
    EXPECT_EQ(parsed->nextHopType, c.type);
    EXPECT_EQ(parsed->nextHopIp.value_or("None"), c.ip);
    EXPECT_EQ(parsed->nextHopIp.has_value(), c.ip != "None");
  }
}

TEST(ParseRouteLine, RefusesTheOtherLinesOfTheSection) {
  const std::string rule = "    " + std::string(63, '.');
  for (const std::string& line : {
           routeLine("Prefix", "Next hop type", "Next hop IP"),
           rule,
           std::string("    route(s):"),
           std::string("    subnet: spoke-a/web"),
           std::string("    ** RFC1918 route -- skipped"),
           std::string("    configure private subnet -- add 0.0.0.0/0 to None route"),
           std::string("    **Alert** route table rt-empty used only by subnet in subnet groups"),
           std::string("    network_security_group: None"),
           std::string("  route table: rt-web"),
           // Touching, but the hop type is none of Azure's.
           std::string("    AzureActiveDirectoryDomainServicesGateway      None"),
       }) {
    EXPECT_FALSE(parseRouteLine(line)) << line;
  }
}

TEST(RefusedRoutes, PairsEachRefusalWithTheRouteAboveIt) {
  const CapturedLines lines{
      netscout("- Discover route table(s):"),
      netscout("  route table: rt-x -- skipped (corvanta created)"),
      netscout("  route table: rt-web"),
      netscout("    route(s):"),
      netscout(routeLine("Prefix", "Next hop type", "Next hop IP")),
      netscout(routeLine("0.0.0.0/0", "Internet", "None")),
      netscout("    ** 0.0.0.0/0 with nexthop Internet -- skipped"),
      netscout("    ** quad-zero-to-none route already exists -- Failed to add 0.0.0.0/0 to None "
               "route",
               spdlog::level::err),
      netscout(routeLine("10.5.0.0/16", "VirtualAppliance", "10.0.0.4")),
      // Another logger's line between a route and its refusal does not separate them.
      CapturedLine{"alert", spdlog::level::warn, "**Alert** VNet v (rg) has 1 peering(s)"},
      netscout("    ** Filter CIDR 10.0.0.0/8 -- skipped"),
      netscout(routeLine("2001:db8:1234:5678:9abc::/80", "VirtualAppliance", "2001:db8::4")),
      netscout("    ** Filter CIDR 2001:db8::/32 -- skipped"),
      netscout("  route table: rt-other"),
      // A refusal without a route line above it belongs to no route.
      netscout("    ** RFC1918 route -- skipped"),
  };
  const auto refused = refusedRoutes(lines);
  ASSERT_EQ(refused.size(), 3u);
  EXPECT_EQ(refused[0].routeTable, "rt-web");
  EXPECT_EQ(refused[0].route.prefix, "0.0.0.0/0");
  EXPECT_EQ(refused[0].route.nextHopType, "Internet");
  EXPECT_FALSE(refused[0].route.nextHopIp);
  EXPECT_EQ(refused[0].reason, "0.0.0.0/0 with nexthop Internet");
  EXPECT_EQ(refused[1].route.prefix, "10.5.0.0/16");
  EXPECT_EQ(refused[1].route.nextHopIp, "10.0.0.4");
  EXPECT_EQ(refused[1].reason, "Filter CIDR 10.0.0.0/8");
  EXPECT_EQ(refused[2].route.prefix, "2001:db8:1234:5678:9abc::/80");
  EXPECT_EQ(refused[2].reason, "Filter CIDR 2001:db8::/32");
}

TEST(GatewayOf, ReadsTheGatewaySection) {
  const GatewayReport found = gatewayOf(
      {netscout("- Discover VNG"), netscout("  spoke-b-er-gw ExpressRoute (rg.(legacy))")});
  EXPECT_TRUE(found.reported);
  ASSERT_TRUE(found.gateway);
  EXPECT_EQ(found.gateway->name, "spoke-b-er-gw");
  EXPECT_EQ(found.gateway->type, "ExpressRoute");
  EXPECT_EQ(found.gateway->resourceGroup, "rg.(legacy)");

  const GatewayReport none = gatewayOf({netscout("- Discover VNG"), netscout("  VNG not found")});
  EXPECT_TRUE(none.reported);
  EXPECT_FALSE(none.gateway);

  // A gateway-like line outside the section is not the VNet's gateway.
  const GatewayReport absent = gatewayOf({netscout("  hub-vpn-gw Vpn (rg-hub)")});
  EXPECT_FALSE(absent.reported);
  EXPECT_FALSE(absent.gateway);
}

TEST(FindingOf, TellsAlertsFromErrors) {
  struct Case {
    CapturedLine line;
    Finding expected;
  };
  const Case cases[] = {
      {netscout("  **Alert** Required 24 vCPUs in eastus, only 10 left"), Finding::Alert},
      {netscout("    **Alert** empty UDR route table rt", spdlog::level::warn), Finding::Alert},
      {netscout("  **Error** Required 8 vCPUs for X, only 4 left", spdlog::level::err),
       Finding::Error},
      {netscout("**Error** subnet group - subnet x not found **Alert**", spdlog::level::err),
       Finding::Error},
      {netscout("    ** msg -- Failed to add 0.0.0.0/0 to None route", spdlog::level::err),
       Finding::Error},
      {netscout("ARM GET /x answered HTTP 429; retrying in 1.0 s", spdlog::level::warn),
       Finding::None},
      {netscout("    ** RFC1918 route -- skipped"), Finding::None},
      // A marker further on is quoted from a name, as a forged line shows once escaped.
      {netscout("  route table: rt\\n2024-05-01 14:03:27.512 [error] **Error** forged"),
       Finding::None},
      {netscout("    rt\\r  **Alert** forged", spdlog::level::warn), Finding::None},
  };
  for (const auto& c : cases) EXPECT_EQ(findingOf(c.line), c.expected) << c.line.text;
}

}  // namespace
}  // namespace kxdiscover

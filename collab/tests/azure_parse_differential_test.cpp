// The simdjson route-table reader against a plain nlohmann reading of the same pages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "azure_parse_generator.hpp"
#include "collab/azure/arm_parse.hpp"

namespace collab::azure {
namespace {

// The mapping written out the obvious way, member by member, on nlohmann's DOM.
std::vector<RouteTable> readWithNlohmann(const std::string& body) {
  const Json page = Json::parse(body);
  std::vector<RouteTable> out;
  for (const Json& t : page.at("value")) {
    RouteTable table;
    table.name = t.at("name").get<std::string>();
    table.id = t.at("id").get<std::string>();
    table.location = t.at("location").get<std::string>();
    if (t.contains("tags") && !t["tags"].is_null()) {
      Tags tags;
      for (const auto& [k, v] : t["tags"].items()) tags.set(k, v.get<std::string>());
      table.tags = tags;
    }
    const Json& p = t.at("properties");
    table.disable_bgp_route_propagation = p.value("disableBgpRoutePropagation", false);
    if (p.contains("routes")) {
      for (const Json& r : p["routes"]) {
        Route route;
        route.name = r.at("name").get<std::string>();
        route.id = r.at("id").get<std::string>();
        const Json& rp = r.at("properties");
        route.address_prefix = rp.at("addressPrefix").get<std::string>();
        route.next_hop_type = rp.at("nextHopType").get<std::string>();
        if (rp.contains("nextHopIpAddress")) {
          route.next_hop_ip_address = rp["nextHopIpAddress"].get<std::string>();
        }
        table.routes.push_back(route);
      }
    }
    if (p.contains("subnets")) {
      table.subnets.emplace();
      for (const Json& s : p["subnets"]) table.subnets->push_back({s.at("id").get<std::string>()});
    }
    out.push_back(table);
  }
  return out;
}

TEST(AzureParseDifferential, SimdjsonAndNlohmannAgreeOnGeneratedPages) {
  ArmPageParser parser;
  std::vector<RouteTable> fast;
  std::vector<RouteTable> plain;
  std::size_t withTags = 0, untagged = 0, unassociated = 0, appliance = 0, serviceTag = 0;
  for (std::uint32_t page = 0; page < 5; ++page) {
    testing::RouteTablePageSpec spec;
    spec.tables = 120;
    spec.routes_per_table = 1 + page * 6;
    spec.seed = 7 + page;
    spec.first_index = page * spec.tables;
    spec.with_next_link = page < 4;
    const std::string body = testing::generateRouteTablePage(spec);
    auto next = parser.parseRouteTablePage(body, fast);
    EXPECT_EQ(next.has_value(), spec.with_next_link);
    auto expected = readWithNlohmann(body);
    plain.insert(plain.end(), expected.begin(), expected.end());
  }
  ASSERT_EQ(fast.size(), 600u);
  ASSERT_EQ(fast.size(), plain.size());
  for (std::size_t i = 0; i < fast.size(); ++i) {
    SCOPED_TRACE(fast[i].name.value_or("None"));
    ASSERT_EQ(fast[i], plain[i]);
    if (!fast[i].tags) {
      ++untagged;
    } else if (!fast[i].tags->empty()) {
      ++withTags;
    }
    unassociated += fast[i].subnets ? 0 : 1;
    for (const Route& r : fast[i].routes) {
      appliance += r.next_hop_ip_address ? 1 : 0;
      serviceTag += r.address_prefix->find('/') == std::string::npos ? 1 : 0;
    }
  }
  // The generated pages really exercise the variants being compared.
  EXPECT_GT(withTags, 0u);
  EXPECT_GT(untagged, 0u);
  EXPECT_GT(unassociated, 0u);
  EXPECT_GT(appliance, 0u);
  EXPECT_GT(serviceTag, 0u);
}

}  // namespace
}  // namespace collab::azure

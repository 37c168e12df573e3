// Which routes a route table copy accepts, and the answers it gives.
#include <gtest/gtest.h>

#include <regex>

#include "collab/errors.hpp"
#include "pathbook/pathbook.hpp"

namespace pathbook {
namespace {

using collab::CvtRoute;
using R = RtMgmtResponse;

CvtRoute route(std::string dest, std::string type, std::optional<std::string> target = {}) {
  return CvtRoute("azure-name", std::move(dest), std::move(type), std::move(target));
}

Pathbook table(bool isFilter = true) {
  return Pathbook("rt1", std::nullopt, "vnet1", "sub1", std::nullopt, isFilter);
}

std::vector<std::string> routeIds(const Pathbook& t) {
  std::vector<std::string> ids;
  for (const auto& [id, r] : t.routes) {
    EXPECT_EQ(id, r.id);
    ids.push_back(id);
  }
  return ids;
}

// One route offered to a freshly configured table and the expected answer.
struct Offer {
  const char* what;
  std::vector<std::string> filters;
  std::vector<std::string> patterns;
  bool copyQuadZero;
  CvtRoute route;
  R::Status status;
  std::optional<std::string> message;
  R::ErrorCode code;
  bool rfc1918After;
  bool publicAfter;
};

TEST(PathbookAdmissionTest, SingleRouteAnswers) {
  const auto accept = R::ACCEPT, reject = R::REJECT;
  const auto none = R::ErrorCode::None;
  const std::vector<Offer> offers = {
      {"private route with a target",
       {},
       {},
       false,
       route("10.1.0.0/16", "VirtualAppliance", "10.0.0.4"),
       accept,
       std::nullopt,
       none,
       true,
       true},
      {"a whole private range",
       {},
       {},
       false,
       route("10.0.0.0/8", "VnetLocal"),
       reject,
       "RFC1918 route",
       none,
       true,
       true},
      {"172.16/12 exactly",
       {},
       {},
       false,
       route("172.16.0.0/12", "VnetLocal"),
       reject,
       "RFC1918 route",
       none,
       true,
       true},
      {"private route to local",
       {},
       {},
       false,
       route("192.168.10.0/24", "VnetLocal", "local"),
       accept,
       std::nullopt,
       none,
       false,
       true},
      {"public route",
       {},
       {},
       false,
       route("8.8.8.0/24", "Internet"),
       accept,
       std::nullopt,
       none,
       false,
       true},
      {"first matching filter decides",
       {"10.1.0.0/16", "10.0.0.0/8"},
       {},
       false,
       route("10.1.2.0/24", "VirtualAppliance", "10.0.0.4"),
       reject,
       "Filter CIDR 10.1.0.0/16",
       none,
       true,
       true},
      {"a filter contains itself",
       {"10.1.0.0/16", "10.0.0.0/8"},
       {},
       false,
       route("10.1.0.0/16", "VirtualAppliance", "10.0.0.4"),
       reject,
       "Filter CIDR 10.1.0.0/16",
       none,
       true,
       true},
      {"wider than every filter",
       {"10.1.0.0/16", "10.0.0.0/8"},
       {},
       false,
       route("10.0.0.0/7", "VirtualAppliance", "10.0.0.4"),
       accept,
       std::nullopt,
       none,
       false,
       true},
      {"default route to the Internet",
       {},
       {},
       false,
       route("0.0.0.0/0", "Internet"),
       reject,
       "0.0.0.0/0 with nexthop Internet",
       R::REJECT_ROUTE_QUAD_ZERO_2_INTERNET,
       false,
       false},
      {"default route to an appliance",
       {},
       {},
       false,
       route("0.0.0.0/0", "VirtualAppliance", "10.0.0.4"),
       reject,
       "0.0.0.0/0 with nexthop VirtualAppliance",
       R::REJECT_ROUTE_QUAD_ZERO_2_VIRTUAL_APP,
       false,
       true},
      {"default route to an appliance, copied",
       {},
       {},
       true,
       route("0.0.0.0/0", "VirtualAppliance", "10.0.0.4"),
       accept,
       std::nullopt,
       none,
       false,
       true},
      {"default route to None",
       {},
       {},
       false,
       CvtRoute::DefaultNoneRoute(),
       accept,
       std::nullopt,
       none,
       false,
       false},
      {"blank-padded default route is not a network",
       {},
       {},
       false,
       route(" 0.0.0.0/0 ", "Internet"),
       accept,
       std::nullopt,
       none,
       false,
       false},
      {"blank-padded default route matched by a pattern",
       {},
       {"\\s"},
       false,
       route(" 0.0.0.0/0 ", "Internet"),
       reject,
       "Filter service tags  0.0.0.0/0  with nexthop Internet",
       none,
       false,
       false},
      {"service tag",
       {},
       {"AzureCloud", "Storage"},
       false,
       route("Storage.WestEurope", "Internet"),
       reject,
       "Filter service tags Storage.WestEurope with nexthop Internet",
       none,
       false,
       true},
      {"patterns match a prefix only",
       {},
       {"Storage"},
       false,
       route("StorageSync", "Internet"),
       reject,
       "Filter service tags StorageSync with nexthop Internet",
       none,
       false,
       true},
      {"patterns are anchored at the start",
       {},
       {"Sync"},
       false,
       route("StorageSync", "Internet"),
       accept,
       std::nullopt,
       none,
       false,
       true},
      {"pattern syntax",
       {},
       {"Sto.a(ge|x)+\\.[A-Z]"},
       false,
       route("Storage.WestEurope", "Internet"),
       reject,
       "Filter service tags Storage.WestEurope with nexthop Internet",
       none,
       false,
       true},
      {"service tag without patterns",
       {},
       {},
       false,
       route("Storage.WestEurope", "Internet"),
       accept,
       std::nullopt,
       none,
       false,
       true},
      {"host bits set take the service-tag path",
       {"10.0.0.0/8"},
       {"10\\."},
       false,
       route("10.2.0.1/16", "VnetLocal"),
       reject,
       "Filter service tags 10.2.0.1/16 with nexthop VnetLocal",
       none,
       false,
       true},
      {"IPv6 route, no filters",
       {},
       {},
       false,
       route("2001:db8::/32", "VirtualAppliance", "10.0.0.4"),
       accept,
       std::nullopt,
       none,
       false,
       true},
      {"IPv6 route passes IPv4 filters",
       {"10.0.0.0/8", "0.0.0.0/0"},
       {},
       false,
       route("2001:db8:1::/48", "VirtualAppliance", "10.0.0.4"),
       accept,
       std::nullopt,
       none,
       false,
       true},
      {"IPv6 route inside an IPv6 filter",
       {"10.0.0.0/8", "2001:db8::/32"},
       {},
       false,
       route("2001:db8:1::/48", "VirtualAppliance", "10.0.0.4"),
       reject,
       "Filter CIDR 2001:db8::/32",
       none,
       false,
       true},
      {"IPv4 route ignores IPv6 filters",
       {"::/0", "10.0.0.0/8"},
       {},
       false,
       route("10.9.0.0/16", "VirtualAppliance", "10.0.0.4"),
       reject,
       "Filter CIDR 10.0.0.0/8",
       none,
       true,
       true},
  };
  for (const auto& o : offers) {
    SCOPED_TRACE(o.what);
    Pathbook t = table();
    t.setCopyQuadZeroRoute(o.copyQuadZero);
    t.addFilters(o.filters);
    t.addServiceTags(o.patterns);
    const R r = t.add(o.route);
    EXPECT_EQ(r.getStatus(), o.status);
    EXPECT_EQ(r.getMessage(), o.message);
    EXPECT_EQ(r.getErrorCode(), o.code);
    EXPECT_EQ(t.hasRfc1918Route(), o.rfc1918After);
    EXPECT_EQ(t.isPublic(), o.publicAfter);
    if (o.status == R::ACCEPT) {
      EXPECT_EQ(t.count, 1);
      EXPECT_EQ(routeIds(t), std::vector<std::string>{"route_1"});
      EXPECT_EQ(t.routes.at("route_1").dest, o.route.dest);
    } else {
      EXPECT_EQ(t.count, 0);
      EXPECT_TRUE(t.routes.empty());
    }
  }
}

TEST(PathbookAdmissionTest, RouteIdsCountAcceptedRoutesOnly) {
  Pathbook t = table();
  t.addFilters({"10.5.0.0/16"});
  EXPECT_EQ(t.add(route("10.1.0.0/16", "VirtualAppliance", "10.0.0.4")).getStatus(), R::ACCEPT);
  EXPECT_EQ(t.add(route("10.0.0.0/8", "VnetLocal")).getStatus(), R::REJECT);
  EXPECT_EQ(t.add(route("10.5.1.0/24", "VnetLocal")).getStatus(), R::REJECT);
  EXPECT_EQ(t.add(route("10.2.0.0/16", "VirtualAppliance", "10.0.0.4")).getStatus(), R::ACCEPT);
  EXPECT_EQ(routeIds(t), (std::vector<std::string>{"route_1", "route_2"}));
  EXPECT_EQ(t.routes.at("route_2").dest, "10.2.0.0/16");
  EXPECT_EQ(t.count, 2);
}

TEST(PathbookAdmissionTest, DefaultRouteReplacedByNoneOnlyOnce) {
  // An Internet default route turns the table private; the None route put in its place is
  // then a duplicate.
  Pathbook internet = table();
  EXPECT_EQ(internet.add(route("0.0.0.0/0", "Internet")).getErrorCode(),
            R::REJECT_ROUTE_QUAD_ZERO_2_INTERNET);
  EXPECT_FALSE(internet.isPublic());
  const R dup = internet.add(CvtRoute::DefaultNoneRoute());
  EXPECT_EQ(dup.getStatus(), R::REJECT);
  EXPECT_EQ(dup.getErrorCode(), R::DUPLICATE_ROUTE);
  EXPECT_EQ(dup.getMessage(), "quad-zero-to-none route already exists");
  EXPECT_TRUE(internet.routes.empty());

  // An appliance default route has a target, so the None route is accepted once.
  Pathbook appliance = table();
  appliance.add(route("0.0.0.0/0", "VirtualAppliance", "10.0.0.4"));
  EXPECT_TRUE(appliance.isPublic());
  EXPECT_EQ(appliance.add(CvtRoute::DefaultNoneRoute()).getStatus(), R::ACCEPT);
  EXPECT_FALSE(appliance.isPublic());
  EXPECT_EQ(appliance.add(CvtRoute::DefaultNoneRoute()).getErrorCode(), R::DUPLICATE_ROUTE);
  EXPECT_EQ(appliance.routes.size(), 1u);
}

TEST(PathbookAdmissionTest, NonFilteringTableRefusesOnlyDuplicateDefaults) {
  Pathbook t = table(false);
  t.addFilters({"10.0.0.0/8"});
  t.addServiceTags({"Storage"});
  for (const char* dest : {"10.0.0.0/8", "10.1.0.0/16", "Storage", "0.0.0.0/0"})
    EXPECT_EQ(t.add(route(dest, "Internet")).getStatus(), R::ACCEPT) << dest;
  EXPECT_EQ(t.add(route("0.0.0.0/0", "None")).getErrorCode(), R::DUPLICATE_ROUTE);
  EXPECT_EQ(t.count, 4);
  EXPECT_FALSE(t.hasRfc1918Route());
}

TEST(PathbookAdmissionTest, DuplicateTestTrimsPythonWhiteSpace) {
  for (const char* dest : {" 0.0.0.0/0 ", "\t0.0.0.0/0\n",
                           "\xc2\xa0"
                           "0.0.0.0/0\xe3\x80\x80",
                           "\x1f"
                           "0.0.0.0/0"}) {
    Pathbook t = table();
    t.checkQuadZeroNoneRoute(dest, std::nullopt, "None");
    EXPECT_FALSE(t.isPublic()) << dest;
  }
  Pathbook t = table();
  t.checkQuadZeroNoneRoute("0.0.0.0/0", std::string("10.0.0.4"), "VirtualAppliance");
  t.checkQuadZeroNoneRoute("0.0.0.0/00", std::nullopt, "None");
  t.checkQuadZeroNoneRoute(
      "\xc2"
      "0.0.0.0/0",
      std::nullopt, "None");
  EXPECT_TRUE(t.isPublic());
}

TEST(PathbookAdmissionTest, InvalidPatternFailsAtFirstServiceTagDestination) {
  Pathbook t = table();
  t.addServiceTags({"Storage", "(unclosed"});  // no failure while configuring
  EXPECT_EQ(t.add(route("10.1.0.0/16", "VirtualAppliance", "10.0.0.4")).getStatus(), R::ACCEPT);
  EXPECT_EQ(t.add(route("Storage.X", "Internet")).getStatus(), R::REJECT);  // first pattern decides
  EXPECT_THROW(t.add(route("AzureCloud", "Internet")), std::regex_error);
  EXPECT_THROW(t.add(route("Sql", "Internet")), std::regex_error);
  EXPECT_EQ(t.count, 1);
}

TEST(PathbookAdmissionTest, RegexPatternsMatchOnlyFromTheFirstCharacter) {
  // Expected answers written out rather than asked of a regex engine: a pattern may match a
  // prefix of the destination, never a part further in.
  struct Case {
    const char* pattern;
    const char* dest;
    bool refused;
  } cases[] = {
      {"Sync$", "StorageSync", false},      {"S.nc", "StorageSync", false},
      {"S.nc", "Sync.WestEurope", true},    {"Sto.age", "StorageSync", true},
      {"ync", "StorageSync", false},        {"(Sync|Sql)", "StorageSync", false},
      {"x|Stor", "StorageSync", true},      {"[A-Z]ync", "StorageSync", false},
      {".*Sync$", "StorageSync", true},     {"Storage$", "StorageSync", false},
      {"Storage$", "Storage\nSync", false}, {"^Sync", "Storage\nSync", false},
      {"\\bSync", "Storage Sync", false},   {"e?Sync", "StorageSync", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.pattern) + " on " + c.dest);
    Pathbook t = table();
    t.addServiceTags({c.pattern});
    EXPECT_EQ(t.add(route(c.dest, "Internet")).getStatus() == R::REJECT, c.refused);
  }
}

TEST(PathbookAdmissionTest, PatternsEditedDirectlyAreHonoured) {
  Pathbook t = table();
  t.addServiceTags({"Storage"});
  t.serviceTags[0] = "Azure";
  t.serviceTags.push_back("Sql");
  EXPECT_EQ(t.add(route("Storage.X", "Internet")).getStatus(), R::ACCEPT);
  EXPECT_EQ(t.add(route("AzureCloud", "Internet")).getStatus(), R::REJECT);
  EXPECT_EQ(t.add(route("Sql.East", "Internet")).getStatus(), R::REJECT);
  t.serviceTags.clear();
  EXPECT_EQ(t.add(route("AzureCloud", "Internet")).getStatus(), R::ACCEPT);
}

TEST(PathbookAdmissionTest, SubnetTestAcrossVersionsIsATypeFailure) {
  const Network v4 = Network::parse("10.0.0.0/8"), v6 = Network::parse("2001:db8::/32");
  try {
    Pathbook::_is_subnet_of(v6, v4);
    FAIL();
  } catch (const collab::WrongTypeError& e) {
    EXPECT_STREQ(e.what(), "2001:db8::/32 and 10.0.0.0/8 are not of the same version");
  }
  try {
    Pathbook::_is_subnet_of(std::optional<Network>(v4), std::nullopt);
    FAIL();
  } catch (const collab::WrongTypeError& e) {
    EXPECT_STREQ(e.what(), "Unable to test subnet containment between 10.0.0.0/8 and None");
  }
  EXPECT_TRUE(Pathbook::_is_subnet_of(Network::parse("10.1.0.0/16"), v4));
  EXPECT_FALSE(Pathbook::_is_subnet_of(v4, Network::parse("10.1.0.0/16")));
  // The private-range test never compares across versions.
  const Pathbook t = table();
  EXPECT_FALSE(t.isRfc1918(v6));
  EXPECT_TRUE(t.isRfc1918(Network::parse("192.168.4.0/24")));
  EXPECT_FALSE(t.isRfc1918(Network::parse("172.32.0.0/16")));
}

}  // namespace
}  // namespace pathbook

namespace pathbook {
namespace {

// Plain-name patterns are matched without the regular-expression engine; the answers must be
// the engine's.
TEST(PathbookAdmissionTest, PatternAnswersEqualTheRegexEngine) {
  const std::vector<std::string> patterns = {
      "Storage", "Storage\\.", "Storage\\.West", "Azure-Cloud", "a\\/b",    "Sto.age",
      "Stor*",   "^Sql",       "Sql|Storage",    "[A-Z]zure",   "Azure\\d", "AzureCloud$",
      "",        "\\-x",       "Storage\\\\"};
  const std::vector<std::string> dests = {"Storage",
                                          "Storage.WestEurope",
                                          "StorageSync",
                                          "Storage\\x",
                                          "Azure-Cloud",
                                          "a/b",
                                          "Stoxage",
                                          "Sql.East",
                                          "AzureCloud",
                                          "AzureCloud.x",
                                          "Azure1",
                                          "-x",
                                          "",
                                          "storage"};
  for (const auto& p : patterns) {
    const std::regex re(p);
    for (const auto& d : dests) {
      SCOPED_TRACE("pattern '" + p + "' on '" + d + "'");
      Pathbook t = table();
      t.addServiceTags({p});
      const bool expected = std::regex_search(d, re, std::regex_constants::match_continuous);
      EXPECT_EQ(t.isFilterRoute(d, std::nullopt, "Internet").getStatus() == R::REJECT, expected);
    }
  }
}

}  // namespace
}  // namespace pathbook

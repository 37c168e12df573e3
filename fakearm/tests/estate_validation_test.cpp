// What makes an estate unservable, and the query language of the loopback Resource Graph.
#include <gmock/gmock.h>

#include <fstream>

#include "fake_arm_fixture.hpp"
#include "resource_graph.hpp"
#include "support/test_certificate.hpp"

namespace fakearm {
namespace {

using ::testing::HasSubstr;

TEST(EstateValidation, NamesTheMemberAtFault) {
  struct Case {
    const char* what;
    void (*change)(Json&);
    const char* message;
  };
  const Case cases[] = {
      {"resource without id", [](Json& e) { e["subscriptions"][0]["routeTables"][0].erase("id"); },
       "'subscriptions[0].routeTables[0].id': required member is missing"},
      {"wrong type",
       [](Json& e) { e["subscriptions"][0]["routeTables"][1]["type"] = "Microsoft.Network/vnets"; },
       "'subscriptions[0].routeTables[1].type': expected 'Microsoft.Network/routeTables'"},
      {"unlisted resource group",
       [](Json& e) {
         Json& vnet = e["subscriptions"][0]["virtualNetworks"][0];
         std::string id = vnet["id"];
         vnet["id"] = id.replace(id.find("rg-hub"), 6, "rg-elsewhere");
       },
       "resource group 'rg-elsewhere' is not among the subscription's resourceGroups"},
      {"id of another subscription",
       [](Json& e) {
         e["subscriptions"][1]["virtualNetworks"][0]["id"] =
             e["subscriptions"][0]["virtualNetworks"][0]["id"];
         e["subscriptions"][1]["virtualNetworks"][0]["name"] = "hub-vnet";
       },
       "names another subscription"},
      {"duplicate resource",
       [](Json& e) {
         Json& tables = e["subscriptions"][0]["routeTables"];
         tables.push_back(tables[0]);
       },
       "'subscriptions[0].routeTables[6].id': resource id is described twice"},
      {"principal of a missing subscription",
       [](Json& e) { e["tenants"][0]["principals"][1]["subscriptions"] = {"no-such-sub"}; },
       "names subscription 'no-such-sub', which the estate does not hold"},
      {"read-only flag as text",
       [](Json& e) { e["tenants"][0]["principals"][0]["readOnly"] = "yes"; },
       "'tenants[0].principals[0].readOnly': expected true or false"},
      {"read-only and permissions",
       [](Json& e) {
         e["tenants"][0]["principals"][0]["readOnly"] = true;
         e["tenants"][0]["principals"][0]["permissions"] = {{{"actions", {"*"}}}};
       },
       "'tenants[0].principals[0].readOnly': a principal holds Reader or the permissions listed, "
       "not both"},
      {"learned routes of a missing gateway",
       [](Json& e) {
         e["subscriptions"][0]["learnedRoutes"]["/subscriptions/x/gw"] = Json::array();
       },
       "names no gateway of the subscription"},
      {"cores as text",
       [](Json& e) { e["subscriptions"][0]["vmSizes"]["eastus"][0]["numberOfCores"] = "4"; },
       "'subscriptions[0].vmSizes[\"eastus\"][0].numberOfCores': expected an integer"},
      {"unknown tenant", [](Json& e) { e["subscriptions"][1]["tenantId"] = "another-tenant"; },
       "names tenant 'another-tenant', which no tenant entry describes"},
  };
  const Json example = test::exampleEstate();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Json estate = example;
    c.change(estate);
    try {
      validateEstate(estate);
      ADD_FAILURE() << "accepted";
    } catch (const EstateError& error) {
      EXPECT_THAT(error.what(), HasSubstr(c.message));
    }
  }
}

TEST(EstateValidation, FilesThatAreNotEstatesAreNamed) {
  kx::test::TempDir dir;
  std::ofstream(dir.file("broken.json")) << "{\"tenants\": [";
  std::ofstream(dir.file("empty.json")) << "{}";
  const std::pair<std::string, const char*> cases[] = {
      {dir.file("missing.json"), "cannot read estate file"},
      {dir.file("broken.json"), "is not JSON"},
      {dir.file("empty.json"), "'tenants': required member is missing"},
  };
  for (const auto& [file, message] : cases) {
    SCOPED_TRACE(file);
    try {
      loadEstateFile(file);
      ADD_FAILURE() << "loaded";
    } catch (const EstateError& error) {
      EXPECT_THAT(error.what(), HasSubstr(file));
      EXPECT_THAT(error.what(), HasSubstr(message));
    }
  }
}

TEST(ResourceGraphQuery, EvaluatesTheSupportedOperators) {
  const std::vector<Json> rows = {
      Json::parse(R"({"id": "/a/Web-1", "name": "web-1", "type": "microsoft.network/x",
                      "tags": {"Team": "Net"}, "properties": {"list": [1, 2], "bag": {"k": "v"}}})"),
      Json::parse(R"({"id": "/a/web-10", "name": "web-10", "type": "microsoft.network/y",
                      "tags": {}, "properties": {"list": [], "bag": null}})"),
  };
  struct Case {
    const char* query;
    std::vector<Json> expected;
  };
  const Case cases[] = {
      {"Resources | where name == 'web-1' | project name", {{{"name", "web-1"}}}},
      {"Resources | where name =~ 'WEB-1' | project name", {{{"name", "web-1"}}}},
      {"Resources | where id has 'web-1' | project name", {{{"name", "web-1"}}}},
      {"Resources | where id !has 'web-1' | project name", {{{"name", "web-10"}}}},
      {"Resources | where tags contains 'team' | project name", {{{"name", "web-1"}}}},
      {"Resources | where type =~ 'Microsoft.Network/Y' and name !~ 'x' | project name",
       {{{"name", "web-10"}}}},
      {"Resources | mvexpand n=properties.list | project name, n",
       {{{"name", "web-1"}, {"n", 1}}, {{"name", "web-1"}, {"n", 2}}}},
      {"Resources | mv-expand b=properties.bag | project b",
       {{{"b", {{"k", "v"}}}}, {{"b", nullptr}}}},
      {"Resources | project tags.Team, nothing = properties.missing | take 1",
       {{{"tags_Team", "Net"}, {"nothing", nullptr}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    EXPECT_EQ(detail::GraphQuery::parse(c.query).run({&rows}), c.expected);
  }
  // Texts hold KQL's backslash escapes; an escaped quote ends neither the text nor a stage.
  const std::vector<Json> quoted = {
      Json::parse(R"({"id": "/a/it's|\\x", "name": "it's|\\x", "properties": {}})"),
      Json::parse(R"({"id": "/a/its", "name": "its", "properties": {}})")};
  const std::vector<Json> itsRow = {{{"name", R"(it's|\x)"}}};
  for (const char* query : {R"(Resources | where name == 'it\'s|\\x' | project name)",
                            R"(Resources | where id =~ "/A/IT'S|\\X" | project name)"}) {
    SCOPED_TRACE(query);
    EXPECT_EQ(detail::GraphQuery::parse(query).run({&quoted}), itsRow);
  }
  EXPECT_FALSE(detail::GraphQuery::parse("Resources | project name").keepsId());
  EXPECT_TRUE(detail::GraphQuery::parse("Resources | project id, name").keepsId());
}

TEST(ResourceGraphQuery, RefusesWhatItDoesNotUnderstand) {
  for (const char* query :
       {"Resources | summarize count() by type", "ResourceContainers",
        "Resources | where name =~ 'x", "Resources | where name in ('x')", "Resources | project",
        "Resources | where name == 'a' or id == 'b'", R"(Resources | where name == 'it\')",
        R"(Resources | where name == 'a\q')"}) {
    SCOPED_TRACE(query);
    EXPECT_THROW(detail::GraphQuery::parse(query), detail::GraphQueryError);
  }
}

}  // namespace
}  // namespace fakearm

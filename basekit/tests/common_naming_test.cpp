#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "basekit/common.hpp"
#include "collab/errors.hpp"
#include "log_capture.hpp"

namespace basekit {
namespace {

using collab::Json;
using Names = collab::OrderedMap<std::string>;

const Names kTable = {{"vnet", "hub"}, {"snet", "web"}, {"rtb", "rt1"}};

Json base(const std::string& value) { return {{"key", "base"}, {"value", value}}; }
Json replace(const std::string& value) { return {{"key", "replace"}, {"value", value}}; }

TEST(TransformName, TemplatesAndReplacements) {
  struct Case {
    const char* what;
    Json transforms;
    Names names;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"base", {base("{vnet}-{snet}-rt")}, kTable, "hub-web-rt"},
      {"base then replace", {base("{vnet}-{snet}-rt"), replace("-,_")}, kTable, "hub_web_rt"},
      {"replace before base has no effect",
       {replace("-,_"), base("{vnet}-{snet}-rt")},
       kTable,
       "hub-web-rt"},
      {"placeholder twice", {base("{rtb}-copy-{rtb}")}, kTable, "rt1-copy-rt1"},
      {"unknown placeholder kept", {base("{region}-rt")}, kTable, "{region}-rt"},
      {"empty search on empty text", {replace(",x")}, kTable, "x"},
      {"replace on empty text", {replace("a,b")}, kTable, ""},
      {"third piece ignored", {base("banana"), replace("a,b,c")}, kTable, "bbnbnb"},
      {"empty search between characters", {base("ab"), replace(",-")}, kTable, "-a-b-"},
      {"empty search keeps characters whole", {base("é1"), replace(",.")}, kTable, ".é.1."},
      {"no overlap", {base("aaa"), replace("aa,b")}, kTable, "ba"},
      {"later base starts over", {base("{vnet}"), replace("h,H"), base("{rtb}")}, kTable, "rt1"},
      {"other keys skipped", {{{"key", "suffix"}}, base("{snet}")}, kTable, "web"},
      {"names substituted in order",
       {base("{vnet}")},
       {{"vnet", "x{snet}"}, {"snet", "web"}, {"rtb", "rt1"}},
       "xweb"},
      {"prefix map has vnet only",
       {base("{vnet}-main-{snet}")},
       {{"vnet", "hub"}},
       "hub-main-{snet}"},
      {"empty list", Json::array(), kTable, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Common::transformName(c.transforms, c.names), c.expected);
  }
}

TEST(TransformName, MalformedEntriesFail) {
  EXPECT_THROW(Common::transformName(Json{replace("ab")}, kTable), collab::IndexRangeError);
  for (const Json& entry :
       {Json{{"value", "x"}}, Json{{"key", "base"}}, Json{{"key", "replace"}}}) {
    SCOPED_TRACE(entry.dump());
    EXPECT_THROW(Common::transformName(Json::array({entry}), kTable), collab::MissingKeyError);
  }
  EXPECT_THROW(Common::transformName(Json::array({{{"key", "base"}, {"value", 3}}}), kTable),
               collab::WrongTypeError);
  // An entry with another key needs no value.
  EXPECT_EQ(Common::transformName(Json::array({{{"key", "other"}}}), kTable), "");
}

// Naming through the run's configuration context.
class NamingContextTest : public testing::CommonTest {
 protected:
  void use(const Json& config) {
    collab::YamlContext::get().set(collab::ConfigDocument("discovery", {{"config", config}}));
  }
};

TEST_F(NamingContextTest, CustomizedNamesComeFromTheConfiguredLists) {
  use({{"configure_route_table_name", {base("{vnet}-{snet}-{rtb}"), replace("-,_")}},
       {"configure_shared_route_table_name", {base("{vnet}-shared-{rtb}")}},
       {"configure_main_route_table_prefix", {base("{vnet}-main-{snet}")}}});
  EXPECT_EQ(Common::getCustomizedPathbookName(Common::CONFIG_RTB_NAME, "hub", "web", "rt1"),
            "hub_web_rt1");
  EXPECT_EQ(Common::getCustomizedPathbookName(Common::CONFIG_SHARED_RTB_NAME, "hub", "web", "rt1"),
            "hub-shared-rt1");
  EXPECT_EQ(Common::getMainTablePrefix("hub"), "hub-main-{snet}");
}

TEST_F(NamingContextTest, NothingConfiguredGivesNoNameNotAnEmptyOne) {
  use({{"configure_route_table_name", Json::array()}});
  EXPECT_EQ(Common::getCustomizedPathbookName(Common::CONFIG_RTB_NAME, "hub", "web", "rt1"),
            std::nullopt);
  EXPECT_EQ(Common::getCustomizedPathbookName(Common::CONFIG_SHARED_RTB_NAME, "hub", "web", "rt1"),
            std::nullopt);
  EXPECT_EQ(Common::getMainTablePrefix("hub"), std::nullopt);

  // A configured list whose transforms produce nothing is still a configured (empty) name.
  use({{"configure_route_table_name", {replace("a,b")}}});
  EXPECT_EQ(Common::getCustomizedPathbookName(Common::CONFIG_RTB_NAME, "hub", "web", "rt1"), "");
}

TEST(PathbookNameConfig, TagRecordsAllOrNothing) {
  const Json two = {{{"key", "owner"}, {"value", "ops"}}, {{"key", "env"}, {"value", "prod"}}};
  EXPECT_EQ(Common::getPathbookNameConfig(two),
            Json::parse(R"([{"Key": "owner", "Value": "ops"}, {"Key": "env", "Value": "prod"}])"));
  Json broken = two;
  broken[1].erase("value");
  for (const Json& bad : {broken, Json(), Json("owner"), Json{{"key", "k"}, {"value", "v"}},
                          Json::array({"owner"})}) {
    SCOPED_TRACE(bad.dump());
    EXPECT_EQ(Common::getPathbookNameConfig(bad), Json::array());
  }
}

TEST(PreStageDefaultPathbook, AbsentWhenAnyLookupFails) {
  EXPECT_EQ(Common::getPreStageDefaultPathbook({{"prestage", {{"default_route_table", "rt-0"}}}}),
            "rt-0");
  for (const Json& data :
       {Json::object(), Json{{"prestage", nullptr}}, Json{{"prestage", Json::array()}},
        Json{{"prestage", Json::object()}}, Json()}) {
    SCOPED_TRACE(data.dump());
    EXPECT_EQ(Common::getPreStageDefaultPathbook(data), nullptr);
  }
}

TEST(MainTfRequired, OnboardAccountOrS3Backend) {
  auto config = [](bool s3) {
    return Json{{"account_info",
                 {{{"subscription_id", "s1"}, {"onboard_account", true}},
                  {{"subscription_id", "s2"}, {"onboard_account", false}},
                  {{"subscription_id", "s3"}},
                  {{"subscription_id", "s4"}, {"onboard_account", "yes"}}}},
                {"terraform", {{"enable_s3_backend", s3}}}};
  };
  struct Case {
    const char* id;
    bool s3, expected;
  };
  for (const auto& c : std::vector<Case>{{"s1", false, true},
                                         {"s2", false, false},
                                         {"s3", false, false},
                                         {"s4", false, true},
                                         {"other", false, false},
                                         {"s2", true, true},
                                         {"other", true, true}}) {
    SCOPED_TRACE(std::string(c.id) + (c.s3 ? " s3" : ""));
    EXPECT_EQ(Common::isMainTfRequired(config(c.s3), c.id), c.expected);
  }

  // Only the boolean true turns the backend on.
  Json one = config(false);
  one["terraform"]["enable_s3_backend"] = 1;
  EXPECT_FALSE(Common::isMainTfRequired(one, "s2"));

  // Both parts are always read.
  Json noBackend = config(false);
  noBackend["terraform"].erase("enable_s3_backend");
  EXPECT_THROW(Common::isMainTfRequired(noBackend, "s1"), collab::MissingKeyError);
  Json noId = config(true);
  noId["account_info"][1].erase("subscription_id");
  EXPECT_THROW(Common::isMainTfRequired(noId, "s1"), collab::MissingKeyError);
  EXPECT_THROW(Common::isMainTfRequired(Json{{"terraform", Json::object()}}, "s1"),
               collab::MissingKeyError);
}

}  // namespace
}  // namespace basekit

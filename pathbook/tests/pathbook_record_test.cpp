// Construction, configuration and tag handling of a route table copy.
#include <gtest/gtest.h>

#include "collab/errors.hpp"
#include "pathbook/pathbook.hpp"

namespace pathbook {
namespace {

using collab::Json;
using collab::azure::Tags;
using TagList = std::vector<std::pair<std::string, std::string>>;

TagList tagList(const Pathbook& t) { return TagList(t.tags.begin(), t.tags.end()); }

TEST(PathbookRecordTest, ConstructionOrdersAndNamesTheTags) {
  struct Case {
    const char* what;
    std::optional<Tags> azure;
    std::optional<std::string> custom;
    TagList expected;
  };
  const std::vector<Case> cases = {
      {"azure Name and another tag",
       Tags{{"Name", "web"}, {"env", "prod"}},
       std::nullopt,
       {{"Name", "corvanta-web"}, {"env", "prod"}, {"Org_RT", "org_rt-web"}, {"vnet", "vnet1"}}},
      {"no azure tags",
       std::nullopt,
       std::nullopt,
       {{"Name", "corvanta-rt-web"}, {"Org_RT", "org_rt-web"}, {"vnet", "vnet1"}}},
      {"empty azure tags",
       Tags{},
       std::nullopt,
       {{"Name", "corvanta-rt-web"}, {"Org_RT", "org_rt-web"}, {"vnet", "vnet1"}}},
      {"configured name keeps the Name position",
       Tags{{"env", "prod"}, {"Name", "web"}},
       "spoke-rt",
       {{"env", "prod"}, {"Name", "spoke-rt"}, {"Org_RT", "org_rt-web"}, {"vnet", "vnet1"}}},
      {"empty configured name",
       std::nullopt,
       "",
       {{"Name", ""}, {"Org_RT", "org_rt-web"}, {"vnet", "vnet1"}}},
      {"azure vnet and Org_RT tags keep their place",
       Tags{{"vnet", "other"}, {"Org_RT", "x"}, {"name", "lower"}},
       std::nullopt,
       {{"vnet", "vnet1"},
        {"Org_RT", "org_rt-web"},
        {"name", "lower"},
        {"Name", "corvanta-rt-web"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Pathbook t("rt-web", c.azure, "vnet1", "sub1", c.custom);
    EXPECT_EQ(tagList(t), c.expected);
  }
}

TEST(PathbookRecordTest, FreshTableDefaults) {
  Pathbook t("rt1", std::nullopt, "vnet1", std::nullopt, std::nullopt);
  EXPECT_EQ(t.getId(), "rt1");
  EXPECT_EQ(t.vnet, "vnet1");
  EXPECT_FALSE(t.subnet.has_value());
  EXPECT_EQ(t.main, "False");
  EXPECT_TRUE(t.isPublic());
  EXPECT_FALSE(t.hasRfc1918Route());
  EXPECT_FALSE(t.isAccessInternalNetwork());
  EXPECT_TRUE(t.getSubnetGwGroupInfos().empty());
  EXPECT_EQ(t.count, 0);
  EXPECT_EQ(t.staticRouteCount, 0);
  EXPECT_EQ(t.knownTgwId, "");
  EXPECT_TRUE(t.isFilter);
  EXPECT_TRUE(t.ctrl_managed);
  EXPECT_TRUE(t.disableBgpPropagation);
  EXPECT_FALSE(t.copy_quad_zero_route);
  EXPECT_FALSE(t.subnet_group_use_only);
  EXPECT_FALSE(t.region.has_value());
  EXPECT_EQ(t.rfcCidrs,
            (std::vector<std::string>{"10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16"}));
  ASSERT_EQ(t.rfcCidrNetworks.size(), 3u);
  EXPECT_EQ(t.rfcCidrNetworks[1].toString(), "172.16.0.0/12");
  EXPECT_FALSE(Pathbook("rt1", std::nullopt, "v", "s", std::nullopt, false).isFilter);
}

TEST(PathbookRecordTest, SettersAndGetters) {
  Pathbook t("rt1", std::nullopt, "vnet1", "sub1", std::nullopt);
  t.addKnownTgwId("a");
  t.addKnownTgwId("b");
  EXPECT_EQ(t.knownTgwId, "b");

  EXPECT_EQ(t.getName(), "corvanta-rt1");
  t.setName("copy");
  EXPECT_EQ(t.getName(), "copy");
  t.tags.clear();
  EXPECT_EQ(t.getName(), std::nullopt);

  t.setSubnetGwGroupInfos({{"s1", "1"}, {"s2", "2"}});
  t.getSubnetGwGroupInfos().emplace_back("s3", "1");  // the stored list itself
  EXPECT_EQ(t.subnetGwGroupInfos.size(), 3u);
  EXPECT_EQ(t.subnetGwGroupInfos[1], collab::SubnetGwInfo("s2", "2"));
}

TEST(PathbookRecordTest, SetMainRenamesOnlyTheBarePrefix) {
  Pathbook bare("rt1", std::nullopt, "vnet1", "sub1", std::nullopt);
  bare.setName("corvanta-");
  bare.setMain(true);
  EXPECT_EQ(bare.main, "True");
  EXPECT_EQ(bare.getName(), "corvanta-main");

  Pathbook web("rt1", Tags{{"Name", "web"}}, "vnet1", "sub1", std::nullopt);
  web.setMain(true);
  EXPECT_EQ(web.main, "True");
  EXPECT_EQ(web.getName(), "corvanta-web");
  web.setMain(false);
  EXPECT_EQ(web.main, "False");
}

TEST(PathbookRecordTest, AddFiltersStopsAtTheFirstBadText) {
  Pathbook t("rt1", std::nullopt, "vnet1", "sub1", std::nullopt);
  EXPECT_THROW(t.addFilters({"10.1.0.0/16", "10.2.0.1/16", "10.3.0.0/16"}),
               collab::InvalidValueError);
  ASSERT_EQ(t.ipv4Cidrs.size(), 1u);
  EXPECT_EQ(t.ipv4Cidrs[0].toString(), "10.1.0.0/16");

  t.addFilters(std::vector<std::string>{"2001:db8::/32", "192.168.1.7"});
  EXPECT_EQ(t.ipv4Cidrs.back().toString(), "192.168.1.7/32");

  EXPECT_THROW(t.addFilters(Json(nullptr)), collab::WrongTypeError);
  EXPECT_THROW(t.addFilters(Json("10.0.0.0/8")), collab::WrongTypeError);
  EXPECT_EQ(t.ipv4Cidrs.size(), 3u);
  EXPECT_THROW(t.addFilters(Json::array({"172.16.0.0/12", 5})), collab::WrongTypeError);
  EXPECT_EQ(t.ipv4Cidrs.size(), 4u);
}

TEST(PathbookRecordTest, AddServiceTagsFromConfiguration) {
  Pathbook t("rt1", std::nullopt, "vnet1", "sub1", std::nullopt);
  EXPECT_THROW(t.addServiceTags(Json(nullptr)), collab::WrongTypeError);
  EXPECT_TRUE(t.serviceTags.empty());
  t.addServiceTags(Json::array({"AzureCloud", "Storage"}));
  t.addServiceTags(std::vector<std::string>{"Sql"});
  EXPECT_EQ(t.serviceTags, (std::vector<std::string>{"AzureCloud", "Storage", "Sql"}));
}

TEST(PathbookRecordTest, AdditionalTagsReplaceInPlaceAndAppend) {
  Pathbook t("rt1", Tags{{"owner", "dev"}}, "vnet1", "sub1", std::nullopt);
  t.addAdditonalTags(Json::parse(R"([{"Key": "owner", "Value": "ops"},
                                     {"Key": "cost", "Value": 42},
                                     {"Key": "keep", "Value": true},
                                     {"Key": "none", "Value": null}])"));
  EXPECT_EQ(tagList(t), (TagList{{"owner", "ops"},
                                 {"Name", "corvanta-rt1"},
                                 {"Org_RT", "org_rt1"},
                                 {"vnet", "vnet1"},
                                 {"cost", "42"},
                                 {"keep", "True"},
                                 {"none", "None"}}));
}

TEST(PathbookRecordTest, AdditionalTagsFailuresKeepEarlierRecords) {
  struct Case {
    const char* records;
    const char* missing;
  };
  for (const auto& c :
       {Case{R"([{"Key": "a", "Value": "1"}, {"Key": "b"}, {"Key": "c", "Value": "3"}])", "Value"},
        Case{R"([{"Key": "a", "Value": "1"}, {"Value": "2"}])", "Key"},
        Case{R"([{"Key": "a", "Value": "1"}, {}])", "Value"}}) {
    SCOPED_TRACE(c.records);
    Pathbook t("rt1", std::nullopt, "vnet1", "sub1", std::nullopt);
    try {
      t.addAdditonalTags(Json::parse(c.records));
      FAIL() << "expected a missing-key failure";
    } catch (const collab::MissingKeyError& e) {
      EXPECT_EQ(e.key(), c.missing);
    }
    EXPECT_EQ(t.tags.at("a"), "1");
    EXPECT_FALSE(t.tags.contains("c"));
  }
  Pathbook t("rt1", std::nullopt, "vnet1", "sub1", std::nullopt);
  EXPECT_THROW(t.addAdditonalTags(Json(nullptr)), collab::WrongTypeError);
  EXPECT_THROW(t.addAdditonalTags(Json::array({"owner"})), collab::WrongTypeError);
  EXPECT_EQ(t.tags.size(), 3u);
}

}  // namespace
}  // namespace pathbook

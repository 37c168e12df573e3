#include "collab/cross_cloud_common.hpp"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include <sstream>
#include <string>
#include <vector>

#include "collab/errors.hpp"
#include "collab/log.hpp"

namespace collab::CrossCloudBasekit {
namespace {

// The base class only has a protected constructor; its operations are all static.
struct Base : Common {};

// Captures the basekit logger's lines as "level|message" and restores it afterwards.
class CrossCloudCommonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto logger = getLogger("basekit");
    savedSinks_ = logger->sinks();
    savedLevel_ = logger->level();
    auto sink = std::make_shared<spdlog::sinks::ostream_sink_st>(out_);
    sink->set_pattern("%l|%v");
    logger->sinks() = {sink};
    logger->set_level(spdlog::level::debug);
  }
  void TearDown() override {
    auto logger = getLogger("basekit");
    logger->sinks() = savedSinks_;
    logger->set_level(savedLevel_);
  }
  std::vector<std::string> lines() {
    std::vector<std::string> out;
    std::string line;
    std::istringstream in(out_.str());
    while (std::getline(in, line)) out.push_back(line);
    out_.str("");
    return out;
  }

  std::ostringstream out_;
  std::vector<spdlog::sink_ptr> savedSinks_;
  spdlog::level::level_enum savedLevel_{};
};

TEST_F(CrossCloudCommonTest, ValidatorsLogOneErrorNamingScopeKeyAndValue) {
  struct Case {
    Json value;
    bool boolean;
    bool text;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {true, true, false, "True"},       {false, true, false, "False"},
      {"yes", false, true, "'yes'"},     {1, false, false, "1"},
      {nullptr, false, false, "None"},   {Json::array({"a"}), false, false, "['a']"},
      {"it's", false, true, "\"it's\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.dump());
    EXPECT_EQ(Base::validateBoolean("Global", "configure_gw_name", c.value), c.boolean);
    EXPECT_EQ(Base::validateString("Vnet", "domain", c.value), c.text);
    std::vector<std::string> expected;
    if (!c.boolean)
      expected.push_back("error|Invalid Global option configure_gw_name: " + c.shown +
                         ". Valid input is a boolean");
    if (!c.text)
      expected.push_back("error|Invalid Vnet option domain: " + c.shown +
                         ". Valid input is a string");
    EXPECT_EQ(lines(), expected);
  }
}

TEST_F(CrossCloudCommonTest, GatewayNamesDerivedFromTheVnetName) {
  const Json none = Json::object();
  struct Case {
    std::string vnet;
    std::string spoke;
  };
  const std::vector<Case> cases = {
      {"hub", "hub-spoke-gw"},
      {"vnet_prod.01", "vnet-prod-01-spoke-gw"},
      {"_lead__and.trail_", "lead-and-trail-spoke-gw"},
      {"a-b", "a-b-spoke-gw"},
      // 41 characters + "-spoke-gw" is exactly 50: kept whole.
      {std::string(41, 'x'), std::string(41, 'x') + "-spoke-gw"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.vnet);
    EXPECT_EQ(Base::getSpokeGatewayName(none, c.vnet, Base::VPC_NAME_MAX_LENGTH), c.spoke);
  }
  EXPECT_EQ(Base::getTransitGatewayName(none, "hub"), "hub-transit-gw");
  EXPECT_EQ(Base::VPC_NAME_MAX_LENGTH, 50u);
}

TEST_F(CrossCloudCommonTest, LongNamesAreCutWithAHashThatKeepsThemApart) {
  const Json none = Json::object();
  const std::string common(45, 'a');
  const std::string one = common + "-east", two = common + "-west";
  const auto a = Base::getSpokeGatewayName(none, one, 50);
  const auto b = Base::getSpokeGatewayName(none, two, 50);
  EXPECT_EQ(a.size(), 50u);
  EXPECT_EQ(b.size(), 50u);
  EXPECT_NE(a, b);
  EXPECT_EQ(a, Base::getSpokeGatewayName(none, one, 50)) << "deterministic";
  EXPECT_EQ(a.substr(0, 36), std::string(36, 'a'));
  EXPECT_EQ(a.substr(36, 1), "-");
  EXPECT_EQ(a.substr(41), "-spoke-gw");

  // A cut that lands on a hyphen does not leave a double hyphen behind.
  const auto c = Base::getSpokeGatewayName(none, std::string(35, 'b') + "-" + common, 50);
  EXPECT_EQ(c.find("--"), std::string::npos) << c;
  EXPECT_LE(c.size(), 50u);

  const auto t = Base::getTransitGatewayName(none, std::string(60, 'z'));
  EXPECT_EQ(t.size(), 50u);
  EXPECT_EQ(t.substr(t.size() - 11), "-transit-gw");

  EXPECT_THROW(Base::getSpokeGatewayName(none, "hubhubhub", 14), InvalidValueError);
  EXPECT_EQ(Base::getSpokeGatewayName(none, "hub", 15), "hub-spoke-gw");
  const auto tight = Base::getSpokeGatewayName(none, "hubhubhub", 15);
  EXPECT_EQ(tight.size(), 15u);
  EXPECT_EQ(tight.substr(0, 2), "h-") << tight;
  EXPECT_THROW(Base::getSpokeGatewayName(none, "__", 50), InvalidValueError);
}

TEST_F(CrossCloudCommonTest, ConfiguredNamesAndTagsWin) {
  const Json vnets = Json::parse(R"({
    "hub": {"spoke_gw_name": "my-spoke", "transit_gw_name": "tr-1",
            "spoke_gw_tags": {"owner": "ops", "env": "prod"}},
    "blank": {"spoke_gw_name": "", "transit_gw_name": null, "spoke_gw_tags": null},
    "odd": {"spoke_gw_name": 7, "spoke_gw_tags": ["owner"]}
  })");
  EXPECT_EQ(Base::getSpokeGatewayName(vnets, "hub", 5), "my-spoke");
  EXPECT_EQ(Base::getTransitGatewayName(vnets, "hub"), "tr-1");
  EXPECT_EQ(Base::getSpokeGatewayTags(vnets, "hub"),
            Json::parse(R"({"owner":"ops","env":"prod"})"));
  EXPECT_EQ(Base::getSpokeGatewayTags(vnets, "hub").begin().key(), "owner");

  EXPECT_EQ(Base::getSpokeGatewayName(vnets, "blank", 50), "blank-spoke-gw");
  EXPECT_EQ(Base::getTransitGatewayName(vnets, "blank"), "blank-transit-gw");
  EXPECT_EQ(Base::getSpokeGatewayTags(vnets, "blank"), Json::object());
  EXPECT_EQ(Base::getSpokeGatewayTags(vnets, "unlisted"), Json::object());
  EXPECT_EQ(Base::getSpokeGatewayName(nullptr, "unlisted", 50), "unlisted-spoke-gw");

  EXPECT_THROW(Base::getSpokeGatewayName(vnets, "odd", 50), WrongTypeError);
  EXPECT_THROW(Base::getSpokeGatewayTags(vnets, "odd"), WrongTypeError);
}

}  // namespace
}  // namespace collab::CrossCloudBasekit

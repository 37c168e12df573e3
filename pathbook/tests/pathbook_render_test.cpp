// Terraform HCL and dictionary rendering of route table copies, and the collection of them.
#include <gtest/gtest.h>

#include <sstream>

#include "basekit/common.hpp"
#include "collab/errors.hpp"
#include "pathbook/pathbook.hpp"

namespace pathbook {
namespace {

using collab::CvtRoute;
using collab::Json;

class RenderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    basekit::Common::setDataPath(std::string(KX_SOURCE_DIR) + "/data");
    basekit::Common::loadInputJson();
  }

  static Pathbook rt1() {
    Pathbook t("rt1", std::nullopt, "vnet1", "sub1", std::nullopt);
    t.setRegion("eastus");
    return t;
  }

  static std::string hcl(const Pathbook& t, int ident) {
    std::ostringstream out;
    t.toHcl(out, ident);
    return out.str();
  }
};

TEST_F(RenderTest, EmptyTableWithQuotedRegionAndTags) {
  EXPECT_EQ(hcl(rt1(), 2),
            "  \"corvanta-rt1\" = {\n"
            "    Main = \"False\"\n"
            "    ctrl_managed = \"True\"\n"
            "    region = \"East US\"\n"
            "    disable_bgp_propagation = true\n"
            "    routes = {\n"
            "    }\n"
            "    tags = {\n"
            "      \"Name\" = \"corvanta-rt1\"\n"
            "      \"Org_RT\" = \"org_rt1\"\n"
            "      \"vnet\" = \"vnet1\"\n"
            "    }\n"
            "  }\n");
}

TEST_F(RenderTest, FlagsRoutesAndAddedTagsAtIndentZero) {
  Pathbook t = rt1();
  t.setMain(true);
  t.setSubnetGroupUseOnly();
  t.setDisableBgpPropagation(false);
  t.addAdditonalTags(
      Json::parse(R"([{"Key": "owner", "Value": "ops"}, {"Key": "vnet", "Value": "v2"}])"));
  t.add(CvtRoute("a", "10.1.0.0/16", "VirtualAppliance", "10.0.0.4"));
  t.add(CvtRoute("b", "0.0.0.0/0", "None", std::nullopt));
  EXPECT_EQ(hcl(t, 0),
            "\"corvanta-rt1\" = {\n"
            "  Main = \"True\"\n"
            "  ctrl_managed = \"True\"\n"
            "  subnet_group_use_only = \"True\"\n"
            "  region = \"East US\"\n"
            "  disable_bgp_propagation = false\n"
            "  routes = {\n"
            "    \"route_1\" = {\n"
            "      name = \"route_1\"\n"
            "      address_prefix = \"10.1.0.0/16\"\n"
            "      next_hop_type = \"VirtualAppliance\"\n"
            "      next_hop_in_ip_address = \"10.0.0.4\"\n"
            "    }\n"
            "    \"route_2\" = {\n"
            "      name = \"route_2\"\n"
            "      address_prefix = \"0.0.0.0/0\"\n"
            "      next_hop_type = \"None\"\n"
            "    }\n"
            "  }\n"
            "  tags = {\n"
            "    \"Name\" = \"corvanta-rt1\"\n"
            "    \"Org_RT\" = \"org_rt1\"\n"
            "    \"vnet\" = \"v2\"\n"
            "    \"owner\" = \"ops\"\n"
            "  }\n"
            "}\n");
}

TEST_F(RenderTest, NamesAndTagsAreEscaped) {
  Pathbook t("rt1", collab::azure::Tags{{"Name", "a\"b\\c\nd"}, {"k${x}", "v%{y}\t\x01"}}, "vnet1",
             "sub1", std::nullopt);
  t.setRegion("eastus");
  const std::string out = hcl(t, 0);
  EXPECT_EQ(out.substr(0, out.find('\n')), R"("corvanta-a\"b\\c\nd" = {)");
  EXPECT_NE(out.find(R"(    "k$${x}" = "v%%{y}\t\u0001")"), std::string::npos) << out;
}

TEST_F(RenderTest, FailuresLeaveTheLinesWrittenBeforeThem) {
  {
    Pathbook t("rt1", std::nullopt, "vnet1", "sub1", std::nullopt);  // region never set
    t.setSubnetGroupUseOnly();
    std::ostringstream out;
    EXPECT_THROW(t.toHcl(out, 0), collab::MissingKeyError);
    EXPECT_EQ(out.str(),
              "\"corvanta-rt1\" = {\n  Main = \"False\"\n  ctrl_managed = \"True\"\n"
              "  subnet_group_use_only = \"True\"\n");
    EXPECT_THROW(t.toDict(), collab::MissingKeyError);
  }
  {
    Pathbook t = rt1();
    t.setRegion("atlantis");
    std::ostringstream out;
    try {
      t.toHcl(out, 0);
      FAIL();
    } catch (const collab::MissingKeyError& e) {
      EXPECT_EQ(e.key(), "atlantis");
    }
    EXPECT_EQ(out.str(), "\"corvanta-rt1\" = {\n  Main = \"False\"\n  ctrl_managed = \"True\"\n");
    EXPECT_EQ(t.toDict()["region"], "atlantis");  // the dictionary does not look it up
  }
  {
    Pathbook t = rt1();
    t.tags.clear();
    std::ostringstream out;
    EXPECT_THROW(t.toHcl(out, 0), collab::MissingKeyError);
    EXPECT_EQ(out.str(), "");
  }
}

TEST_F(RenderTest, Dictionary) {
  Pathbook t = rt1();
  t.setSubnetGroupUseOnly();
  t.add(CvtRoute("a", "10.1.0.0/16", "VirtualAppliance", "10.0.0.4"));
  t.add(CvtRoute::DefaultNoneRoute());
  Json d = t.toDict();
  EXPECT_EQ(d, Json::parse(R"({
    "Main": "False", "ctrl_managed": true, "region": "eastus", "disable_bgp_propagation": true,
    "routes": {
      "route_1": {"name": "route_1", "address_prefix": "10.1.0.0/16",
                  "next_hop_type": "VirtualAppliance", "next_hop_in_ip_address": "10.0.0.4"},
      "route_2": {"name": "route_2", "address_prefix": "0.0.0.0/0", "next_hop_type": "None",
                  "next_hop_in_ip_address": null}},
    "tags": {"Name": "corvanta-rt1", "Org_RT": "org_rt1", "vnet": "vnet1"}})"));
  // Key order is part of the result.
  std::vector<std::string> keys;
  for (const auto& [k, v] : d.items()) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"Main", "ctrl_managed", "region",
                                            "disable_bgp_propagation", "routes", "tags"}));
  // The tags are a copy.
  d["tags"]["Name"] = "changed";
  EXPECT_EQ(t.getName(), "corvanta-rt1");
}

TEST_F(RenderTest, CollectionKeysTablesByAzureNameAndRendersOneDocument) {
  CvtPathbooks books("vnet1");
  EXPECT_EQ(books.get("rt1"), nullptr);
  Pathbook& held = books.add(rt1());
  EXPECT_EQ(books.get("rt1"), &held);
  EXPECT_EQ(
      books.get("/subscriptions/s/resourceGroups/g/providers/Microsoft.Network/routeTables/rt1"),
      nullptr);
  EXPECT_THROW(books.add(rt1()), collab::InvalidValueError);
  Pathbook other("rt2", std::nullopt, "vnet1", "sub2", "spoke");
  other.setRegion("westeurope");
  books.add(std::move(other));
  EXPECT_EQ(books.size(), 2u);

  std::ostringstream out;
  books.toHcl(out);
  EXPECT_EQ(out.str(), "route_tables = {\n" + hcl(held, 2) + hcl(*books.get("rt2"), 2) + "}\n");
  const Json d = books.toDict();
  EXPECT_EQ(d["rt2"]["region"], "westeurope");
  EXPECT_EQ(d.size(), 2u);
}

}  // namespace
}  // namespace pathbook

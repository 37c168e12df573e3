#include "collab/cvt_route.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace collab {
namespace {

TEST(CvtRouteTest, BuiltFromAnAzureRoute) {
  azure::Route ar{"to-fw", "/subscriptions/s/.../routes/to-fw", "10.1.0.0/16", "VirtualAppliance",
                  "10.0.0.4"};
  CvtRoute r(ar);
  EXPECT_EQ(r.id, "to-fw");
  EXPECT_EQ(r.dest, "10.1.0.0/16");
  EXPECT_EQ(r.type, "VirtualAppliance");
  EXPECT_EQ(r.target, "10.0.0.4");
  ar.next_hop_ip_address.reset();
  EXPECT_FALSE(CvtRoute(ar).target.has_value());

  const CvtRoute none = CvtRoute::DefaultNoneRoute();
  EXPECT_EQ(none.dest, "0.0.0.0/0");
  EXPECT_EQ(none.type, "None");
  EXPECT_FALSE(none.target.has_value());
}

TEST(CvtRouteTest, HclEntryAndDictionary) {
  CvtRoute r("route_1", "10.1.0.0/16", "VirtualAppliance", "10.0.0.4");
  std::ostringstream out;
  r.toHcl(out, 4);
  EXPECT_EQ(out.str(),
            "    \"route_1\" = {\n"
            "      name = \"route_1\"\n"
            "      address_prefix = \"10.1.0.0/16\"\n"
            "      next_hop_type = \"VirtualAppliance\"\n"
            "      next_hop_in_ip_address = \"10.0.0.4\"\n"
            "    }\n");
  EXPECT_EQ(r.toDict(), Json::parse(R"({"name": "route_1", "address_prefix": "10.1.0.0/16",
      "next_hop_type": "VirtualAppliance", "next_hop_in_ip_address": "10.0.0.4"})"));

  CvtRoute tag("route_\"2", "Storage.${x}", "Internet", std::nullopt);
  std::string text;
  tag.appendHcl(text, 0);
  EXPECT_EQ(text,
            "\"route_\\\"2\" = {\n"
            "  name = \"route_\\\"2\"\n"
            "  address_prefix = \"Storage.$${x}\"\n"
            "  next_hop_type = \"Internet\"\n"
            "}\n");
  EXPECT_TRUE(tag.toDict()["next_hop_in_ip_address"].is_null());
}

}  // namespace
}  // namespace collab

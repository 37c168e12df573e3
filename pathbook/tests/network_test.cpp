// pathbook::Network against Python's ipaddress: the fixture data/network_cases.jsonl holds
// Python's answers for a few thousand texts and pairs (see gen_network_fixture.py).
#include "pathbook/network.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "collab/errors.hpp"
#include "collab/json.hpp"

namespace pathbook {
namespace {

struct Fixture {
  std::vector<collab::Json> texts;
  std::vector<collab::Json> pairs;
};

const Fixture& fixture() {
  static const Fixture f = [] {
    Fixture out;
    std::ifstream in(std::string(KX_SOURCE_DIR) + "/pathbook/tests/data/network_cases.jsonl");
    std::string line;
    while (std::getline(in, line)) {
      auto j = collab::Json::parse(line);
      (j.contains("t") ? out.texts : out.pairs).push_back(std::move(j));
    }
    return out;
  }();
  return f;
}

TEST(NetworkDifferentialTest, FixtureIsLoaded) {
  EXPECT_GT(fixture().texts.size(), 3000u);
  EXPECT_GT(fixture().pairs.size(), 1500u);
}

TEST(NetworkDifferentialTest, SameAcceptRejectAndCanonicalTextAsPython) {
  int mismatches = 0;
  for (const auto& c : fixture().texts) {
    const std::string text = c["t"];
    SCOPED_TRACE("text: '" + text + "'");
    const auto n = Network::tryParse(text);
    ASSERT_EQ(n.has_value(), c["ok"].get<bool>()) << (n ? n->toString() : "");
    if (!n) {
      try {
        Network::parse(text);
        ADD_FAILURE() << "parse accepted what tryParse refused";
      } catch (const collab::InvalidValueError& e) {
        EXPECT_NE(std::string(e.what()).find("'" + text + "'"), std::string::npos) << e.what();
      }
      continue;
    }
    EXPECT_EQ(n->toString(), c["c"].get<std::string>());
    EXPECT_EQ(n->version(), c["v"].get<int>());
    EXPECT_EQ(n->prefixLength(), c["p"].get<int>());
    std::string net = n->networkAddress().toString();
    if (!n->scopeId().empty()) net += "%" + n->scopeId();
    EXPECT_EQ(net, c["n"].get<std::string>());
    EXPECT_EQ(n->broadcastAddress().toString(), c["b"].get<std::string>());
    EXPECT_EQ(Network::parse(text), *n);
    if (::testing::Test::HasFailure() && ++mismatches > 20) FAIL() << "too many mismatches";
  }
}

TEST(NetworkDifferentialTest, SameContainmentAnswersAsPython) {
  for (const auto& p : fixture().pairs) {
    const std::string a = p["a"], b = p["b"];
    SCOPED_TRACE(a + " in " + b);
    const Network na = Network::parse(a), nb = Network::parse(b);
    if (p["r"].is_boolean()) {
      EXPECT_EQ(Network::isSubnetOf(na, nb), p["r"].get<bool>());
    } else {
      try {
        Network::isSubnetOf(na, nb);
        ADD_FAILURE() << "expected a type failure";
      } catch (const collab::WrongTypeError& e) {
        EXPECT_EQ(std::string(e.what()), p["r"].get<std::string>());
      }
    }
  }
}

TEST(NetworkTest, FailureNamesTheTextAndTheReason) {
  try {
    Network::parse("10.2.0.1/16");
    FAIL();
  } catch (const collab::InvalidValueError& e) {
    EXPECT_STREQ(e.what(), "'10.2.0.1/16' has host bits set");
  }
  try {
    Network::parse("Storage.WestEurope");
    FAIL();
  } catch (const collab::InvalidValueError& e) {
    EXPECT_STREQ(e.what(), "'Storage.WestEurope' does not appear to be an IPv4 or IPv6 network");
  }
}

TEST(NetworkTest, AddressesAndOrdering) {
  const Network n = Network::parse("2001:db8::/32");
  EXPECT_EQ(n.networkAddress().toString(), "2001:db8::");
  EXPECT_EQ(n.broadcastAddress().toString(), "2001:db8:ffff:ffff:ffff:ffff:ffff:ffff");
  EXPECT_EQ(n.maxPrefixLength(), 128);
  EXPECT_TRUE(n.networkAddress() < n.broadcastAddress());
  const Network v4 = Network::parse("10.0.0.0/255.0.0.0");
  EXPECT_EQ(v4.toString(), "10.0.0.0/8");
  EXPECT_EQ(v4.broadcastAddress().toString(), "10.255.255.255");
  EXPECT_NE(v4, Network::parse("10.0.0.0/9"));
  std::ostringstream os;
  os << v4;
  EXPECT_EQ(os.str(), "10.0.0.0/8");
}

}  // namespace
}  // namespace pathbook

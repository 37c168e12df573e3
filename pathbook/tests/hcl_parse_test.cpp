// The rendered route-table document read back by HashiCorp's HCL parser (npm @cdktf/hcl2json,
// run through tools/hcl2json.js under node): awkward names and tag values must come back as
// the same texts, and the structure must be what Terraform will see.
#include <gtest/gtest.h>

#include <sstream>

#include "basekit/common.hpp"
#include "checks/check.hpp"
#include "collab/hcl.hpp"
#include "pathbook/pathbook.hpp"
#include "support/hcl_parser.hpp"

namespace pathbook {
namespace {

using collab::CvtRoute;
using collab::Json;

namespace fs = std::filesystem;
using kx::test::asParsed;
using kx::test::parseHcl;
using kx::test::unordered;
constexpr auto& run = kx::test::runShell;
constexpr auto& readFile = kx::test::readFileBytes;

TEST(HclParseTest, RenderedCollectionReadsBackAsTheTables) {
  basekit::Common::setDataPath(std::string(KX_SOURCE_DIR) + "/data");
  basekit::Common::loadInputJson();

  const std::vector<std::string> awkward = {
      "quote\"d",
      "back\\slash\\",
      "new\nline\r\n",
      "tab\there",
      "${var.secret}",
      "%{ if true }x%{ endif }",
      "$${already}",
      "$$${x}",
      "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x9a\x80",
      "ctl\x01\x1f\x7f",
      "trailing $",
      "100%",
      "{}[]=#//",
      "",
  };

  CvtPathbooks books("vnet1");
  {
    Pathbook t("rt-a", collab::azure::Tags{{"Name", "web \"prod\" ${env}"}}, "vnet1", "sub1",
               std::nullopt);
    t.setRegion("eastus");
    Json records = Json::array();
    for (std::size_t i = 0; i < awkward.size(); ++i)
      records.push_back({{"Key", "k" + std::to_string(i) + awkward[i]}, {"Value", awkward[i]}});
    t.addAdditonalTags(records);
    t.add(CvtRoute("x", "10.1.0.0/16", "VirtualAppliance", "10.0.0.4"));
    t.add(CvtRoute("y", "Storage.WestEurope", "Internet", std::nullopt));
    t.add(CvtRoute("z", "2001:db8::/32", "VirtualAppliance", "10.0.0.5"));
    books.add(std::move(t));
  }
  {
    Pathbook t("rt-b", std::nullopt, "vnet1", "sub2", "spoke\\rt\n%{x}");
    t.setRegion("westeurope");
    t.setMain(true);
    t.setSubnetGroupUseOnly();
    t.setDisableBgpPropagation(false);
    t.add(CvtRoute::DefaultNoneRoute());
    books.add(std::move(t));
  }
  {
    Pathbook t("rt-c", std::nullopt, "vnet1", "sub3", std::nullopt);
    t.setRegion("australiacentral2");
    books.add(std::move(t));
  }

  std::ostringstream hcl;
  books.toHcl(hcl);
  const Json doc = kx::test::parseHcl(hcl.str());
  ASSERT_TRUE(doc.is_object());
  ASSERT_EQ(doc.size(), 1u);
  const Json& tables = doc.at("route_tables");
  ASSERT_EQ(tables.size(), books.size());

  books.forEach([&](const Pathbook& t) {
    SCOPED_TRACE(t.getId());
    const std::string key = asParsed(*t.getName());
    ASSERT_TRUE(tables.contains(key)) << key << " in " << tables.dump();
    const Json& got = tables.at(key);
    EXPECT_EQ(got.at("Main"), t.main);
    EXPECT_EQ(got.at("ctrl_managed"), "True");
    EXPECT_EQ(got.contains("subnet_group_use_only"), t.subnet_group_use_only);
    if (t.subnet_group_use_only) {
      EXPECT_EQ(got.at("subnet_group_use_only"), "True");
    }
    EXPECT_EQ(got.at("region"), basekit::Common::REGION.at(*t.region));
    EXPECT_EQ(got.at("disable_bgp_propagation"), t.disableBgpPropagation);

    Json tags = Json::object();
    for (const auto& [k, v] : t.tags) tags[asParsed(k)] = asParsed(v);
    EXPECT_EQ(unordered(got.at("tags")), unordered(tags));

    Json routes = Json::object();
    for (const auto& [id, r] : t.routes) {
      Json e = {{"name", id}, {"address_prefix", r.dest}, {"next_hop_type", r.type}};
      if (r.target) e["next_hop_in_ip_address"] = *r.target;
      routes[id] = e;
    }
    EXPECT_EQ(unordered(got.at("routes")), unordered(routes));
  });
  // Spot checks that do not go through the helpers above.
  EXPECT_EQ(tables.at("spoke\\rt\n%%{x}").at("routes").at("route_1").at("next_hop_type"), "None");
  EXPECT_EQ(tables.at("corvanta-web \"prod\" $${env}").at("tags").at("k9ctl\x01\x1f\x7f"),
            "ctl\x01\x1f\x7f");
  EXPECT_EQ(tables.at("corvanta-rt-c").at("region"), "Australia Central 2");
}

// `texts` in Unicode normalization form C, as node's String.prototype.normalize gives them.
std::vector<std::string> nfc(const std::vector<std::string>& texts) {
  const fs::path dir = fs::temp_directory_path() / ("kx-nfc-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "in.json", std::ios::binary) << Json(texts).dump();
  const int rc =
      run("node -e \"const fs = require('fs'); process.stdout.write(JSON.stringify("
          "JSON.parse(fs.readFileSync(0, 'utf8')).map((s) => s.normalize('NFC'))))\" < '" +
          (dir / "in.json").string() + "' > '" + (dir / "out.json").string() + "'");
  const std::string out = readFile(dir / "out.json");
  fs::remove_all(dir);
  if (rc != 0) {
    ADD_FAILURE() << "node could not normalize the texts (exit " << rc << ")";
    return texts;
  }
  return Json::parse(out).get<std::vector<std::string>>();
}

// The HCL escaping fuzz inputs (committed ones, and a whole fuzz corpus when
// KX_FUZZ_HCL_CORPUS names its folder, as scripts/fuzz.sh does) read back by the real parser.
TEST(HclParseTest, FuzzInputsReadBackUnchanged) {
  std::vector<fs::path> files = kx::fuzz::committedInputs(KX_SOURCE_DIR, "hcl_escape");
  if (const char* corpus = std::getenv("KX_FUZZ_HCL_CORPUS")) {
    for (const auto& entry : fs::directory_iterator(corpus)) files.push_back(entry.path());
  }
  std::string hcl;
  std::vector<fs::path> read;
  std::vector<std::string> texts;
  for (const auto& file : files) {
    std::string text = kx::fuzz::readInput(file);
    try {
      (void)Json(text).dump();
    } catch (const nlohmann::json::type_error&) {
      continue;  // not UTF-8: Terraform reads UTF-8 files only
    }
    hcl += "v" + std::to_string(texts.size()) + " = ";
    collab::appendHclQuoted(hcl, text);
    hcl += "\n";
    read.push_back(file);
    texts.push_back(asParsed(text));
  }
  ASSERT_FALSE(texts.empty());
  const Json doc = parseHcl(hcl);
  ASSERT_TRUE(doc.is_object());
  // HCL hands every string back in normalization form C, escaped characters included, so a
  // decomposed "e" + U+0301 cannot survive any escaping; everything else must come back as is.
  const std::vector<std::string> expected = nfc(texts);
  ASSERT_EQ(expected.size(), texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    SCOPED_TRACE(read[i].string());
    EXPECT_EQ(doc.value("v" + std::to_string(i), Json()), expected[i]);
  }
}

TEST(HclParseTest, ParserRejectsBrokenDocuments) {
  // Guards the test above against a parser that accepts anything.
  const kx::test::HclParserRun r =
      kx::test::runHclParser("route_tables = {\n  \"a\"b\" = {\n  }\n}\n");
  EXPECT_EQ(r.rc, 1) << r.err;
}

}  // namespace
}  // namespace pathbook

// The HTML report as a person opens it: the demo run's page and a page of hostile names in
// headless Chromium (one browser for all pages, driven by html_browser.py), checked for
// console errors, network requests and the DOM's counts against the JSON report.  Two planted
// pages prove that the driver does see a console error and a request.  Screenshots are left
// in <build>/discover/html-report/ for a person to look at.
#include <set>

#include "discover_fixture.hpp"

namespace kxdiscover::test {
namespace {

const fs::path kShots = fs::path(KX_BINARY_DIR) / "discover" / "html-report";

// The DOM figures every page is asked for.
const std::vector<std::pair<std::string, std::string>> kQueries{
    {"vnet_nodes", "document.querySelectorAll('figure.topology g.node.vnet').length"},
    {"peering_edges", "document.querySelectorAll('figure.topology g.edge.peering').length"},
    {"route_tables", "document.querySelectorAll('section.route-table').length"},
    {"alerts", "document.querySelectorAll('#findings li.finding.alert').length"},
    {"errors", "document.querySelectorAll('#findings li.finding.error').length"},
    {"scripts", "document.querySelectorAll('script').length"},
    {"broken_links",
     "[...document.querySelectorAll('a')].map(a => a.getAttribute('href') || "
     "a.getAttributeNS('http://www.w3.org/1999/xlink', 'href')).filter(h => h && "
     "h.startsWith('#') && !document.getElementById(h.slice(1))).length"},
    {"first_vnet", "(document.querySelector('section.vnet h3 .name') || {}).textContent"},
    {"first_tag", "(document.querySelector('tr.tag th') || {}).textContent"},
    {"first_tag_value", "(document.querySelector('tr.tag td') || {}).textContent"},
};

// Peered pairs per subscription, each once, as the pictures should draw them.
std::size_t peeredPairs(const Json& report) {
  std::size_t pairs = 0;
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  for (const Json& sub : report["subscriptions"]) {
    std::set<std::pair<std::string, std::string>> seen;
    for (const Json& vnet : sub["vnets"]) {
      if (!vnet.contains("peerings")) continue;
      for (const Json& p : vnet["peerings"]) {
        const std::string a = lower(vnet["id"]), b = lower(p["remote_vnet_id"]);
        seen.insert(std::minmax(a, b));
      }
    }
    pairs += seen.size();
  }
  return pairs;
}

std::size_t total(const Json& report, const char* list) {
  std::size_t n = 0;
  for (const Json& sub : report["subscriptions"])
    for (const Json& vnet : sub["vnets"]) n += vnet.contains(list) ? vnet[list].size() : 0;
  return n;
}

// The Python with Debian's python3-websocket: the system's, not one of a virtual environment.
std::string python() { return fs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3"; }

TEST_F(DiscoverTest, HtmlReportsOpenCleanlyInChromium) {
  if (kx::test::runShell("command -v chromium >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "Chromium is not installed (Debian package chromium, from "
                    "scripts/setup-deps.sh): the HTML report was not opened in a browser";
  if (kx::test::runShell(python() + " -c 'import websocket' >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "python3-websocket is not installed (scripts/setup-deps.sh)";

  // The demo, replayed as scripts/demo.sh runs it, with both reports.
  const std::string demo = kSource + "/examples/demo/";
  ProgramResult r = run({"--replay", demo + "demo.cassette.json", "--json", "report.json", "--html",
                         "demo.html", demo + "discovery.yaml"},
                        /*env=*/{});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("html report     demo.html"), std::string::npos) << r.out;
  const Json rep = report();

  // The same report with hostile names, through `kx-discover html`.
  const std::string hostileName = "<script>alert(\"vnet & 'name'\")</script>";
  const std::string hostileTag = "<img src=x onerror=alert(1)> & \"tag\"";
  Json hostile = rep;
  hostile["subscriptions"][0]["vnets"][0]["name"] = hostileName;
  for (Json& vnet : hostile["subscriptions"][0]["vnets"]) {
    if (!vnet.contains("route_tables") || vnet["route_tables"].empty()) continue;
    Json tags = Json::object();
    tags[hostileTag] = hostileName;
    vnet["route_tables"][0]["definition"]["tags"] = tags;
    break;
  }
  std::ofstream(path("hostile.json")) << hostile.dump(2);
  r = Program(dir_, {"html", "hostile.json"}, {}).wait();
  ASSERT_EQ(r.status, 0) << r.err;

  // Planted faults the driver must see: a console error, and a request to a closed loopback
  // port (made, and failed, in any case).
  std::ofstream(path("planted-error.html"))
      << "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>e</title></head><body>"
         "<script>console.error('planted')</script></body></html>";
  std::ofstream(path("planted-request.html"))
      << "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>r</title></head><body>"
         "<img src=\"http://127.0.0.1:47/planted.png\" alt=\"\"></body></html>";

  fs::create_directories(kShots);
  fs::copy_file(path("demo.html"), kShots / "demo.html", fs::copy_options::overwrite_existing);
  std::string command = python() + " '" + kSource + "/discover/tests/html_browser.py' --shots '" +
                        kShots.string() + "'";
  for (const auto& [name, expression] : kQueries)
    command += " --eval \"" + name + "=" + expression + "\"";
  for (const char* page :
       {"demo.html", "hostile.html", "planted-error.html", "planted-request.html"})
    command += " '" + path(page).string() + "'";
  const int status = kx::test::runShell(command + " > '" + path("browser.json").string() +
                                        "' 2> '" + path("browser.err").string() + "'");
  ASSERT_EQ(status, 0) << readFile(path("browser.err"));
  const Json pages = Json::parse(readFile(path("browser.json")));
  ASSERT_EQ(pages.size(), 4u);

  for (std::size_t i = 0; i < 2; ++i) {
    const Json& page = pages[i];
    SCOPED_TRACE(page["page"].get<std::string>());
    EXPECT_TRUE(page["loaded"].get<bool>());
    EXPECT_EQ(page["console_errors"], Json::array());
    EXPECT_EQ(page["requests"], Json::array());
    const Json& v = page["values"];
    EXPECT_EQ(v["vnet_nodes"], rep["summary"]["vnets"]);
    EXPECT_EQ(v["peering_edges"], peeredPairs(rep));
    EXPECT_EQ(v["route_tables"], rep["summary"]["route_tables"]);
    EXPECT_EQ(v["route_tables"], total(rep, "route_tables"));
    EXPECT_EQ(v["alerts"], rep["summary"]["alerts"]);
    EXPECT_EQ(v["errors"], rep["summary"]["errors"]);
    EXPECT_EQ(v["scripts"], 0);
    EXPECT_EQ(v["broken_links"], 0);
    EXPECT_TRUE(fs::file_size(page["screenshot"].get<std::string>()) > 10000);
  }
  // The demo's figures, for a person reading a failure.
  EXPECT_EQ(pages[0]["values"]["vnet_nodes"], 7);
  EXPECT_EQ(pages[1]["values"]["first_vnet"], hostileName);
  EXPECT_EQ(pages[1]["values"]["first_tag"], hostileTag);
  EXPECT_EQ(pages[1]["values"]["first_tag_value"], hostileName);

  EXPECT_NE(pages[2]["console_errors"].dump().find("planted"), std::string::npos) << pages[2];
  EXPECT_EQ(pages[3]["requests"], Json::array({"http://127.0.0.1:47/planted.png"})) << pages[3];
}

}  // namespace
}  // namespace kxdiscover::test

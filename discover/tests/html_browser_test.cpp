// The HTML report as a person opens it: the demo run's page, a page of hostile names and pages
// of one hub with 60 and 500 spokes in headless Chromium (one browser for all pages, driven by
// html_browser.py), checked for console errors, network requests, links and images, contrast,
// what a screen reader hears, the layout at 1,280 pixels and, for the hubs, the printed pages;
// and the DOM's counts against the JSON report.  Two planted pages prove that the driver does
// see a console error and a request.  Screenshots and the printed hub pages are left in
// <build>/discover/html-report/ for a person to look at.
#include <set>

#include "discover_fixture.hpp"
#include "html_test_reports.hpp"

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
    // Nothing from data may lead elsewhere or embed anything.
    {"links_out",
     "[...document.querySelectorAll('a')].filter(a => !(a.getAttribute('href') || "
     "a.getAttributeNS('http://www.w3.org/1999/xlink', 'href') || '#').startsWith('#')).length"},
    {"embedded", "document.querySelectorAll('img, image, object, embed, iframe, use').length"},
    // Characters that would act (controls, direction overrides) never reach the text raw.
    {"acting",
     "/[\\u0000-\\u0008\\u000b-\\u001f\\u202a-\\u202e\\u2066\\u2067]/.test("
     "document.body.textContent)"},
    // Nothing past the right edge of a 1,280 pixel window but a picture inside its frame.
    {"page_width", "document.documentElement.scrollWidth"},
    {"past_right",
     "[...document.querySelectorAll('body *')].filter(e => !e.closest('svg') && "
     "e.getBoundingClientRect().right > innerWidth + 0.5).length"},
    {"picture",
     "(() => { const f = document.querySelector('figure.topology .picture'); if (!f) return "
     "null; const r = f.getBoundingClientRect(), s = f.querySelector('svg')."
     "getBoundingClientRect(), h = f.querySelector('#node-vnet-1-1').getBoundingClientRect(); "
     "return {frame_height: f.clientHeight, scrolls: f.scrollWidth > f.clientWidth + 1, "
     "width: s.width, height: s.height, hub_top: h.top - r.top}; })()"},
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
  // A right-to-left override in a name with alerts, and a state that would be attributes.
  hostile["subscriptions"][0]["vnets"][1]["name"] = "\u202Eevil\x1B[2J";
  for (Json& vnet : hostile["subscriptions"][0]["vnets"]) {
    if (!vnet.contains("peerings") || vnet["peerings"].empty()) continue;
    vnet["peerings"][0]["state"] = "\", URL=\"https://example.invalid/\", image=\"/etc/passwd";
    break;
  }
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

  // Hub and spoke, the commonest layout, at 60 and 500 spokes.
  for (const std::size_t spokes : {60, 500}) {
    const std::string name = "hub" + std::to_string(spokes);
    std::ofstream(path(name + ".json")) << hubReport(1, spokes).dump();
    r = Program(dir_, {"html", name + ".json"}, {}).wait();
    ASSERT_EQ(r.status, 0) << r.err;
  }

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
  for (const char* page : {"hub60.html", "hub500.html"})
    command += " --print '" + path(page).string() + "'";
  for (const char* page : {"demo.html", "hostile.html"})
    command += " --hear '" + path(page).string() + "'";
  for (const char* page : {"demo.html", "hostile.html", "planted-error.html",
                           "planted-request.html", "hub60.html", "hub500.html"})
    command += " '" + path(page).string() + "'";
  const int status = kx::test::runShell(command + " > '" + path("browser.json").string() +
                                        "' 2> '" + path("browser.err").string() + "'");
  ASSERT_EQ(status, 0) << readFile(path("browser.err"));
  const Json pages = Json::parse(readFile(path("browser.json")));
  ASSERT_EQ(pages.size(), 6u);

  for (const std::size_t i : {0, 1, 4, 5}) {
    const Json& page = pages[i];
    SCOPED_TRACE(page["page"].get<std::string>());
    EXPECT_TRUE(page["loaded"].get<bool>());
    EXPECT_EQ(page["console_errors"], Json::array());
    EXPECT_EQ(page["requests"], Json::array());
    const Json& v = page["values"];
    EXPECT_EQ(v["links_out"], 0);
    EXPECT_EQ(v["embedded"], 0);
    EXPECT_EQ(v["acting"], false);
    EXPECT_LE(v["page_width"].get<int>(), 1280);
    EXPECT_EQ(v["past_right"], 0);
    EXPECT_EQ(page["contrast"]["low"], Json::array());
    EXPECT_GT(page["contrast"]["checked"].get<int>(), 100);
    // Screen readers hear each picture's name and every link's, never Graphviz's node ids.
    if (i < 2) {
      const Json& heard = page["accessibility"];
      EXPECT_NE(heard["groups"].dump().find("Peerings of the VNets of subscription"),
                std::string::npos)
          << heard;
      EXPECT_EQ(heard["unnamed_links"], 0);
      EXPECT_EQ(heard["graphviz_ids"], Json::array());
    }
    // A picture up to the hub's of 60 spokes fits the page's width; a larger one scrolls in
    // its frame.
    const Json& picture = v["picture"];
    if (i != 5) {
      EXPECT_EQ(picture["scrolls"], false) << picture;
    }
    if (i >= 4) {
      // Hub and spoke fill the page: the hub at the top of the frame, the picture about as
      // wide as tall, not one tall column; printed, the picture is on one page with its
      // heading and caption.
      EXPECT_LT(picture["hub_top"].get<double>(), picture["frame_height"].get<double>() / 4)
          << picture;
      EXPECT_LT(picture["height"].get<double>(), 1.5 * picture["width"].get<double>()) << picture;
      const Json& printedPages = page["print"]["pages"];
      ASSERT_TRUE(printedPages.is_array())
          << "the printed page was not read: pdftotext (poppler-utils, from "
             "scripts/setup-deps.sh) is missing";
      const std::string spokes = i == 4 ? "60" : "500";
      std::size_t heading = SIZE_MAX, caption = SIZE_MAX;
      for (std::size_t p = 0; p < printedPages.size(); ++p) {
        const std::string text = printedPages[p];
        if (text.find("Subscription hub-estate") != std::string::npos) heading = p;
        if (text.find(spokes + " peered pair(s)") != std::string::npos) caption = p;
      }
      EXPECT_NE(heading, SIZE_MAX);
      EXPECT_EQ(heading, caption) << page["print"]["pdf"];
      continue;
    }
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
  EXPECT_EQ(pages[4]["values"]["vnet_nodes"], 61);
  EXPECT_EQ(pages[4]["values"]["peering_edges"], 60);
  EXPECT_EQ(pages[5]["values"]["peering_edges"], 500);

  EXPECT_NE(pages[2]["console_errors"].dump().find("planted"), std::string::npos) << pages[2];
  EXPECT_EQ(pages[3]["requests"], Json::array({"http://127.0.0.1:47/planted.png"})) << pages[3];
}

}  // namespace
}  // namespace kxdiscover::test

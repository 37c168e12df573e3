// The HTML report without a browser: escaping checked through Graphviz itself, the pictures'
// nodes and edges against a report of a known shape, every link against the page's ids, and
// the `html` subcommand's answers to a file that is no report.
#include "html/html_report.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "discover_fixture.hpp"
#include "html/html_text.hpp"
#include "html/html_topology.hpp"

namespace kxdiscover::test {
namespace {

// XML text as written by Graphviz or the page, character references decoded.
std::string unescapeXml(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') {
      out += text[i];
      continue;
    }
    const std::size_t end = text.find(';', i);
    const std::string entity = text.substr(i + 1, end - i - 1);
    static const std::map<std::string, std::string> named{
        {"amp", "&"}, {"lt", "<"}, {"gt", ">"}, {"quot", "\""}, {"apos", "'"}};
    if (named.contains(entity)) {
      out += named.at(entity);
    } else if (entity.starts_with("#x")) {
      out += static_cast<char>(std::stoi(entity.substr(2), nullptr, 16));
    } else if (entity.starts_with("#")) {
      out += static_cast<char>(std::stoi(entity.substr(1)));
    } else {
      out += "&" + entity + ";";
    }
    i = end;
  }
  return out;
}

// SVG text as a person sees it: references decoded, without the invisible word joiners that
// keep an "&amp;" of a name from being read as a reference.
std::string visible(const std::string& svgText) {
  std::string out = unescapeXml(svgText);
  for (std::size_t at; (at = out.find("\xE2\x81\xA0")) != std::string::npos;) out.erase(at, 3);
  return out;
}

// Texts Azure names may hold that mean something to HTML, XML or Graphviz.
const std::vector<std::string> kHostile{
    "<script>alert(\"x&y\")</script>",        "a & b 'quoted' \"double\"",
    R"(back\slash \N \G \L \n \" end\)",      "<b>bold</b> &amp; &#60;",
    "]]> <!-- x --> {curly} [square] |pipe|", "ünïcødé – 日本",
};

TEST(HtmlEscape, PageTextHoldsNoMarkup) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"plain", "plain"},
      {"<script>", "&lt;script&gt;"},
      {"a&b", "a&amp;b"},
      {"\"'", "&quot;&#39;"},
      {std::string("nul\0bell\a", 9),
       "nul\xEF\xBF\xBD"
       "bell\xEF\xBF\xBD"},
      {"tab\tline\n", "tab\tline\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(html::escape(c.in), c.out);
  }
}

// Each hostile text as a node label (HTML-like) and a tooltip (quoted), laid out by Graphviz:
// the SVG must give back exactly the text, with nothing substituted or taken as markup.
TEST(HtmlEscape, GraphvizGivesBackEveryTextAsWritten) {
  html::GraphvizLayout graphviz;
  for (const std::string& text : kHostile) {
    SCOPED_TRACE(text);
    const std::string svg = graphviz.svg("graph { n1 [shape=plain, URL=\"#x\", tooltip=\"" +
                                         html::dotQuoted(text) + "\", label=<<TABLE><TR><TD>" +
                                         html::dotLabelText(text) + "</TD></TR></TABLE>>]; }");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(svg, m, std::regex("<text[^>]*>([^<]*)</text>"))) << svg;
    EXPECT_EQ(visible(m[1]), text);
    ASSERT_TRUE(std::regex_search(svg, m, std::regex("xlink:title=\"([^\"]*)\""))) << svg;
    EXPECT_EQ(visible(m[1]), text);
  }
}

Json line(const std::string& text) {
  return Json{{"logger", "netscout"}, {"level", "warning"}, {"text", text}};
}

const std::string kSubA = "aaaaaaaa-0000-0000-0000-000000000001";
const std::string kSubB = "bbbbbbbb-0000-0000-0000-000000000002";

std::string vnetId(const std::string& sub, const std::string& name) {
  return "/subscriptions/" + sub +
         "/resourceGroups/rg-net/providers/Microsoft.Network/"
         "virtualNetworks/" +
         name;
}

std::string routeTableId(const std::string& sub, const std::string& name) {
  return "/subscriptions/" + sub +
         "/resourceGroups/rg-net/providers/Microsoft.Network/"
         "routeTables/" +
         name;
}

Json peering(const std::string& name, const std::string& sub, const std::string& remote,
             const Json& state) {
  return Json{{"name", name},
              {"id", "/x/virtualNetworkPeerings/" + name},
              {"remote_vnet_id", vnetId(sub, remote)},
              {"remote_vnet", remote},
              {"remote_subscription", sub},
              {"state", state}};
}

Json vnet(const std::string& sub, const std::string& name, Json peerings,
          Json alerts = Json::array()) {
  const std::string id = vnetId(sub, name);
  return Json{
      {"name", name},
      {"id", id},
      {"resource_group", "rg-net"},
      {"region", "eastus"},
      {"address_space", {"10.0.0.0/16"}},
      {"status", "completed"},
      {"failed_step", nullptr},
      {"failure", nullptr},
      {"subnets", Json::array({Json{{"name", "web"},
                                    {"id", id + "/subnets/web"},
                                    {"address_prefixes", {"10.0.1.0/24"}},
                                    {"route_table_id", routeTableId(sub, "rt-web")},
                                    {"network_security_group_id", nullptr},
                                    {"delegations", Json::array()},
                                    {"gateway_group", "1"}}})},
      {"peerings", std::move(peerings)},
      {"gateways", {{"vng_reported", true}, {"vng", nullptr}, {"spoke_gateway_found", false}}},
      {"route_tables", Json::array()},
      {"refused_routes", Json::array()},
      {"terraform_file", "./out/" + name + ".tfvars"},
      {"alerts", std::move(alerts)},
      {"errors", Json::array()}};
}

// Subscription A: a hub peered both ways with spoke-1 (Connected), with spoke-2 one way only
// (Initiated), and with spoke-x of subscription B, which peers back (Disconnected); a
// not-found VNet.  Subscription B: spoke-x, peered also with a VNet outside the report.
Json sampleReport() {
  Json hub = vnet(kSubA, "hub",
                  Json::array({peering("to-1", kSubA, "spoke-1", "Connected"),
                               peering("to-2", kSubA, "spoke-2", "Initiated"),
                               peering("to-x", kSubB, "spoke-x", "Connected")}));
  hub["gateways"]["vng"] = Json{{"name", "vpngw"},
                                {"type", "Vpn"},
                                {"resource_group", "rg-net"},
                                {"id", vnetId(kSubA, "vpngw")}};
  hub["route_tables"] =
      Json::array({Json{{"azure_id", routeTableId(kSubA, "rt-web")},
                        {"azure_name", "rt-web"},
                        {"copy_name", "corvanta-rt-web"},
                        {"subnets", Json::array({Json{{"name", "web"}, {"gateway_group", "1"}}})},
                        {"definition",
                         {{"Main", "False"},
                          {"ctrl_managed", true},
                          {"region", "eastus"},
                          {"disable_bgp_propagation", false},
                          {"routes",
                           {{"route_1",
                             {{"name", "route_1"},
                              {"address_prefix", "10.9.0.0/16"},
                              {"next_hop_type", "VirtualAppliance"},
                              {"next_hop_in_ip_address", "10.0.0.4"}}}}},
                          {"tags", {{"owner", "net"}}}}}}});
  hub["refused_routes"] = Json::array({Json{{"route_table", "rt-web"},
                                            {"prefix", "0.0.0.0/0"},
                                            {"next_hop_type", "Internet"},
                                            {"next_hop_ip", nullptr},
                                            {"reason", "0.0.0.0/0 with nexthop Internet"}},
                                       Json{{"route_table", "rt-gone"},
                                            {"prefix", "10.0.0.0/8"},
                                            {"next_hop_type", "VnetLocal"},
                                            {"next_hop_ip", nullptr},
                                            {"reason", "RFC1918 route"}}});
  Json spoke1 = vnet(kSubA, "spoke-1", Json::array({peering("to-hub", kSubA, "hub", "Connected")}),
                     Json::array({line("**Alert** VNet spoke-1 has 1 peering(s)")}));
  Json spoke2 = vnet(kSubA, "spoke-2", Json::array());
  Json spokeX = vnet(kSubB, "spoke-x",
                     Json::array({peering("to-hub", kSubA, "hub", "Disconnected"),
                                  peering("out", kSubB, "elsewhere", "Connected")}));
  Json missing{{"name", "gone"},
               {"status", "not_found"},
               {"alerts", Json::array({line("**Alert** gone not found")})},
               {"errors", Json::array()}};
  auto subscription = [](const std::string& id, const std::string& name, Json vnets) {
    return Json{{"id", id},
                {"account_name", name},
                {"status", "completed"},
                {"failures", Json::array()},
                {"regions", {"eastus"}},
                {"vnets", std::move(vnets)},
                {"alerts", Json::array({line("**Alert** quota")})},
                {"errors", Json::array()}};
  };
  return Json{
      {"schema", "kx-discover-report/1"},
      {"tool", {{"name", "kx-discover"}, {"version", "0.1.0"}}},
      {"started", "2024-05-01T14:03:27Z"},
      {"finished", "2024-05-01T14:03:29Z"},
      {"command_line", {"kx-discover", "x.yaml"}},
      {"configuration", "x.yaml"},
      {"status", "completed"},
      {"interrupted", false},
      {"summary", {{"alerts", 4}, {"errors", 0}, {"seconds", 1.5}}},
      {"outputs",
       {{"log", "kx.log"},
        {"alert_log", "kx.alert.log"},
        {"terraform", Json::array()},
        {"report", nullptr},
        {"cassette", nullptr}}},
      {"subscriptions", Json::array({subscription(kSubA, "prod", {hub, spoke1, spoke2, missing}),
                                     subscription(kSubB, "dev", {spokeX})})},
      {"failures", Json::array()}};
}

// The picture (the <svg> element) of subscription s, from 0.
std::string picture(const std::string& page, std::size_t s) {
  std::size_t at = 0;
  for (std::size_t i = 0; i <= s; ++i) at = page.find("<svg", at + 1);
  return page.substr(at, page.find("</svg>", at) - at);
}

TEST(HtmlReport, PicturesHoldOneNodePerVnetAndOneEdgePerPeeredPair) {
  const std::string page = renderHtmlReport(sampleReport());
  const struct {
    std::size_t subscription;
    std::size_t vnets, remote, peerings, cross, notConnected, flagged;
  } cases[] = {
      // hub, spoke-1, spoke-2, gone; spoke-x beyond; hub-1, hub-2 (one-sided), hub-x (cross,
      // Connected on one side, Disconnected on the other); spoke-1 and gone have alerts.
      {0, 4, 1, 3, 1, 2, 2},
      // spoke-x; hub and elsewhere beyond; x-hub (cross), x-elsewhere.
      {1, 1, 2, 2, 1, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.subscription);
    const std::string svg = picture(page, c.subscription);
    EXPECT_EQ(occurrences(svg, "class=\"node vnet"), c.vnets);
    EXPECT_EQ(occurrences(svg, "class=\"node remote"), c.remote);
    EXPECT_EQ(occurrences(svg, "class=\"edge peering"), c.peerings);
    EXPECT_EQ(occurrences(svg, "class=\"edge peering cross"), c.cross);
    EXPECT_EQ(occurrences(svg, "not&#45;connected") + occurrences(svg, "not-connected"),
              c.notConnected);
    EXPECT_EQ(occurrences(svg, "class=\"node vnet alert"), c.flagged);
  }
  // The hub carries its VPN gateway; each side's state stands at its end of the hub-x line.
  const std::string first = picture(page, 0);
  EXPECT_NE(first.find(">VPN gateway vpngw<"), std::string::npos);
  EXPECT_NE(first.find(">Disconnected<"), std::string::npos);
  EXPECT_NE(picture(page, 1).find(">not in this report<"), std::string::npos);
}

TEST(HtmlReport, EveryLinkLeadsToAnIdOfThePage) {
  HtmlReportOptions options;
  options.extraSections.push_back({"changes", "Changes since <earlier>", "<p>none</p>"});
  const std::string page = renderHtmlReport(sampleReport(), options);
  std::set<std::string> ids;
  const std::regex id("\\sid=\"([^\"]+)\"");
  for (auto it = std::sregex_iterator(page.begin(), page.end(), id); it != std::sregex_iterator();
       ++it)
    ids.insert(unescapeXml((*it)[1]));
  std::size_t links = 0;
  const std::regex href("href=\"#([^\"]*)\"");
  for (auto it = std::sregex_iterator(page.begin(), page.end(), href); it != std::sregex_iterator();
       ++it, ++links)
    EXPECT_TRUE(ids.contains(unescapeXml((*it)[1]))) << (*it)[0];
  // Contents, findings, every node of the report's VNets, the peering tables' remote VNets.
  EXPECT_GT(links, 20u);
  // The extra section comes after the summary and before the findings, its title escaped.
  const std::size_t extra = page.find("<section class=\"extra\" id=\"changes\">");
  EXPECT_LT(page.find("<section id=\"summary\">"), extra);
  EXPECT_LT(extra, page.find("<section id=\"findings\">"));
  EXPECT_NE(page.find("<h2>Changes since &lt;earlier&gt;</h2>"), std::string::npos);
}

TEST(HtmlReport, RouteTablesShowKeptAndRefusedRoutesWithReasons) {
  const std::string page = renderHtmlReport(sampleReport());
  EXPECT_EQ(occurrences(page, "<section class=\"route-table\""), 1u);
  EXPECT_EQ(occurrences(page, "<tr class=\"kept-route\">"), 1u);
  EXPECT_EQ(occurrences(page, "<tr class=\"refused-route\">"), 2u);
  EXPECT_NE(page.find("<td class=\"reason\">0.0.0.0/0 with nexthop Internet</td>"),
            std::string::npos);
  // A refused route of a table that is not re-created still shows, with its table.
  EXPECT_NE(page.find("<td>rt-gone</td><td>10.0.0.0/8</td>"), std::string::npos);
  // The subnet links to its table's section.
  EXPECT_NE(page.find("<a href=\"#rt-1-1-1\">rt-web</a>"), std::string::npos);
  // All alerts: three subscription and VNet lines of A, one of B.
  const std::string findings = page.substr(page.find("<section id=\"findings\">"));
  EXPECT_EQ(
      occurrences(findings.substr(0, findings.find("</section>")), "<li class=\"finding alert\">"),
      4u);
}

TEST(HtmlReport, HostileNamesStayText) {
  Json report = sampleReport();
  const std::string name = kHostile[0];
  Json& hub = report["subscriptions"][0]["vnets"][0];
  hub["name"] = name;
  hub["route_tables"][0]["definition"]["tags"][kHostile[1]] = kHostile[3];
  report["configuration"] = kHostile[2];
  const std::string page = renderHtmlReport(report);
  // The page has no script of its own, so none may appear; nor the tag's bold.
  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_EQ(page.find("<b>"), std::string::npos);
  EXPECT_NE(page.find("<span class=\"name\">" + html::escape(name) + "</span>"), std::string::npos);
  EXPECT_NE(page.find("<th scope=\"row\">" + html::escape(kHostile[1]) + "</th><td>" +
                      html::escape(kHostile[3]) + "</td>"),
            std::string::npos);
  // In the picture, the bold name Graphviz writes is the name, as text.
  std::smatch m;
  const std::string svg = picture(page, 0);
  ASSERT_TRUE(std::regex_search(svg, m, std::regex("font-weight=\"bold\"[^>]*>([^<]*)</text>")));
  EXPECT_EQ(visible(m[1]), name);
}

TEST(HtmlReport, LearnedRoutesAreATablePerGatewayTheirTextsAsText) {
  Json report = sampleReport();
  const Json route{{"prefix", kHostile[1]},   {"next_hop", nullptr}, {"origin", "EBgp"},
                   {"as_path", kHostile[3]},  {"weight", 32768},     {"source_peer", kHostile[2]},
                   {"local_address", nullptr}};
  const Json answered{
      {"name", kHostile[0]},   {"type", "Vpn"},      {"resource_group", kHostile[4]},
      {"status", "completed"}, {"message", nullptr}, {"routes", {route}}};
  Json refused = answered;
  refused.update(Json{{"status", "refused"}, {"message", kHostile[1]}, {"routes", nullptr}});
  report["subscriptions"][0]["vnets"][0]["learned_routes"] = {answered, refused};
  // A VNet without a gateway says so; one whose run did not ask (null) shows nothing.
  report["subscriptions"][0]["vnets"][1]["learned_routes"] = Json::array();
  report["subscriptions"][0]["vnets"][2]["learned_routes"] = nullptr;

  const std::string page = renderHtmlReport(report);
  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_EQ(page.find("<b>"), std::string::npos);
  EXPECT_EQ(occurrences(page, "<h4>Learned routes ("), 2u);
  EXPECT_NE(page.find("<code>" + html::escape(kHostile[0]) + "</code> (Vpn, " +
                      html::escape(kHostile[4]) + "): 1 route(s)"),
            std::string::npos);
  EXPECT_NE(page.find("<tr class=\"learned-route\"><td>" + html::escape(kHostile[1]) +
                      "</td><td></td><td>EBgp</td><td>" + html::escape(kHostile[3]) +
                      "</td><td>32768</td><td>" + html::escape(kHostile[2]) + "</td></tr>"),
            std::string::npos);
  EXPECT_NE(page.find("refused</span> " + html::escape(kHostile[1]) + "</caption>"),
            std::string::npos);
}

TEST(HtmlReport, RefusesWhatIsNoReport) {
  const struct {
    Json doc;
    std::string message;
  } cases[] = {
      {Json::array(), "not a JSON object"},
      {Json{{"status", "completed"}}, "\"schema\" member is missing"},
      {Json{{"schema", "other/1"}}, "\"schema\" member is \"other/1\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.doc.dump());
    try {
      renderHtmlReport(c.doc);
      ADD_FAILURE() << "rendered";
    } catch (const HtmlReportError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
}

TEST_F(DiscoverTest, HtmlCommandTellsWhyAFileIsNoReport) {
  std::ofstream(path("broken.json")) << "{\"schema\": ";
  std::ofstream(path("other.json")) << "{\"schema\": \"other/1\"}";
  std::ofstream(path("good.json")) << sampleReport().dump();
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;  // in standard error
    std::string written;
  } cases[] = {
      {{"html", "missing.json"}, 2, "missing.json", ""},
      {{"html", "broken.json"}, 1, "broken.json: [json.exception.parse_error", ""},
      {{"html", "other.json", "-o", "other.html"}, 1, "other.json: not a kx-discover report", ""},
      {{"html", "good.json"}, 0, "", "good.html"},
      {{"html", "good.json", "-o", "sub/page.html"}, 0, "", "sub/page.html"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[1]);
    const ProgramResult r = Program(dir_, c.args, {}).wait();
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    if (!c.written.empty()) {
      EXPECT_NE(readFile(path(c.written)).find("<svg"), std::string::npos);
    }
  }
  EXPECT_FALSE(fs::exists(path("other.html")));
}

}  // namespace
}  // namespace kxdiscover::test

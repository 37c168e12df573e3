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
#include "html_test_reports.hpp"

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

// SVG text as a person sees it: references decoded, without the direction isolates (U+2068,
// U+2069) that keep a label's text from reordering its neighbours.
std::string visible(const std::string& svgText) {
  std::string out = unescapeXml(svgText);
  for (const char* isolate : {"\xE2\x81\xA8", "\xE2\x81\xA9"})
    for (std::size_t at; (at = out.find(isolate)) != std::string::npos;) out.erase(at, 3);
  return out;
}

// Texts Azure names may hold that mean something to HTML, XML, Graphviz, a terminal or the
// direction of the text around them.
const std::vector<std::string> kHostile{
    "<script>alert(\"x&y\")</script>",
    "a & b 'quoted' \"double\"",
    R"(back\slash \N \G \L \n \" end\)",
    "<b>bold</b> &amp; &#60;",
    "]]> <!-- x --> {curly} [square] |pipe|",
    "ünïcødé – 日本",
    std::string("line\nbreak\rreturn\0nul\x1B[31mred", 29),
    "\xE2\x80\xAE"
    "reversed 10.0.0.0/8\xE2\x80\xAC"
    " after",
    "../../etc/passwd",
    "\", URL=\"https://example.invalid/\", image=\"/etc/passwd\", x=\"",
    "> <IMG SRC=\"x\"/> <TABLE>",
};

TEST(HtmlEscape, PageTextHoldsNoMarkupAndShowsWhatActs) {
  const struct {
    std::string in;
    std::string escaped;
    std::string isolated;
  } cases[] = {
      {"plain", "plain", "plain"},
      {"<script>", "&lt;script&gt;", "&lt;script&gt;"},
      {"a&b", "a&amp;b", "a&amp;b"},
      {"\"'", "&quot;&#39;", "&quot;&#39;"},
      {std::string("nul\0bell\a\x7F", 10), "nul\\x00bell\\x07\\x7F", "nul\\x00bell\\x07\\x7F"},
      {"tab\tline\ncr\r", "tab\\tline\\ncr\\r", "tab\\tline\\ncr\\r"},
      // Direction overrides and isolates show as what they are; other text beyond ASCII is
      // kept, isolated from its neighbours.
      {"\xE2\x80\xAE"
       "abc\xE2\x81\xA6",
       "\\u202Eabc\\u2066", "<bdi>\\u202Eabc\\u2066</bdi>"},
      {"\xC2\x85next", "\\u0085next", "<bdi>\\u0085next</bdi>"},
      {"שלום", "שלום", "<bdi>שלום</bdi>"},
      // Bytes that are not UTF-8 (a lone continuation, an overlong '/', a surrogate).
      {"a\x80"
       "b\xC0\xAF"
       "c\xED\xA0\x80",
       "a\xEF\xBF\xBD"
       "b\xEF\xBF\xBD\xEF\xBF\xBD"
       "c\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD",
       "<bdi>a\xEF\xBF\xBD"
       "b\xEF\xBF\xBD\xEF\xBF\xBD"
       "c\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD</bdi>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(html::escape(c.in), c.escaped);
    EXPECT_EQ(html::isolated(c.in), c.isolated);
  }
}

TEST(HtmlEscape, LabelsAreCutByCharactersNotBytes) {
  const std::string ellipsis = "\xE2\x80\xA6";
  const struct {
    std::string in;
    std::size_t chars;
    std::string out;
  } cases[] = {
      {"abcdef", 6, "abcdef"},
      {"abcdefg", 6, "abcdef" + ellipsis},
      {"日本語の名前", 3, "日本語" + ellipsis},
      {"", 3, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(html::shortened(c.in, c.chars), c.out);
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
    // What acts instead of showing (line breaks, NUL, ESC, direction overrides) shows as
    // its escape; everything else exactly as written.
    const std::string shown = html::visibleText(text);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(svg, m, std::regex("<text[^>]*>([^<]*)</text>"))) << svg;
    EXPECT_EQ(visible(m[1]), shown);
    ASSERT_TRUE(std::regex_search(svg, m, std::regex("xlink:title=\"([^\"]*)\""))) << svg;
    EXPECT_EQ(unescapeXml(m[1]), shown);
    EXPECT_EQ(svg.find("<title>"), std::string::npos);
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
  // The VPN gateway's learned routes, and an ExpressRoute gateway's refusal.
  const Json answered{{"name", "vpngw"},
                      {"type", "Vpn"},
                      {"resource_group", "rg-net"},
                      {"status", "completed"},
                      {"message", nullptr},
                      {"routes",
                       {{{"prefix", "192.168.0.0/16"},
                         {"next_hop", "172.31.0.1"},
                         {"origin", "EBgp"},
                         {"as_path", "65001"},
                         {"weight", 0},
                         {"source_peer", "172.31.0.1"},
                         {"local_address", nullptr}}}}};
  Json refused = answered;
  refused.update(Json{{"name", "ergw"},
                      {"type", "ExpressRoute"},
                      {"status", "refused"},
                      {"message", "the principal may not ask for them"},
                      {"routes", nullptr}});
  hub["learned_routes"] = {answered, refused};
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
  return reportAround(Json::array({subscription(kSubA, "prod", {hub, spoke1, spoke2, missing}),
                                   subscription(kSubB, "dev", {spokeX})}),
                      {{"alerts", 4}, {"errors", 0}, {"seconds", 1.5}}, "x.yaml");
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

// Where Graphviz put each VNet's box of a picture: the first line of text in its group, by the
// VNet's anchor (vnet-1-3).
std::map<std::string, std::pair<double, double>> boxes(const std::string& svg) {
  static const std::regex node(
      "<g id=\"node&#45;vnet&#45;([0-9]+)&#45;([0-9]+)\" class=\"[^\"]*\">[^]*?<text[^>]* "
      "x=\"([-0-9.]+)\" y=\"([-0-9.]+)\"");
  std::map<std::string, std::pair<double, double>> out;
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), node); it != std::sregex_iterator();
       ++it)
    out["vnet-" + (*it)[1].str() + "-" + (*it)[2].str()] = {std::stod((*it)[3]),
                                                            std::stod((*it)[4])};
  return out;
}

// A hub's spokes hang in columns from one line, the hub at the top left and the spokes in
// report order down each column; each peered pair is still one line; a small star stays as
// dot draws it.
TEST(HtmlReport, HubsHangTheirSpokesInColumns) {
  const std::size_t kSpokes = 12;
  const std::string page = renderHtmlReport(hubReport(2, kSpokes));
  const std::string svg = picture(page, 0);
  EXPECT_EQ(occurrences(svg, "class=\"edge peering"), 2 * kSpokes + 1);
  EXPECT_EQ(occurrences(svg, "class=\"cluster\""), 2u);
  const auto at = boxes(svg);
  ASSERT_EQ(at.size(), 2 * kSpokes + 2);
  for (std::size_t h = 0; h < 2; ++h) {
    SCOPED_TRACE(h);
    const auto hub = at.at(html::ReportIndex::vnetAnchor(0, h));
    std::set<double> columns;
    for (std::size_t i = 0; i < kSpokes; ++i) {
      const auto spoke = at.at(html::ReportIndex::vnetAnchor(0, 2 + h * kSpokes + i));
      EXPECT_LE(hub.second, spoke.second) << i;  // the hub at the top, left of its spokes
      EXPECT_LT(hub.first, spoke.first) << i;
      columns.insert(spoke.first);
      if (i == 0) continue;
      // The next spoke below in the same column, or at the top of the next.
      const auto previous = at.at(html::ReportIndex::vnetAnchor(0, 2 + h * kSpokes + i - 1));
      if (spoke.first == previous.first) {
        EXPECT_GT(spoke.second, previous.second) << i;
      } else {
        EXPECT_GT(spoke.first, previous.first) << i;
        EXPECT_LT(spoke.second, previous.second) << i;
      }
    }
    EXPECT_GE(columns.size(), 2u);
  }
  // Every id of the page once.
  std::multiset<std::string> ids;
  const std::regex id("\\sid=\"([^\"]+)\"");
  for (auto it = std::sregex_iterator(page.begin(), page.end(), id); it != std::sregex_iterator();
       ++it)
    ids.insert((*it)[1]);
  for (const std::string& one : ids) EXPECT_EQ(ids.count(one), 1u) << one;

  const std::string star = picture(renderHtmlReport(hubReport(1, 7)), 0);
  EXPECT_EQ(occurrences(star, "class=\"cluster\""), 0u);
  EXPECT_EQ(occurrences(star, "class=\"edge peering"), 7u);
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

// `report` with `text` in every member the page or a picture shows: names, statuses, peering
// states, gateway, region, tags, routes, findings and failures.
Json withText(Json report, const std::string& text) {
  report["configuration"] = text;
  report["tool"]["version"] = text;
  report["failures"] = Json::array(
      {Json{{"subscription", kSubA}, {"vnet", text}, {"step", text}, {"message", text}}});
  Json& sub = report["subscriptions"][0];
  sub["account_name"] = text;
  sub["alerts"] = Json::array({line(text)});
  Json& hub = sub["vnets"][0];
  hub["name"] = text;
  hub["region"] = text;
  hub["address_space"] = Json::array({text, "10.1.0.0/16"});
  hub["gateways"]["vng"]["type"] = text;
  hub["gateways"]["vng"]["name"] = text;
  for (Json& gateway : hub["learned_routes"]) {
    for (const char* key : {"name", "type", "resource_group", "status", "message"})
      gateway[key] = text;
  }
  for (auto& [key, value] : hub["learned_routes"][0]["routes"][0].items()) value = text;
  hub["peerings"][1]["state"] = text;
  hub["peerings"][1]["name"] = text;
  hub["subnets"][0]["name"] = text;
  Json& table = hub["route_tables"][0];
  table["definition"]["tags"] = Json{{text, text}};
  table["definition"]["routes"]["route_1"]["name"] = text;
  hub["refused_routes"][0]["reason"] = text;
  hub["refused_routes"][1]["route_table"] = text;
  Json& spoke2 = sub["vnets"][2];
  spoke2["status"] = text;
  spoke2["failed_step"] = text;
  spoke2["alerts"] = Json::array({line(text)});
  report["subscriptions"][1]["vnets"][0]["peerings"][1]["remote_vnet"] = text;
  return report;
}

// The page's markup without its text: every tag with its attributes' names, and the values of
// the attributes that could make a link, a class, an id or a role.
std::vector<std::string> skeleton(const std::string& page) {
  static const std::regex tag("<(/?[A-Za-z][\\w:-]*)([^>]*)>");
  static const std::regex attribute("([\\w:-]+)(=\"([^\"]*)\")?");
  static const std::set<std::string> kept{"class", "id", "href", "xlink:href", "target", "role"};
  std::vector<std::string> out;
  for (auto t = std::sregex_iterator(page.begin(), page.end(), tag); t != std::sregex_iterator();
       ++t) {
    const std::string name = (*t)[1];
    if (name == "bdi" || name == "/bdi") continue;  // only where a text goes beyond ASCII
    std::string item = name;
    const std::string attributes = (*t)[2];
    for (auto a = std::sregex_iterator(attributes.begin(), attributes.end(), attribute);
         a != std::sregex_iterator(); ++a) {
      item += " " + (*a)[1].str();
      if (kept.contains((*a)[1])) item += "=" + (*a)[3].str();
    }
    out.push_back(item);
  }
  return out;
}

// Each hostile text in every member of a report makes a page of exactly the markup a plain
// text makes: no element, attribute, link, image, class or id more or other, in the page or in
// the pictures Graphviz drew; nothing that acts (control characters, direction overrides)
// reaches it raw.
TEST(HtmlReport, HostileTextsInjectNothing) {
  const std::vector<std::string> plain = skeleton(renderHtmlReport(withText(sampleReport(), "x")));
  ASSERT_GT(plain.size(), 200u);
  for (const std::string& text : kHostile) {
    SCOPED_TRACE(text);
    std::string page;
    ASSERT_NO_THROW(page = renderHtmlReport(withText(sampleReport(), text)));
    const std::vector<std::string> marks = skeleton(page);
    EXPECT_EQ(marks.size(), plain.size());
    for (std::size_t i = 0; i < std::min(marks.size(), plain.size()); ++i) {
      if (marks[i] != plain[i]) {
        ADD_FAILURE() << "markup " << i << ": " << marks[i] << "\n  instead of " << plain[i];
        break;
      }
    }
    for (const std::string& acting :
         {std::string(1, '\0'), std::string("\x1B"), std::string("\r"), std::string("\u202E"),
          std::string("\u202C"), std::string("\u2066")})
      EXPECT_EQ(page.find(acting), std::string::npos);
    EXPECT_EQ(page.find("<img"), std::string::npos);
    EXPECT_EQ(page.find("<image"), std::string::npos);
    EXPECT_EQ(page.find("<script"), std::string::npos);
  }
}

// A name far longer than Azure allows: the picture shows its start, the tooltip its first
// thousands of characters and the page the whole of it, and the picture keeps the width of an
// ordinary one.
TEST(HtmlReport, LongNamesAreCutInPicturesOnly) {
  Json report = sampleReport();
  const std::string name = "n" + std::string(200000, 'x') + "z";
  report["subscriptions"][1]["vnets"][0]["name"] = name;
  const std::string page = renderHtmlReport(report);
  const std::string svg = picture(page, 1);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(svg, m, std::regex("width=\"([0-9.]+)pt\"")));
  EXPECT_LT(std::stod(m[1]), 1000.0);
  EXPECT_NE(svg.find(">\u2068n" + std::string(html::kLabelChars - 1, 'x') + "\u2026\u2069<"),
            std::string::npos);
  EXPECT_NE(svg.find("xlink:title=\"n" + std::string(html::kTooltipChars - 1, 'x') + "\u2026\""),
            std::string::npos);
  EXPECT_NE(page.find("<span class=\"name\">" + name + "</span>"), std::string::npos);
}

// Their texts go through withText() above.
TEST(HtmlReport, LearnedRoutesAreATablePerGatewayAsked) {
  Json report = sampleReport();
  // A VNet without a gateway says so; one whose run did not ask (null) shows nothing.
  report["subscriptions"][0]["vnets"][1]["learned_routes"] = Json::array();
  report["subscriptions"][0]["vnets"][2]["learned_routes"] = nullptr;
  const std::string page = renderHtmlReport(report);
  EXPECT_EQ(occurrences(page, "<h4>Learned routes ("), 2u);
  EXPECT_EQ(occurrences(page, "No VPN or ExpressRoute gateway to ask."), 1u);
  EXPECT_NE(page.find("<caption><code>vpngw</code> (Vpn, rg-net): 1 route(s)</caption>"),
            std::string::npos);
  EXPECT_NE(page.find("<tr class=\"learned-route\"><td>192.168.0.0/16</td><td>172.31.0.1</td>"
                      "<td>EBgp</td><td>65001</td><td>0</td><td>172.31.0.1</td></tr>"),
            std::string::npos);
  EXPECT_NE(page.find("<span class=\"badge status-refused\">refused</span> the principal may not "
                      "ask for them</caption>"),
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
  // Reports that break the schema: each refused as `diff` refuses it, the first problem named.
  std::ofstream(path("shape2.json")) << Json{{"schema", "kx-discover-report/2"}}.dump();
  const struct {
    const char* file;
    const char* pointer;
    Json value;
  } broken[] = {
      {"name.json", "/subscriptions/0/vnets/1/name", 5},
      {"status.json", "/subscriptions/0/vnets/0/status", "exploded"},
      {"count.json", "/summary/alerts", "4"},
      {"list.json", "/subscriptions/1/vnets", Json::object()},
      {"state.json", "/subscriptions/0/vnets/0/peerings/0/state", Json::array({1})},
  };
  for (const auto& b : broken) {
    Json report = sampleReport();
    report[Json::json_pointer(b.pointer)] = b.value;
    std::ofstream(path(b.file)) << report.dump();
  }
  // Nesting and a token far beyond any report, and a JSON report named like a page.
  std::ofstream(path("deep.json")) << std::string(20'000'000, '[');
  std::ofstream(path("token.json")) << "{\"schema\": \"" + std::string(5'000'000, 'x');
  std::ofstream(path("named.html")) << sampleReport().dump();
  fs::create_symlink(path("good.json"), path("link.html"));
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;  // in standard error
    std::string written;
  } cases[] = {
      {{"html", "missing.json"}, 2, "missing.json", ""},
      {{"html", "broken.json"}, 1, "broken.json: not JSON: [json.exception.parse_error", ""},
      {{"html", "other.json", "-o", "other.html"}, 1, "other.json: not a kx-discover report", ""},
      {{"html", "shape2.json"}, 1, "shape2.json: a report of shape kx-discover-report/2", ""},
      {{"html", "name.json"}, 1, "member subscriptions[0].vnets[1].name: expected a text", ""},
      {{"html", "status.json"},
       1,
       "subscriptions[0].vnets[0].status: unknown value \"exploded\"",
       ""},
      {{"html", "count.json"}, 1, "member summary.alerts: expected a count, got \"4\"", ""},
      {{"html", "list.json"}, 1, "member subscriptions[1].vnets: expected a list", ""},
      {{"html", "state.json"}, 1, "peerings[0].state: expected a text, got [1]", ""},
      {{"html", "deep.json"}, 1, "deep.json: not a kx-discover report: nested deeper than 64", ""},
      {{"html", "token.json"}, 1, "token.json: not JSON: [json.exception.parse_error", ""},
      // A page that would replace one of its reports.
      {{"html", "good.json", "-o", "good.json"}, 2, "would replace the report good.json", ""},
      {{"html", "good.json", "-o", "./sub/../good.json"}, 2, "would replace the report", ""},
      {{"html", "good.json", "-o", "link.html"}, 2, "would replace the report good.json", ""},
      {{"html", "named.html"}, 2, "would replace the report named.html; name the page with -o", ""},
      {{"html", "good.json", "-o", "x.html", "--previous", "x.html"},
       2,
       "would replace the report x.html",
       ""},
      {{"html", "good.json", "-o", "good.json/page.html"},
       3,
       "the HTML report good.json/page.html was not written",
       ""},
      {{"html", "good.json"}, 0, "", "good.html"},
      {{"html", "good.json", "-o", "sub/page.html"}, 0, "", "sub/page.html"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[1] + (c.args.size() > 3 ? " " + c.args[3] : ""));
    const ProgramResult r = Program(dir_, c.args, {}).wait();
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    // One short line, whatever the file held.
    EXPECT_LT(r.err.size(), 400u) << r.err.substr(0, 400);
    if (!c.written.empty()) {
      EXPECT_NE(readFile(path(c.written)).find("<svg"), std::string::npos);
    }
  }
  EXPECT_FALSE(fs::exists(path("other.html")));
  EXPECT_FALSE(fs::exists(path("x.html")));
  // The reports the page would have replaced are as they were.
  EXPECT_EQ(Json::parse(readFile(path("good.json"))), sampleReport());
  EXPECT_EQ(Json::parse(readFile(path("named.html"))), sampleReport());
}

TEST_F(DiscoverTest, HtmlCommandHelpTellsItsOwnExitStatuses) {
  const ProgramResult r = Program(dir_, {"html", "--help"}, {}).wait();
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Exit status: 0 the page was written; 1 a report cannot be used"),
            std::string::npos)
      << r.out;
  // Not the run's: a configuration error, a failed VNet, an interruption.
  for (const char* run : {"configuration error", "VNet failed", "Ctrl-C"})
    EXPECT_EQ(r.out.find(run), std::string::npos) << run;
}

}  // namespace
}  // namespace kxdiscover::test

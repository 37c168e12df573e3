// kx-discover diff over two reports the program wrote against the loopback Azure, before and
// after one scripted edit of the served estate with a change of every kind: the listing against
// a reviewed golden file, the JSON listing against its schema and the reverse comparison, a
// rename as one change, identical reports as no change; and every report it must refuse.
#include "diff/report_diff.hpp"

#include <functional>

#include "discover_fixture.hpp"

namespace kxdiscover::test {
namespace {

const std::string kGoldenDiff = kSource + "/discover/tests/data/golden/diff.txt";
const std::string kRg = "/subscriptions/" + kProd + "/resourceGroups/";
const std::string kNet = "/providers/Microsoft.Network/";

Json& named(Json& list, const std::string& name) {
  for (Json& item : list) {
    if (item.at("name") == name) return item;
  }
  throw std::runtime_error("the estate has no " + name);
}

void eraseNamed(Json& list, const std::string& name) {
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (it->at("name") == name) {
      list.erase(it);
      return;
    }
  }
  throw std::runtime_error("the estate has no " + name);
}

Json route(const std::string& table, const std::string& name, const std::string& prefix,
           const std::string& hop, const std::string& ip = "") {
  Json properties{{"addressPrefix", prefix}, {"nextHopType", hop}};
  if (!ip.empty()) properties["nextHopIpAddress"] = ip;
  return Json{{"name", name}, {"id", table + "/routes/" + name}, {"properties", properties}};
}

// The test estate after a week of drift: one change of each kind the comparison lists.
Json driftedEstate() {
  Json estate = fakearm::loadEstateFile(kSource + "/discover/tests/data/estate.json");
  Json& prod = estate["subscriptions"][0];
  Json& dev = estate["subscriptions"][1];
  Json& vnets = prod["virtualNetworks"];
  Json& tables = prod["routeTables"];
  const std::string spokeB = kRg + "rg.(legacy)" + kNet + "virtualNetworks/spoke-b";

  // A VNet the configuration names appears; another goes.
  vnets.push_back(Json{{"name", "ghost-vnet"},
                       {"id", kRg + "rg-spokes" + kNet + "virtualNetworks/ghost-vnet"},
                       {"type", "Microsoft.Network/virtualNetworks"},
                       {"location", "eastus"},
                       {"properties", {{"addressSpace", {{"addressPrefixes", {"10.9.0.0/16"}}}}}}});
  eraseNamed(dev["virtualNetworks"], "dev-vnet");

  // Address space, peerings (one gone, one added, one changing state), subnets (one added,
  // the spoke gateway's gone).
  Json& spokeA = named(vnets, "spoke-a")["properties"];
  spokeA["addressSpace"]["addressPrefixes"].push_back("10.5.0.0/16");
  eraseNamed(spokeA["virtualNetworkPeerings"], "to-hub");
  named(named(vnets, "hub-vnet")["properties"]["virtualNetworkPeerings"],
        "to-spoke-a")["properties"]["peeringState"] = "Disconnected";
  Json toHub =
      named(named(vnets, "hub-vnet")["properties"]["virtualNetworkPeerings"], "to-spoke-a");
  toHub["name"] = "to-hub";
  toHub["id"] = spokeB + "/virtualNetworkPeerings/to-hub";
  toHub["properties"]["peeringState"] = "Connected";
  toHub["properties"]["remoteVirtualNetwork"]["id"] =
      kRg + "rg-hub" + kNet + "virtualNetworks/hub-vnet";
  named(vnets, "spoke-b")["properties"]["virtualNetworkPeerings"] = Json::array({toHub});
  spokeA["subnets"].push_back(
      Json{{"name", "db"},
           {"id", kRg + "rg-spokes" + kNet + "virtualNetworks/spoke-a/subnets/db"},
           {"properties", {{"addressPrefix", "10.1.9.0/24"}, {"delegations", Json::array()}}}});
  eraseNamed(spokeA["subnets"], "corvanta-spoke-gw");

  // spoke-b's data subnet moves from rt-shared to the unused rt-unused; its gateway goes.
  const std::string data = spokeB + "/subnets/data";
  Json& dataSubnet = named(named(vnets, "spoke-b")["properties"]["subnets"], "data");
  const std::string unused = named(tables, "rt-unused")["id"];
  dataSubnet["properties"]["routeTable"]["id"] = unused;
  Json& sharedSubnets = named(tables, "rt-shared")["properties"]["subnets"];
  sharedSubnets.erase(std::remove(sharedSubnets.begin(), sharedSubnets.end(), Json{{"id", data}}),
                      sharedSubnets.end());
  named(tables, "rt-unused")["properties"]["subnets"] = Json::array({Json{{"id", data}}});
  eraseNamed(prod["virtualNetworkGateways"], "spoke-b-er-gw");

  // Routes kept: one appears, one vanishes, one changes prefix, one next hop.  Routes refused:
  // one appears, one vanishes, one changes next hop.  And rt-web's copy is renamed.
  Json& shared = named(tables, "rt-shared");
  Json& sharedRoutes = shared["properties"]["routes"];
  sharedRoutes.push_back(
      route(shared["id"], "to-batch", "10.70.0.0/16", "VirtualAppliance", "10.0.1.4"));
  named(sharedRoutes, "blackhole")["properties"]["addressPrefix"] = "10.98.0.0/16";
  named(sharedRoutes, "local")["properties"] = {{"addressPrefix", "10.1.0.0/16"},
                                                {"nextHopType", "VirtualAppliance"},
                                                {"nextHopIpAddress", "10.0.1.4"}};
  Json& web = named(tables, "rt-web");
  Json& webRoutes = web["properties"]["routes"];
  eraseNamed(webRoutes, "v6");
  webRoutes.push_back(route(web["id"], "branch", "192.168.50.0/24", "VirtualNetworkGateway"));
  eraseNamed(webRoutes, "doc-v6");
  named(webRoutes, "to-firewall")["properties"]["nextHopIpAddress"] = "10.0.1.6";
  web["tags"]["Name"] = "frontend-routes";
  return estate;
}

// The problems Python's jsonschema finds in `document` against docs/diff.schema.json.
std::string diffProblems(const fs::path& document) {
  const fs::path out = document.string() + ".problems";
  const int rc = kx::test::runShell(
      "python3 -c 'import json, sys, jsonschema; s = json.load(open(sys.argv[1])); "
      "jsonschema.Draft202012Validator.check_schema(s); "
      "[print(list(e.absolute_path), e.message) for e in "
      "jsonschema.Draft202012Validator(s).iter_errors(json.load(open(sys.argv[2])))]' '" +
      kSource + "/docs/diff.schema.json' '" + document.string() + "' > '" + out.string() +
      "' 2>&1");
  return rc == 0 ? readFile(out) : "not checked: " + readFile(out);
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

class DiffTest : public DiscoverTest {
 protected:
  ProgramResult diff(const std::vector<std::string>& args) {
    std::vector<std::string> all{"diff"};
    all.insert(all.end(), args.begin(), args.end());
    return Program(dir_, all, {}).wait();
  }
};

TEST_F(DiffTest, ListsEveryKindOfDriftBetweenTwoRuns) {
  serve();
  ASSERT_EQ(run({"--quiet", "--json", "old.json", "discovery.yaml"}).status, 0);
  server_->setEstate(driftedEstate());
  const ProgramResult second = run({"--quiet", "--html", "new.html", "--previous", "old.json",
                                    "--json", "new.json", "discovery.yaml"});
  ASSERT_EQ(second.status, 0) << second.err;

  const ProgramResult text = diff({"old.json", "new.json"});
  ASSERT_EQ(text.status, 1) << text.err;
  std::vector<std::string> listing = lines(text.out);
  ASSERT_GT(listing.size(), 3u) << text.out;
  // The header says what was compared: each report's start and command line.
  for (const auto& [line, file] :
       {std::pair{listing[1], "old.json"}, std::pair{listing[2], "new.json"}}) {
    EXPECT_NE(line.find("started " + report(file)["started"].get<std::string>()), std::string::npos)
        << line;
    EXPECT_NE(line.find("--json " + std::string(file) + " discovery.yaml"), std::string::npos)
        << line;
  }
  const std::string heading = listing[0];
  listing.erase(listing.begin(), listing.begin() + 3);
  expectSameLines(listing, kGoldenDiff);

  const ProgramResult json = diff({"--json", "old.json", "new.json"});
  ASSERT_EQ(json.status, 1) << json.err;
  std::ofstream(path("diff.json")) << json.out;
  EXPECT_EQ(diffProblems(path("diff.json")), "");
  const Json changes = Json::parse(json.out)["changes"];
  EXPECT_EQ(heading, "kx-discover diff: " + std::to_string(changes.size()) + " changes");

  // The rename is one change of the table, not a loss and a gain.
  const std::string rtWeb = kRg + "rg-spokes" + kNet + "routeTables/rt-web";
  std::vector<Json> aboutWeb;
  for (const Json& c : changes) {
    if (c["id"] == rtWeb) aboutWeb.push_back(c);
  }
  ASSERT_EQ(aboutWeb.size(), 1u) << json.out;
  EXPECT_EQ(aboutWeb[0]["line"],
            "~ route table rt-web renamed corvanta-web-routes -> corvanta-frontend-routes");

  // Compared the other way round, every change is there with its mark and values reversed.
  const ProgramResult back = diff({"--json", "new.json", "old.json"});
  ASSERT_EQ(back.status, 1) << back.err;
  const Json reversed = Json::parse(back.out)["changes"];
  ASSERT_EQ(reversed.size(), changes.size());
  const std::map<std::string, std::string> opposite{{"+", "-"}, {"-", "+"}, {"~", "~"}};
  for (const Json& c : changes) {
    SCOPED_TRACE(c["line"].get<std::string>());
    // A route whose prefix changed is known by its new prefix, so a change is matched by
    // its values; an addition or loss by its identity.
    const auto match = std::find_if(reversed.begin(), reversed.end(), [&](const Json& r) {
      return r["vnet"] == c["vnet"] && r["subject"] == c["subject"] &&
             r["mark"] == opposite.at(c["mark"]) &&
             (c["mark"] == "~" ? r["aspect"] == c["aspect"] && r["before"] == c["after"] &&
                                     r["after"] == c["before"]
                               : r["id"] == c["id"]);
    });
    EXPECT_NE(match, reversed.end());
  }

  // The HTML report of the run lists the same changes, escaped, and the page made later from
  // the two JSON reports holds the same section.
  auto changesOf = [&](const std::string& page) {
    const std::string html = readFile(path(page));
    const std::size_t at = html.find("<section class=\"extra\" id=\"changes\">");
    return at == std::string::npos ? std::string()
                                   : html.substr(at, html.find("</section>", at) - at);
  };
  const std::string section = changesOf("new.html");
  std::size_t rows = 0;
  for (std::size_t at = section.find("<tr class=\"change "); at != std::string::npos;
       at = section.find("<tr class=\"change ", at + 1))
    ++rows;
  EXPECT_EQ(rows, changes.size());
  EXPECT_NE(section.find("~ route table rt-web renamed corvanta-web-routes -&gt; "
                         "corvanta-frontend-routes"),
            std::string::npos);
  const ProgramResult page =
      Program(dir_, {"html", "new.json", "-o", "again.html", "--previous", "old.json"}, {}).wait();
  ASSERT_EQ(page.status, 0) << page.err;
  EXPECT_EQ(changesOf("again.html"), section);

  // The same report twice: nothing changed, and a pipeline may go on.
  const ProgramResult same = diff({"new.json", "new.json"});
  EXPECT_EQ(same.status, 0) << same.err;
  EXPECT_EQ(lines(same.out).size(), 3u) << same.out;
  EXPECT_TRUE(same.out.starts_with("kx-discover diff: no change\n")) << same.out;
  const ProgramResult sameJson = diff({"--json", "old.json", "old.json"});
  EXPECT_EQ(sameJson.status, 0);
  EXPECT_EQ(Json::parse(sameJson.out)["changes"], Json::array());

  // Azure answers one resource's id in another letter case from one API to the next: the
  // report keeps the id as written, the schema accepts it, and the comparison finds nothing.
  std::function<void(Json&)> recase = [&](Json& value) {
    if (value.is_string() && value.get_ref<const std::string&>().starts_with("/subscriptions/")) {
      std::string id = value.get<std::string>();
      for (char& c : id) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      value = id;
    }
    if (value.is_structured())
      for (Json& item : value) recase(item);
  };
  Json recased = report("old.json");
  recase(recased);
  std::ofstream(path("recased.json")) << recased.dump();
  EXPECT_EQ(reportProblems(path("recased.json")), "");
  const ProgramResult caseOnly = diff({"old.json", "recased.json"});
  EXPECT_EQ(caseOnly.status, 0) << caseOnly.out;
  EXPECT_TRUE(caseOnly.out.starts_with("kx-discover diff: no change\n")) << caseOnly.out;
}

TEST_F(DiffTest, RefusesWhatItCannotCompareWithStatus2) {
  const Json valid{{"schema", "kx-discover-report/1"},
                   {"started", "2024-05-01T14:03:27Z"},
                   {"command_line", {"kx-discover", "discovery.yaml"}},
                   {"subscriptions", Json::array()}};
  Json future = valid;
  future["schema"] = "kx-discover-report/2";
  Json badVnets = valid;
  badVnets["subscriptions"] = {{{"id", kProd}, {"vnets", 5}}};
  const std::map<std::string, std::string> files{
      {"valid.json", valid.dump()},  {"future.json", future.dump()},
      {"bad.json", badVnets.dump()}, {"text.json", "kx-discover report"},
      {"array.json", "[1, 2]"},      {"other.json", R"({"schema": "something-else/1"})"}};
  for (const auto& [name, content] : files) std::ofstream(path(name)) << content;

  const struct {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{"valid.json", "future.json"},
       "future.json: a report of shape kx-discover-report/2, but this kx-discover reads "
       "kx-discover-report/1 only"},
      {{"future.json", "valid.json", "--json"}, "future.json: a report of shape"},
      {{"valid.json", "absent.json"}, "absent.json: cannot be read: No such file"},
      {{"text.json", "valid.json"}, "text.json: not JSON"},
      {{"valid.json", "array.json"}, "array.json: not a kx-discover report"},
      {{"other.json", "valid.json"}, "other.json: not a kx-discover report (its schema is"},
      {{"valid.json", "bad.json"},
       "bad.json: member subscriptions[0].vnets: expected a list, got 5"},
      {{"valid.json"}, "diff needs two reports"},
      {{"valid.json", "valid.json", "valid.json"}, "valid.json"},
      {{"--frobnicate", "valid.json", "valid.json"}, "--frobnicate"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.says);
    const ProgramResult r = diff(c.args);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(diff({"valid.json", "valid.json"}).status, 0);
}

// The rules that the estate edit above cannot reach, on a small report edited by hand.
TEST(ReportDiff, MatchesByIdentityAndListsWholeItemsOnce) {
  const std::string vnetA = kRg + "rg" + kNet + "virtualNetworks/a";
  const std::string table = kRg + "rg" + kNet + "routeTables/t1";
  const Json base = Json::parse(R"({
    "schema": "kx-discover-report/1", "started": "2024-05-01T14:03:27Z",
    "command_line": ["kx-discover", "--json", "old.json", "discovery.yaml"],
    "subscriptions": [{"id": ")" +
                                kProd + R"(", "account_name": "prod", "status": "completed",
      "alerts": [], "errors": [], "vnets": [
      {"name": "a", "id": ")" + vnetA +
                                R"(", "region": "eastus", "status": "completed",
       "address_space": ["10.0.0.0/16"],
       "peerings": [{"name": "p1", "id": ")" +
                                vnetA + R"(/virtualNetworkPeerings/p1",
                     "remote_vnet_id": "/x/hub", "remote_vnet": "hub", "remote_subscription": "s"}],
       "subnets": [], "gateways": null, "refused_routes": [], "errors": [],
       "alerts": [{"logger": "netscout", "level": "warning", "text": "**Alert** x"},
                  {"logger": "netscout", "level": "warning", "text": "**Alert** x"}],
       "route_tables": [{"azure_id": ")" +
                                table + R"(", "azure_name": "t1", "copy_name": "c-t1",
         "subnets": [], "definition": {"disable_bgp_propagation": true, "routes": {
           "route_1": {"name": "r1", "address_prefix": "10.8.0.0/16",
                       "next_hop_type": "VirtualAppliance", "next_hop_in_ip_address": "10.0.0.4"}}}}]},
      {"name": "b", "status": "not_found", "alerts": [], "errors": []}]}]})");

  const struct {
    const char* what;
    std::function<void(Json& subscription)> edit;
    std::vector<std::string> expected;
  } cases[] = {
      {"a VNet no longer found is one line with its new status",
       [](Json& s) {
         s["vnets"][0] = {{"name", "a"}, {"status", "not_found"}};
       },
       {"- vnet a 10.0.0.0/16 in eastus, completed, now not_found"}},
      {"a VNet not reached in either run shows its status",
       [](Json& s) { s["vnets"][1]["status"] = "skipped"; },
       {"~ vnet b status not_found -> skipped"}},
      {"another VNet under the same name is a loss and a gain",
       [](Json& s) { s["vnets"][0]["id"] = kRg + "rg2" + kNet + "virtualNetworks/a"; },
       {"- vnet a 10.0.0.0/16 in eastus, completed", "+ vnet a 10.0.0.0/16 in eastus, completed"}},
      {"a peering state that an older report lacks",
       [](Json& s) { s["vnets"][0]["peerings"][0]["state"] = "Connected"; },
       {"~ peering p1 state unknown -> Connected"}},
      {"a finding is new or resolved by its text, however often logged",
       [](Json& s) {
         s["vnets"][0]["alerts"] = {
             {{"logger", "netscout"}, {"level", "info"}, {"text", "**Alert** y"}}};
       },
       {"- alert **Alert** x", "+ alert **Alert** y"}},
      {"a table no longer re-created is one line, not one per route",
       [](Json& s) { s["vnets"][0]["route_tables"] = Json::array(); },
       {"- route table t1 copy c-t1, 1 route(s)"}},
      {"a route's next hop and a subscription's account name",
       [](Json& s) {
         s["account_name"] = "production";
         s["vnets"][0]["route_tables"][0]["definition"]["routes"]["route_1"]
          ["next_hop_in_ip_address"] = "10.0.0.5";
       },
       {"~ subscription " + kProd + " renamed prod -> production",
        "~ route t1 10.8.0.0/16 next hop VirtualAppliance 10.0.0.4 -> VirtualAppliance 10.0.0.5"}},
      {"a prefix that moves is one change only when no other route could be the one",
       [](Json& s) {
         Json& routes = s["vnets"][0]["route_tables"][0]["definition"]["routes"];
         routes["route_1"]["address_prefix"] = "10.9.0.0/16";
       },
       {"~ route t1 10.9.0.0/16 prefix 10.8.0.0/16 -> 10.9.0.0/16"}},
      {"ids, names and findings in another letter case are the same, unchanged",
       [](Json& s) {
         Json& vnet = s["vnets"][0];
         for (Json* id :
              {&vnet["id"], &vnet["peerings"][0]["id"], &vnet["peerings"][0]["remote_vnet_id"],
               &vnet["route_tables"][0]["azure_id"]}) {
           std::string text = id->get<std::string>();
           for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
           *id = text;
         }
         vnet["route_tables"][0]["azure_name"] = "T1";
         vnet["peerings"][0]["name"] = "P1";
         vnet["alerts"][0]["text"] = "**ALERT** X";
       },
       {}},
      {"beside a case-only change, the real one",
       [](Json& s) {
         Json& table = s["vnets"][0]["route_tables"][0];
         std::string id = table["azure_id"].get<std::string>();
         id.replace(id.find("/resourceGroups/"), 16, "/resourcegroups/");
         table["azure_id"] = id;
         table["definition"]["routes"]["route_1"]["next_hop_in_ip_address"] = "10.0.0.9";
       },
       {"~ route t1 10.8.0.0/16 next hop VirtualAppliance 10.0.0.4 -> VirtualAppliance 10.0.0.9"}},
      {"two routes gone and two come with one next hop stay losses and gains",
       [](Json& s) {
         Json& routes = s["vnets"][0]["route_tables"][0]["definition"]["routes"];
         routes["route_2"] = routes["route_1"];
         routes["route_1"]["address_prefix"] = "10.9.0.0/16";
         routes["route_2"]["address_prefix"] = "10.10.0.0/16";
       },
       {"+ route t1 10.10.0.0/16 -> VirtualAppliance 10.0.0.4",
        "- route t1 10.8.0.0/16 -> VirtualAppliance 10.0.0.4",
        "+ route t1 10.9.0.0/16 -> VirtualAppliance 10.0.0.4"}},
  };
  const LoadedReport older = reportFromJson(base, "old.json");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Json edited = base;
    c.edit(edited["subscriptions"][0]);
    const ReportDiff diff = diffReports(older, reportFromJson(edited, "new.json"));
    std::vector<std::string> got;
    for (const Change& change : diff.changes) got.push_back(changeLine(change));
    EXPECT_EQ(got, c.expected);
  }
}

}  // namespace
}  // namespace kxdiscover::test

#include "html/html_report.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>

#include "html/html_learned_routes.hpp"
#include "html/html_style.hpp"
#include "html/html_text.hpp"
#include "html/html_topology.hpp"
#include "run/summary.hpp"

namespace kxdiscover {

using collab::Json;
using html::escape;
using html::isolated;
using html::listOf;
using html::ReportIndex;
using html::textOf;

namespace {

const Json& objectOf(const Json& object, const char* key) {
  static const Json kEmpty = Json::object();
  const auto it = object.find(key);
  return it != object.end() && it->is_object() ? *it : kEmpty;
}

std::string countText(const Json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_number()) return "?";
  return it->is_number_float() ? fmt::format("{}", it->get<double>())
                               : std::to_string(it->get<long long>());
}

// A JSON scalar as a person reads it: text as is, true/false, null as an empty cell.
std::string scalarText(const Json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_null()) return "";
  return value.dump();
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The last component of a resource id: the resource's name.
std::string nameOfId(const std::string& id) {
  const std::size_t slash = id.find_last_of('/');
  return slash == std::string::npos ? id : id.substr(slash + 1);
}

std::string badge(const std::string& status) {
  const std::string word = html::knownWord(
      status, {"completed", "failed", "interrupted", "not_found", "skipped", "unknown"});
  return "<span class=\"badge status-" + word + "\">" +
         isolated(status == "not_found" ? std::string("not found") : status) + "</span>";
}

std::string link(const std::string& anchor, const std::string& text) {
  return "<a href=\"#" + anchor + "\">" + isolated(text) + "</a>";
}

// The smallest a picture is drawn on screen to fit the page's width; a larger one keeps this
// scale and scrolls in its frame, so that its names stay legible.
constexpr double kSmallestScale = 0.6;

// A picture Graphviz wrote, as the page shows it: named for screen readers, and at most as
// wide as the page's column down to kSmallestScale of its size (Graphviz gives the size in
// points, 4/3 of a CSS pixel).
std::string placedPicture(const std::string& svg, const std::string& name) {
  std::string attributes = " role=\"group\" aria-label=\"" + escape(name) + "\"";
  const std::size_t width = svg.find(" width=\"");
  if (width != std::string::npos && width < svg.find('>')) {
    try {
      const double points = std::stod(svg.substr(width + 8, 16));
      attributes += fmt::format(" style=\"min-width: {:.0f}px\"", points * 4 / 3 * kSmallestScale);
    } catch (const std::exception&) {
      // No size: the picture is drawn to the column's width.
    }
  }
  return "<svg" + attributes + svg.substr(4);
}

std::string optionalCode(const std::string& text) {
  return text.empty() ? std::string("<span class=\"none\">none</span>")
                      : "<code>" + isolated(text) + "</code>";
}

// Finding lines ({logger, level, text}) of one kind as list items; `where` is HTML.
void findingItems(std::string& out, const Json& lines, const char* kind, const std::string& where) {
  for (const Json& line : lines) {
    out +=
        std::string("<li class=\"finding ") + kind + "\"><span class=\"kind\">" + kind + "</span> ";
    if (!where.empty()) out += "<span class=\"where\">" + where + "</span> ";
    out += "<span class=\"text\">" + isolated(textOf(line, "text")) + "</span></li>\n";
  }
}

void findingList(std::string& out, const Json& owner) {
  const Json& errors = listOf(owner, "errors");
  const Json& alerts = listOf(owner, "alerts");
  if (errors.empty() && alerts.empty()) return;
  out += "<ul class=\"findings\">\n";
  findingItems(out, errors, "error", "");
  findingItems(out, alerts, "alert", "");
  out += "</ul>\n";
}

class Page {
 public:
  Page(const Json& report, const HtmlReportOptions& options)
      : report_(report), options_(options), index_(report) {}

  std::string render() {
    head();
    out_ += "<body>\n";
    header();
    contents();
    out_ += "<main>\n";
    summary();
    for (const HtmlSection& extra : options_.extraSections) {
      out_ += "<section class=\"extra\" id=\"" + escape(extra.id) + "\">\n<h2>" +
              isolated(extra.title) + "</h2>\n" + extra.body + "\n</section>\n";
    }
    failures();
    allFindings();
    const Json& subscriptions = listOf(report_, "subscriptions");
    html::GraphvizLayout graphviz;
    for (std::size_t s = 0; s < subscriptions.size(); ++s) subscription(s, graphviz);
    out_ += "</main>\n</body>\n</html>\n";
    return std::move(out_);
  }

 private:
  void head() {
    out_ +=
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        // Nothing may be fetched or run: the page is whole as written.
        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
        "style-src 'unsafe-inline'; img-src data:; base-uri 'none'; form-action 'none'\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
    out_ += "<meta name=\"generator\" content=\"" +
            escape(textOf(objectOf(report_, "tool"), "name") + " " +
                   textOf(objectOf(report_, "tool"), "version")) +
            "\">\n";
    out_ += "<title>Discovery report: " + escape(textOf(report_, "configuration")) + ", " +
            escape(textOf(report_, "started")) + "</title>\n<style>\n" + html::kStyle +
            "</style>\n</head>\n";
  }

  void header() {
    out_ += "<header>\n<h1>Discovery report " + badge(textOf(report_, "status")) + "</h1>\n";
    out_ += "<p class=\"meta\">Configuration <code>" + isolated(textOf(report_, "configuration")) +
            "</code>, run from " + isolated(textOf(report_, "started")) + " to " +
            isolated(textOf(report_, "finished")) + " (UTC) by " +
            isolated(textOf(objectOf(report_, "tool"), "name") + " " +
                     textOf(objectOf(report_, "tool"), "version")) +
            ".</p>\n</header>\n";
  }

  void contents() {
    out_ +=
        "<nav class=\"contents\">\n<h2>Contents</h2>\n<ul>\n<li><a "
        "href=\"#summary\">Summary</a></li>\n";
    for (const HtmlSection& extra : options_.extraSections)
      out_ += "<li><a href=\"#" + escape(extra.id) + "\">" + isolated(extra.title) + "</a></li>\n";
    if (!listOf(report_, "failures").empty())
      out_ += "<li><a href=\"#failures\">Failures</a></li>\n";
    out_ += "<li><a href=\"#findings\">Alerts and errors</a></li>\n";
    const Json& subscriptions = listOf(report_, "subscriptions");
    for (std::size_t s = 0; s < subscriptions.size(); ++s) {
      const Json& sub = subscriptions[s];
      out_ += "<li>" + link(ReportIndex::subscriptionAnchor(s), subscriptionTitle(sub)) +
              "\n<ul class=\"vnet-list\">";
      const Json& vnets = listOf(sub, "vnets");
      for (std::size_t v = 0; v < vnets.size(); ++v) {
        const Json& vnet = vnets[v];
        const std::size_t findings = listOf(vnet, "alerts").size() + listOf(vnet, "errors").size();
        out_ += "<li>" + link(ReportIndex::vnetAnchor(s, v), textOf(vnet, "name"));
        if (textOf(vnet, "status") != "completed") out_ += " " + badge(textOf(vnet, "status"));
        if (findings) out_ += " <span class=\"count\">" + std::to_string(findings) + "</span>";
        out_ += "</li>";
      }
      out_ += "</ul></li>\n";
    }
    out_ += "</ul>\n</nav>\n";
  }

  static std::string subscriptionTitle(const Json& sub) {
    const std::string name = textOf(sub, "account_name");
    return name.empty() ? textOf(sub, "id") : name;
  }

  void summary() {
    const Json& f = objectOf(report_, "summary");
    auto figure = [&](const std::string& label, const std::string& value) {
      out_ += "<tr><th scope=\"row\">" + isolated(label) + "</th><td>" + value + "</td></tr>\n";
    };
    out_ += "<section id=\"summary\">\n<h2>Summary</h2>\n<table class=\"figures\">\n";
    std::string subscriptions = countText(f, "subscriptions");
    if (countText(f, "subscriptions_failed") != "0")
      subscriptions += " (" + countText(f, "subscriptions_failed") + " failed)";
    figure("Subscriptions", subscriptions);
    std::string vnets = countText(f, "vnets_discovered") + " discovered";
    for (const auto& [key, word] :
         {std::pair{"vnets_not_found", "not found"}, std::pair{"vnets_failed", "failed"},
          std::pair{"vnets_skipped", "skipped"}}) {
      if (countText(f, key) != "0") vnets += ", " + countText(f, key) + " " + word;
    }
    figure("VNets", vnets + " (of " + countText(f, "vnets") + " configured)");
    figure("Route tables to re-create", countText(f, "route_tables"));
    figure("Routes",
           countText(f, "routes_kept") + " kept, " + countText(f, "routes_refused") + " refused");
    figure("Alerts", "<a href=\"#findings\">" + countText(f, "alerts") + "</a>");
    figure("Errors", "<a href=\"#findings\">" + countText(f, "errors") + "</a>");
    figure("Azure requests",
           countText(f, "azure_requests") + " (" + countText(f, "azure_retries") + " retries)");
    if (const auto seconds = f.find("seconds"); seconds != f.end() && seconds->is_number())
      figure("Time", isolated(durationText(seconds->get<double>())));
    out_ += "</table>\n";

    const Json& outputs = objectOf(report_, "outputs");
    out_ += "<h3>Outputs</h3>\n<dl class=\"facts\">\n";
    out_ += "<dt>Discovery log</dt><dd>" + optionalCode(textOf(outputs, "log")) + "</dd>\n";
    out_ += "<dt>Alert log</dt><dd>" + optionalCode(textOf(outputs, "alert_log")) + "</dd>\n";
    out_ += "<dt>Terraform</dt><dd>";
    const Json& terraform = listOf(outputs, "terraform");
    if (terraform.empty()) out_ += "<span class=\"none\">none written</span>";
    for (const Json& file : terraform) out_ += "<code>" + isolated(scalarText(file)) + "</code> ";
    out_ += "</dd>\n<dt>JSON report</dt><dd>" + optionalCode(textOf(outputs, "report")) + "</dd>\n";
    if (!textOf(outputs, "cassette").empty())
      out_ += "<dt>Recording</dt><dd>" + optionalCode(textOf(outputs, "cassette")) + "</dd>\n";
    std::string command;
    for (const Json& arg : listOf(report_, "command_line"))
      command += (command.empty() ? "" : " ") + scalarText(arg);
    out_ += "<dt>Command line</dt><dd>" + optionalCode(command) + "</dd>\n</dl>\n</section>\n";
  }

  void failures() {
    const Json& list = listOf(report_, "failures");
    if (list.empty()) return;
    out_ += "<section id=\"failures\">\n<h2>Failures (" + std::to_string(list.size()) +
            ")</h2>\n<ul class=\"findings\">\n";
    for (const Json& failure : list) {
      std::string where = isolated(index_.subscriptionLabel(textOf(failure, "subscription")));
      if (const std::string vnet = textOf(failure, "vnet"); !vnet.empty())
        where += " / " + isolated(vnet);
      out_ +=
          "<li class=\"finding failure\"><span class=\"kind\">failed</span> <span "
          "class=\"where\">" +
          where + "</span> <span class=\"text\">" + isolated(textOf(failure, "step")) + ": " +
          isolated(textOf(failure, "message")) + "</span></li>\n";
    }
    out_ += "</ul>\n</section>\n";
  }

  void allFindings() {
    std::string items;
    std::size_t alerts = 0;
    std::size_t errors = 0;
    const Json& subscriptions = listOf(report_, "subscriptions");
    for (std::size_t s = 0; s < subscriptions.size(); ++s) {
      const Json& sub = subscriptions[s];
      auto add = [&](const Json& owner, const std::string& where) {
        findingItems(items, listOf(owner, "errors"), "error", where);
        findingItems(items, listOf(owner, "alerts"), "alert", where);
        errors += listOf(owner, "errors").size();
        alerts += listOf(owner, "alerts").size();
      };
      add(sub, link(ReportIndex::subscriptionAnchor(s), subscriptionTitle(sub)));
      const Json& vnets = listOf(sub, "vnets");
      for (std::size_t v = 0; v < vnets.size(); ++v)
        add(vnets[v], "<a href=\"#" + ReportIndex::vnetAnchor(s, v) + "\">" +
                          isolated(subscriptionTitle(sub)) + " / " +
                          isolated(textOf(vnets[v], "name")) + "</a>");
    }
    out_ += fmt::format(
        "<section id=\"findings\">\n<h2>Alerts and errors ({} alerts, {} errors)</h2>\n", alerts,
        errors);
    if (items.empty()) {
      out_ += "<p class=\"none\">None.</p>\n";
    } else {
      out_ += "<ul class=\"findings\">\n" + items + "</ul>\n";
    }
    out_ += "</section>\n";
  }

  void subscription(std::size_t s, html::GraphvizLayout& graphviz) {
    const Json& sub = listOf(report_, "subscriptions")[s];
    out_ += "<section class=\"subscription\" id=\"" + ReportIndex::subscriptionAnchor(s) +
            "\">\n<h2>Subscription " + isolated(subscriptionTitle(sub)) + " " +
            badge(textOf(sub, "status")) + "</h2>\n<p class=\"meta\">Id <code>" +
            isolated(textOf(sub, "id")) + "</code>";
    std::string regions;
    for (const Json& region : listOf(sub, "regions"))
      regions += (regions.empty() ? "" : ", ") + isolated(scalarText(region));
    if (!regions.empty()) out_ += "; regions " + regions;
    out_ += "</p>\n";
    if (!listOf(sub, "failures").empty()) {
      out_ += "<ul class=\"findings\">\n";
      for (const Json& failure : listOf(sub, "failures"))
        out_ +=
            "<li class=\"finding failure\"><span class=\"kind\">failed</span> <span "
            "class=\"text\">" +
            isolated(textOf(failure, "step")) + ": " + isolated(textOf(failure, "message")) +
            "</span></li>\n";
      out_ += "</ul>\n";
    }
    findingList(out_, sub);

    const Json& vnets = listOf(sub, "vnets");
    if (!vnets.empty()) {
      html::TopologyCounts counts;
      const std::string dot = html::topologyDot(report_, s, index_, &counts);
      out_ += fmt::format(
          "<figure class=\"topology\">\n<div class=\"picture\">\n{}</div>\n<figcaption>{} "
          "VNet(s), {} peered pair(s){}. {}</figcaption>\n</figure>\n",
          placedPicture(graphviz.svg(dot),
                        "Peerings of the VNets of subscription " + subscriptionTitle(sub)),
          counts.vnets, counts.peerings,
          counts.remote ? fmt::format(", {} VNet(s) beyond the subscription", counts.remote) : "",
          html::kLegend);
    }
    for (std::size_t v = 0; v < vnets.size(); ++v) vnet(s, v, vnets[v]);
    out_ += "</section>\n";
  }

  void vnet(std::size_t s, std::size_t v, const Json& vnet) {
    const std::string status = textOf(vnet, "status");
    const bool flagged = !listOf(vnet, "alerts").empty() || !listOf(vnet, "errors").empty();
    out_ += "<section class=\"vnet" + std::string(flagged ? " flagged" : "") + "\" id=\"" +
            ReportIndex::vnetAnchor(s, v) + "\">\n<h3><span class=\"name\">" +
            isolated(textOf(vnet, "name")) + "</span> " + badge(status) + "</h3>\n";
    findingList(out_, vnet);
    if (status == "failed")
      out_ += "<p class=\"failure\">Failed at " + isolated(textOf(vnet, "failed_step")) + ": " +
              isolated(textOf(vnet, "failure")) + "</p>\n";
    if (status == "not_found") {
      out_ +=
          "<p class=\"none\">The configuration names this VNet; the subscription has none "
          "of that name.</p>\n</section>\n";
      return;
    }
    if (status == "skipped") {
      out_ += "<p class=\"none\">Not reached.</p>\n</section>\n";
      return;
    }
    facts(vnet);
    subnets(s, v, vnet);
    peerings(vnet);
    html::learnedRoutesPart(out_, vnet);
    routeTables(s, v, vnet);
    out_ += "</section>\n";
  }

  void facts(const Json& vnet) {
    std::string space;
    for (const Json& prefix : listOf(vnet, "address_space"))
      space += (space.empty() ? "" : ", ") + isolated(scalarText(prefix));
    out_ += "<dl class=\"facts\">\n<dt>Address space</dt><dd>" + space +
            "</dd>\n<dt>Region</dt><dd>" + isolated(textOf(vnet, "region")) +
            "</dd>\n<dt>Resource group</dt><dd>" + isolated(textOf(vnet, "resource_group")) +
            "</dd>\n<dt>Gateways</dt><dd>" + gatewaysText(vnet) + "</dd>\n<dt>Terraform</dt><dd>" +
            optionalCode(textOf(vnet, "terraform_file")) + "</dd>\n<dt>Id</dt><dd><code>" +
            isolated(textOf(vnet, "id")) + "</code></dd>\n</dl>\n";
  }

  static std::string gatewaysText(const Json& vnet) {
    const auto gw = vnet.find("gateways");
    if (gw == vnet.end() || !gw->is_object()) return "<span class=\"none\">not examined</span>";
    std::string out;
    if (const Json& vng = objectOf(*gw, "vng"); !vng.empty()) {
      out += "<span class=\"mark gw-" +
             html::knownWord(textOf(vng, "type"), {"vpn", "expressroute"}) + "\">" +
             isolated(textOf(vng, "type")) + "</span> <code>" + isolated(textOf(vng, "name")) +
             "</code> (" + isolated(textOf(vng, "resource_group")) + ")";
    } else {
      out += "no virtual network gateway";
    }
    if (const auto spoke = gw->find("spoke_gateway_found");
        spoke != gw->end() && spoke->is_boolean() && spoke->get<bool>())
      out += "; <span class=\"mark migrated\">spoke gateway of an earlier migration</span>";
    return out;
  }

  // The anchor of the VNet's route table with this Azure id, or "".
  static std::string routeTableAnchor(std::size_t s, std::size_t v, const Json& vnet,
                                      const std::string& id) {
    const Json& tables = listOf(vnet, "route_tables");
    for (std::size_t t = 0; t < tables.size(); ++t) {
      if (!id.empty() && lower(textOf(tables[t], "azure_id")) == lower(id))
        return html::anchor("rt", s + 1, v + 1, t + 1);
    }
    return "";
  }

  // "<h4>Title (count)</h4>", then "None." when there is nothing; true when there is.
  bool countedHeading(std::string_view title, std::size_t count) {
    out_ += fmt::format("<h4>{} ({})</h4>\n", title, count);
    if (count == 0) out_ += "<p class=\"none\">None.</p>\n";
    return count > 0;
  }

  void subnets(std::size_t s, std::size_t v, const Json& vnet) {
    const Json& list = listOf(vnet, "subnets");
    if (!countedHeading("Subnets", list.size())) return;
    out_ +=
        "<table class=\"subnets\">\n<thead><tr><th>Name</th><th>Prefixes</th><th>Route "
        "table</th><th>Gateway group</th><th>Network security group</th><th>Delegations</"
        "th></tr></thead>\n<tbody>\n";
    for (const Json& subnet : list) {
      std::string prefixes;
      for (const Json& prefix : listOf(subnet, "address_prefixes"))
        prefixes += (prefixes.empty() ? "" : "<br>") + isolated(scalarText(prefix));
      const std::string tableId = textOf(subnet, "route_table_id");
      std::string table;
      if (const std::string target = routeTableAnchor(s, v, vnet, tableId); !target.empty()) {
        table = link(target, nameOfId(tableId));
      } else if (!tableId.empty()) {
        table = isolated(nameOfId(tableId)) + " <span class=\"none\">(not re-created)</span>";
      }
      std::string delegations;
      for (const Json& d : listOf(subnet, "delegations"))
        delegations += (delegations.empty() ? "" : "<br>") + isolated(textOf(d, "service"));
      out_ += "<tr><td>" + isolated(textOf(subnet, "name")) + "</td><td>" + prefixes + "</td><td>" +
              table + "</td><td>" + isolated(textOf(subnet, "gateway_group")) + "</td><td>" +
              isolated(nameOfId(textOf(subnet, "network_security_group_id"))) + "</td><td>" +
              delegations + "</td></tr>\n";
    }
    out_ += "</tbody>\n</table>\n";
  }

  void peerings(const Json& vnet) {
    const Json& list = listOf(vnet, "peerings");
    if (!countedHeading("Peerings", list.size())) return;
    out_ +=
        "<table class=\"peerings\">\n<thead><tr><th>Name</th><th>Remote VNet</th>"
        "<th>Remote subscription</th><th>State</th></tr></thead>\n<tbody>\n";
    for (const Json& peering : list) {
      std::string remote = textOf(peering, "remote_vnet");
      if (remote.empty()) remote = textOf(peering, "remote_vnet_id");
      const html::VnetPlace* place = index_.vnet(textOf(peering, "remote_vnet_id"));
      const std::string state = textOf(peering, "state");
      out_ += "<tr><td>" + isolated(textOf(peering, "name")) + "</td><td>" +
              (place ? link(place->anchor, remote) : isolated(remote)) + "</td><td>" +
              isolated(index_.subscriptionLabel(textOf(peering, "remote_subscription"))) +
              "</td><td class=\"state-" +
              (state.empty() ? std::string("unknown")
                             : html::knownWord(state, {"connected", "initiated", "disconnected"})) +
              "\">" + isolated(state.empty() ? std::string("unknown") : state) + "</td></tr>\n";
    }
    out_ += "</tbody>\n</table>\n";
  }

  void routeTables(std::size_t s, std::size_t v, const Json& vnet);
  void routeTable(std::size_t s, std::size_t v, std::size_t t, const Json& table,
                  const Json& refused);
  void refusedRows(const Json& refused, const std::string& table, bool withTable);

  const Json& report_;
  const HtmlReportOptions& options_;
  ReportIndex index_;
  std::string out_;
};

void Page::routeTables(std::size_t s, std::size_t v, const Json& vnet) {
  const Json& tables = listOf(vnet, "route_tables");
  const Json& refused = listOf(vnet, "refused_routes");
  countedHeading("Route tables to re-create", tables.size());
  for (std::size_t t = 0; t < tables.size(); ++t) routeTable(s, v, t, tables[t], refused);

  // Refused routes of tables that are not re-created (every route refused, for example).
  auto orphan = [&](const Json& route) {
    return std::none_of(tables.begin(), tables.end(), [&](const Json& table) {
      return textOf(table, "azure_name") == textOf(route, "route_table");
    });
  };
  if (std::any_of(refused.begin(), refused.end(), orphan)) {
    out_ +=
        "<h4>Refused routes of tables not re-created</h4>\n<table class=\"routes refused\">\n"
        "<thead><tr><th>Route table</th><th>Prefix</th><th>Next hop type</th><th>Next hop "
        "IP</th><th>Reason</th></tr></thead>\n<tbody>\n";
    for (const Json& route : refused) {
      if (orphan(route)) refusedRows(Json::array({route}), textOf(route, "route_table"), true);
    }
    out_ += "</tbody>\n</table>\n";
  }
}

void Page::refusedRows(const Json& refused, const std::string& table, bool withTable) {
  for (const Json& route : refused) {
    if (textOf(route, "route_table") != table) continue;
    out_ += "<tr class=\"refused-route\">";
    if (withTable) out_ += "<td>" + isolated(table) + "</td>";
    out_ += "<td>" + isolated(textOf(route, "prefix")) + "</td><td>" +
            isolated(textOf(route, "next_hop_type")) + "</td><td>" +
            isolated(textOf(route, "next_hop_ip")) + "</td><td class=\"reason\">" +
            isolated(textOf(route, "reason")) + "</td></tr>\n";
  }
}

void Page::routeTable(std::size_t s, std::size_t v, std::size_t t, const Json& table,
                      const Json& refused) {
  const Json& definition = objectOf(table, "definition");
  const std::string azureName = textOf(table, "azure_name");
  out_ += "<section class=\"route-table\" id=\"" + html::anchor("rt", s + 1, v + 1, t + 1) +
          "\">\n<h5><span class=\"name\">" + isolated(azureName) + "</span> &rarr; copy " +
          optionalCode(textOf(table, "copy_name")) + "</h5>\n<dl class=\"facts\">\n";
  std::string subnets;
  for (const Json& subnet : listOf(table, "subnets"))
    subnets += (subnets.empty() ? "" : ", ") + isolated(textOf(subnet, "name")) + " (group " +
               isolated(textOf(subnet, "gateway_group")) + ")";
  out_ += "<dt>Subnets</dt><dd>" + subnets + "</dd>\n";
  for (const auto& [key, label] :
       {std::pair{"Main", "Main"}, std::pair{"ctrl_managed", "Controller managed"},
        std::pair{"disable_bgp_propagation", "BGP propagation disabled"},
        std::pair{"region", "Region"}}) {
    if (const auto it = definition.find(key); it != definition.end())
      out_ += std::string("<dt>") + label + "</dt><dd>" + isolated(scalarText(*it)) + "</dd>\n";
  }
  out_ += "<dt>Azure id</dt><dd>" + optionalCode(textOf(table, "azure_id")) + "</dd>\n</dl>\n";

  const Json& tags = objectOf(definition, "tags");
  out_ += "<table class=\"tags\">\n<caption>Tags (" + std::to_string(tags.size()) +
          ")</caption>\n<tbody>\n";
  for (const auto& [name, value] : tags.items())
    out_ += "<tr class=\"tag\"><th scope=\"row\">" + isolated(name) + "</th><td>" +
            isolated(scalarText(value)) + "</td></tr>\n";
  out_ += "</tbody>\n</table>\n";

  const Json& routes = objectOf(definition, "routes");
  out_ += "<table class=\"routes kept\">\n<caption>Routes kept (" + std::to_string(routes.size()) +
          ")</caption>\n<thead><tr><th>Name</th><th>Prefix</th><th>Next hop type</th><th>Next hop "
          "IP</th></tr></thead>\n<tbody>\n";
  for (const auto& [key, route] : routes.items()) {
    out_ += "<tr class=\"kept-route\"><td>" + isolated(textOf(route, "name")) + "</td><td>" +
            isolated(textOf(route, "address_prefix")) + "</td><td>" +
            isolated(textOf(route, "next_hop_type")) + "</td><td>" +
            isolated(textOf(route, "next_hop_in_ip_address")) + "</td></tr>\n";
  }
  out_ += "</tbody>\n</table>\n";

  const auto refusedHere = std::count_if(refused.begin(), refused.end(), [&](const Json& route) {
    return textOf(route, "route_table") == azureName;
  });
  out_ += "<table class=\"routes refused\">\n<caption>Routes refused (" +
          std::to_string(refusedHere) +
          ")</caption>\n<thead><tr><th>Prefix</th><th>Next hop type</th><th>Next hop "
          "IP</th><th>Reason</th></tr></thead>\n<tbody>\n";
  refusedRows(refused, azureName, false);
  out_ += "</tbody>\n</table>\n</section>\n";
}

}  // namespace

std::string renderHtmlReport(const Json& report, const HtmlReportOptions& options) {
  if (!report.is_object())
    throw HtmlReportError("not a kx-discover report: the document is not a JSON object");
  const std::string schema = textOf(report, "schema");
  if (!schema.starts_with("kx-discover-report/"))
    throw HtmlReportError("not a kx-discover report: its \"schema\" member is " +
                          (schema.empty() ? std::string("missing") : "\"" + schema + "\"") +
                          ", expected \"kx-discover-report/1\"");
  return Page(report, options).render();
}

}  // namespace kxdiscover

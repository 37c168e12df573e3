#include "html/html_learned_routes.hpp"

#include <fmt/format.h>

#include "html/html_text.hpp"

namespace kxdiscover::html {

namespace {

using collab::Json;

// A route's member as a person reads it: text as is, a number in figures, absent as nothing.
std::string cell(const Json& route, const char* key) {
  const auto it = route.find(key);
  if (it == route.end() || it->is_null()) return "";
  return isolated(it->is_string() ? it->get<std::string>() : it->dump());
}

// Why a gateway has no routes, as a badge: the class from the known statuses only.
std::string badge(const std::string& status) {
  return "<span class=\"badge status-" + knownWord(status, {"refused", "timed_out", "failed"}) +
         "\">" + isolated(status == "timed_out" ? std::string("timed out") : status) + "</span>";
}

}  // namespace

void learnedRoutesPart(std::string& out, const Json& vnet) {
  const auto member = vnet.find("learned_routes");
  if (member == vnet.end() || member->is_null()) return;
  const Json& gateways = listOf(vnet, "learned_routes");
  out += fmt::format("<h4>Learned routes ({} gateway(s))</h4>\n", gateways.size());
  if (gateways.empty()) {
    out += "<p class=\"none\">No VPN or ExpressRoute gateway to ask.</p>\n";
    return;
  }
  for (const Json& gateway : gateways) {
    const std::string status = textOf(gateway, "status");
    const auto routes = gateway.find("routes");
    const bool answered = routes != gateway.end() && routes->is_array();
    out += "<table class=\"routes learned\">\n<caption><code>" + isolated(textOf(gateway, "name")) +
           "</code> (" + isolated(textOf(gateway, "type")) + ", " +
           isolated(textOf(gateway, "resource_group")) + "): ";
    if (answered) {
      out += std::to_string(routes->size()) + " route(s)";
    } else {
      out += badge(status) + " " + isolated(textOf(gateway, "message"));
    }
    out += "</caption>\n";
    if (!answered) {
      out += "</table>\n";
      continue;
    }
    out +=
        "<thead><tr><th>Prefix</th><th>Next hop</th><th>Origin</th><th>AS path</th>"
        "<th>Weight</th><th>Source peer</th></tr></thead>\n<tbody>\n";
    for (const Json& route : *routes) {
      out += "<tr class=\"learned-route\"><td>" + cell(route, "prefix") + "</td><td>" +
             cell(route, "next_hop") + "</td><td>" + cell(route, "origin") + "</td><td>" +
             cell(route, "as_path") + "</td><td>" + cell(route, "weight") + "</td><td>" +
             cell(route, "source_peer") + "</td></tr>\n";
    }
    out += "</tbody>\n</table>\n";
  }
}

}  // namespace kxdiscover::html

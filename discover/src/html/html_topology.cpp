#include "html/html_topology.hpp"

#include <graphviz/cgraph.h>
#include <graphviz/gvc.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <set>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "html/html_text.hpp"

namespace kxdiscover::html {

namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

std::size_t countOf(const Json& object, const char* key) { return listOf(object, key).size(); }

// Colours of the picture; the legend in the page (html_report.cpp) names the same ones.
constexpr const char* kInk = "#263238";
constexpr const char* kMuted = "#607d8b";
constexpr const char* kAlertInk = "#c62828";
constexpr const char* kAlertFill = "#ffebee";
constexpr const char* kCrossInk = "#6a1b9a";
constexpr const char* kVpnFill = "#bbdefb";
constexpr const char* kExpressRouteFill = "#d1c4e9";
constexpr const char* kMigratedFill = "#ffe0b2";
constexpr std::size_t kPrefixesShown = 3;

std::string row(const std::string& cell, const char* fill = nullptr) {
  std::string out = "<TR><TD";
  if (fill) out += std::string(" BGCOLOR=\"") + fill + "\"";
  return out + ">" + cell + "</TD></TR>";
}

std::string addressSpaceText(const Json& vnet) {
  const Json& prefixes = listOf(vnet, "address_space");
  std::string out;
  for (std::size_t i = 0; i < prefixes.size() && i < kPrefixesShown; ++i) {
    if (i) out += ", ";
    if (prefixes[i].is_string()) out += prefixes[i].get<std::string>();
  }
  if (prefixes.size() > kPrefixesShown)
    out += " +" + std::to_string(prefixes.size() - kPrefixesShown) + " more";
  return out;
}

struct NodeLook {
  std::string label;
  std::string classes;
};

NodeLook vnetNode(const Json& vnet) {
  const std::string status = textOf(vnet, "status");
  const std::size_t alerts = countOf(vnet, "alerts");
  const std::size_t errors = countOf(vnet, "errors");
  const bool flagged = alerts + errors > 0 || status == "failed";
  NodeLook look;
  look.classes = "vnet";
  if (flagged) look.classes += " alert";
  if (status != "completed") look.classes += " status-" + status;

  std::string rows = row("<B>" + dotLabelText(textOf(vnet, "name")) + "</B>");
  if (const std::string space = addressSpaceText(vnet); !space.empty())
    rows += row(dotLabelText(space));
  if (const std::string region = textOf(vnet, "region"); !region.empty())
    rows += row(std::string("<FONT COLOR=\"") + kMuted + "\">" + dotLabelText(region) + "</FONT>");

  if (const auto gw = vnet.find("gateways"); gw != vnet.end() && gw->is_object()) {
    if (const auto vng = gw->find("vng"); vng != gw->end() && vng->is_object()) {
      const std::string type = textOf(*vng, "type");
      const bool er = lower(type) == "expressroute";
      const std::string kind = er ? "ExpressRoute" : lower(type) == "vpn" ? "VPN" : type;
      rows += row(dotLabelText(kind + " gateway " + textOf(*vng, "name")),
                  er ? kExpressRouteFill : kVpnFill);
    }
    if (const auto spoke = gw->find("spoke_gateway_found");
        spoke != gw->end() && spoke->is_boolean() && spoke->get<bool>())
      rows += row("spoke gateway: migrated before", kMigratedFill);
  }
  if (status == "failed") {
    rows += row("<B>failed</B>: " + dotLabelText(textOf(vnet, "failed_step")), kAlertFill);
  } else if (status == "not_found") {
    rows += row("not found in Azure");
  } else if (status == "skipped") {
    rows += row("not reached");
  } else if (status == "interrupted") {
    rows += row("interrupted");
  }
  if (alerts + errors > 0) {
    std::string findings;
    if (alerts) findings += std::to_string(alerts) + (alerts == 1 ? " alert" : " alerts");
    if (alerts && errors) findings += ", ";
    if (errors) findings += std::to_string(errors) + (errors == 1 ? " error" : " errors");
    rows += row("<FONT COLOR=\"" + std::string(kAlertInk) + "\"><B>" + findings + "</B></FONT>",
                kAlertFill);
  }
  const bool absent = status == "not_found" || status == "skipped";
  look.label = std::string("<<TABLE BORDER=\"") + (flagged ? "3" : "1") +
               "\" CELLBORDER=\"0\" CELLSPACING=\"0\" CELLPADDING=\"2\" STYLE=\"ROUNDED\" " +
               "COLOR=\"" +
               (flagged  ? kAlertInk
                : absent ? kMuted
                         : kInk) +
               "\" BGCOLOR=\"" + (absent ? "#eceff1" : "#ffffff") + "\">" + rows + "</TABLE>>";
  return look;
}

// One side of a peered pair as the report saw it.
struct PeeringEnd {
  bool seen = false;
  std::string state;
};

struct Edge {
  std::string a;  // lower-case ids, a < b
  std::string b;
  PeeringEnd fromA;
  PeeringEnd fromB;
  bool cross = false;
};

// Graphviz's dot starts every connected group of nodes in its first rank, so an estate of
// many small groups (unpeered VNets, peered pairs, small stars) would become one long column;
// its own packing of groups would drop the edge labels.  So the groups are chained, last
// node to first, by invisible edges into rows of a grid about as wide as it is tall.
std::string componentGrid(const std::vector<std::string>& nodes, const std::vector<Edge>& edges,
                          const std::map<std::string, std::string>& nodeOf) {
  std::map<std::string, std::string> parent;
  for (const std::string& node : nodes) parent[node] = node;
  auto root = [&](std::string node) {
    while (parent[node] != node) node = parent[node] = parent[parent[node]];
    return node;
  };
  for (const Edge& edge : edges) parent[root(nodeOf.at(edge.a))] = root(nodeOf.at(edge.b));

  // Each group's first and last node and its size, in the order of their first node.
  struct Group {
    std::string first, last;
    std::size_t size = 0;
  };
  std::vector<Group> groups;
  std::map<std::string, std::size_t> groupOf;
  for (const std::string& node : nodes) {
    auto [it, added] = groupOf.emplace(root(node), groups.size());
    if (added) groups.push_back(Group{node, node, 0});
    groups[it->second].last = node;
    ++groups[it->second].size;
  }
  // A box is about three times as wide as it is tall; a group of several nodes takes about
  // two ranks.
  const auto columns = static_cast<std::size_t>(
      std::max(3.0, std::ceil(std::sqrt(static_cast<double>(nodes.size()) / 2))));
  std::string out;
  std::size_t used = 0;
  for (std::size_t g = 0; g + 1 < groups.size(); ++g) {
    used += groups[g].size > 1 ? 2 : 1;
    if (used >= columns) {
      used = 0;
      continue;
    }
    out += "  " + groups[g].last + " -- " + groups[g + 1].first + " [style=invis];\n";
  }
  return out;
}

std::string stateClass(const std::string& state) {
  return state.empty() ? "state-unknown" : "state-" + lower(state);
}

}  // namespace

ReportIndex::ReportIndex(const Json& report) {
  const Json& subscriptions = listOf(report, "subscriptions");
  for (std::size_t s = 0; s < subscriptions.size(); ++s) {
    const Json& sub = subscriptions[s];
    const std::string name = textOf(sub, "account_name");
    const std::string id = textOf(sub, "id");
    subscriptionLabels_.emplace(lower(id), name.empty() ? id : name);
    const Json& vnets = listOf(sub, "vnets");
    for (std::size_t v = 0; v < vnets.size(); ++v) {
      const std::string vnetId = textOf(vnets[v], "id");
      if (vnetId.empty()) continue;
      vnets_.emplace(lower(vnetId),
                     VnetPlace{vnetAnchor(s, v), s, textOf(vnets[v], "name"), &vnets[v]});
    }
  }
}

std::string ReportIndex::vnetAnchor(std::size_t s, std::size_t v) {
  return anchor("vnet", s + 1, v + 1);
}

std::string ReportIndex::subscriptionAnchor(std::size_t s) { return anchor("subscription", s + 1); }

const VnetPlace* ReportIndex::vnet(std::string_view id) const {
  const auto it = vnets_.find(lower(id));
  return it == vnets_.end() ? nullptr : &it->second;
}

std::string ReportIndex::subscriptionLabel(std::string_view id) const {
  const auto it = subscriptionLabels_.find(lower(id));
  return it == subscriptionLabels_.end() ? std::string(id) : it->second;
}

std::string topologyDot(const Json& report, std::size_t s, const ReportIndex& index,
                        TopologyCounts* counts) {
  const Json& sub = listOf(report, "subscriptions").at(s);
  const std::string subscriptionId = lower(textOf(sub, "id"));
  const Json& vnets = listOf(sub, "vnets");

  std::string dot =
      "graph \"subscription\" {\n"
      "  graph [rankdir=LR, nodesep=0.2, ranksep=0.5, fontname=\"Helvetica\", "
      "bgcolor=\"transparent\"];\n"
      "  node [shape=plain, fontname=\"Helvetica\", fontsize=10, fontcolor=\"" +
      std::string(kInk) +
      "\"];\n"
      "  edge [fontname=\"Helvetica\", fontsize=8, color=\"" +
      kInk + "\", fontcolor=\"" + kMuted + "\"];\n";

  // Nodes by lower-case Azure id; the VNets of this subscription first, in report order.
  std::map<std::string, std::string> nodeOf;
  TopologyCounts tally;
  for (std::size_t v = 0; v < vnets.size(); ++v) {
    const Json& vnet = vnets[v];
    const std::string node = "v" + std::to_string(v + 1);
    const std::string id = textOf(vnet, "id");
    if (!id.empty()) nodeOf.emplace(lower(id), node);
    const NodeLook look = vnetNode(vnet);
    const std::string target = ReportIndex::vnetAnchor(s, v);
    std::string tooltip = textOf(vnet, "name");
    if (!id.empty()) tooltip += " (" + id + ")";
    dot += "  " + node + " [id=\"node-" + target + "\", class=\"" + look.classes + "\", URL=\"#" +
           target + "\", target=\"_self\", tooltip=\"" + dotQuoted(tooltip) +
           "\", label=" + look.label + "];\n";
    ++tally.vnets;
  }

  // Peered pairs, in the order first met.
  std::vector<Edge> edges;
  std::map<std::string, std::size_t> edgeOf;
  std::vector<std::pair<std::string, const Json*>> remotes;  // id, the peering that reached it
  for (const Json& vnet : vnets) {
    const std::string local = lower(textOf(vnet, "id"));
    if (local.empty()) continue;
    for (const Json& peering : listOf(vnet, "peerings")) {
      const std::string remote = lower(textOf(peering, "remote_vnet_id"));
      if (remote.empty() || remote == local) continue;
      if (!nodeOf.contains(remote)) {
        nodeOf.emplace(remote, "r" + std::to_string(remotes.size() + 1));
        remotes.emplace_back(remote, &peering);
      }
      const bool localIsA = local < remote;
      const std::string key = localIsA ? local + "|" + remote : remote + "|" + local;
      auto [it, added] = edgeOf.emplace(key, edges.size());
      if (added) {
        Edge edge;
        edge.a = localIsA ? local : remote;
        edge.b = localIsA ? remote : local;
        const std::string remoteSub = lower(textOf(peering, "remote_subscription"));
        edge.cross = !remoteSub.empty() && remoteSub != subscriptionId;
        edges.push_back(std::move(edge));
      }
      PeeringEnd& end = localIsA ? edges[it->second].fromA : edges[it->second].fromB;
      end.seen = true;
      end.state = textOf(peering, "state");
    }
  }

  // The far side of a peering that leaves the subscription, when the report has that VNet.
  for (Edge& edge : edges) {
    for (auto [end, from, to] :
         {std::tuple{&edge.fromA, &edge.a, &edge.b}, std::tuple{&edge.fromB, &edge.b, &edge.a}}) {
      const VnetPlace* place = end->seen ? nullptr : index.vnet(*from);
      if (!place || !place->entry) continue;
      for (const Json& peering : listOf(*place->entry, "peerings")) {
        if (lower(textOf(peering, "remote_vnet_id")) != *to) continue;
        end->seen = true;
        end->state = textOf(peering, "state");
        break;
      }
    }
  }

  for (const auto& [id, peering] : remotes) {
    const VnetPlace* place = index.vnet(id);
    std::string name = textOf(*peering, "remote_vnet");
    if (name.empty()) name = textOf(*peering, "remote_vnet_id");
    const std::string remoteSub = textOf(*peering, "remote_subscription");
    std::string label = "<I>" + dotLabelText(name) + "</I>";
    if (!remoteSub.empty() && lower(remoteSub) != subscriptionId)
      label += "<BR/>subscription " + dotLabelText(index.subscriptionLabel(remoteSub));
    if (!place) label += "<BR/>not in this report";
    dot += "  " + nodeOf.at(id) + " [id=\"node-remote-" + std::to_string(s + 1) + "-" +
           nodeOf.at(id).substr(1) +
           "\", class=\"remote\", shape=box, style=\"rounded,dashed\", color=\"" + kMuted +
           "\", fontcolor=\"" + kMuted + "\", tooltip=\"" +
           dotQuoted(textOf(*peering, "remote_vnet_id")) + "\"";
    if (place) dot += ", URL=\"#" + place->anchor + "\", target=\"_self\"";
    dot += ", label=<" + label + ">];\n";
    ++tally.remote;
  }

  for (std::size_t e = 0; e < edges.size(); ++e) {
    const Edge& edge = edges[e];
    std::string classes = "peering";
    if (edge.cross) classes += " cross";
    const std::string& stateA = edge.fromA.state;
    const std::string& stateB = edge.fromB.state;
    const bool bothSeen = edge.fromA.seen && edge.fromB.seen;
    const bool connected =
        (!edge.fromA.seen || stateA == "Connected") && (!edge.fromB.seen || stateB == "Connected");
    classes += " " + stateClass(edge.fromA.seen ? stateA : stateB);
    if (!connected) classes += " not-connected";
    if (!bothSeen) classes += " one-sided";

    dot += "  " + nodeOf.at(edge.a) + " -- " + nodeOf.at(edge.b) + " [id=\"" +
           anchor("peering", s + 1, e + 1) + "\", class=\"" + classes + "\"";
    if (edge.cross) dot += std::string(", style=dashed, penwidth=1.6, color=\"") + kCrossInk + "\"";
    if (!connected)
      dot +=
          std::string(", penwidth=2, color=\"") + kAlertInk + "\", fontcolor=\"" + kAlertInk + "\"";
    if (bothSeen && stateA != stateB) {
      // Each side's own state at its end of the line.
      dot += ", taillabel=<" + dotLabelText(stateA.empty() ? "?" : stateA) + ">, headlabel=<" +
             dotLabelText(stateB.empty() ? "?" : stateB) + ">";
    } else {
      const std::string& state = edge.fromA.seen ? stateA : stateB;
      dot += ", label=<" + dotLabelText(state.empty() ? "state unknown" : state) + ">";
    }
    dot += "];\n";
    ++tally.peerings;
  }
  std::vector<std::string> nodes;
  for (std::size_t v = 0; v < vnets.size(); ++v) nodes.push_back("v" + std::to_string(v + 1));
  for (std::size_t r = 0; r < remotes.size(); ++r) nodes.push_back("r" + std::to_string(r + 1));
  dot += componentGrid(nodes, edges, nodeOf);
  dot += "}\n";
  if (counts) *counts = tally;
  return dot;
}

namespace {

// One Graphviz context serves the process, made on first use and never freed: Graphviz's pango
// text plugin keeps font data from the first context and reads it again after that context is
// freed, so a second page laid out in the same process would read freed memory.
GVC_t* processContext() {
  static GVC_t* const gvc = gvContext();
  return gvc;
}

}  // namespace

GraphvizLayout::GraphvizLayout() : gvc_(processContext()) {
  if (!gvc_) throw std::runtime_error("Graphviz could not be set up (gvContext failed)");
  // Warnings would go to standard error; a failure is reported through aglasterr().
  agseterr(AGERR);
}

GraphvizLayout::~GraphvizLayout() = default;

std::string GraphvizLayout::svg(const std::string& dot) {
  auto failure = [](const char* what) {
    const char* detail = aglasterr();
    return std::runtime_error(std::string("Graphviz: ") + what +
                              (detail && *detail ? std::string(": ") + detail : std::string()));
  };
  Agraph_t* graph = agmemread(dot.c_str());
  if (!graph) throw failure("the topology graph could not be read");
  if (gvLayout(gvc_, graph, "dot") != 0) {
    agclose(graph);
    throw failure("the topology could not be laid out (is the dot layout plugin installed?)");
  }
  char* data = nullptr;
  unsigned int length = 0;
  const int rendered = gvRenderData(gvc_, graph, "svg", &data, &length);
  std::string out = rendered == 0 && data ? std::string(data, length) : std::string();
  if (data) gvFreeRenderData(data);
  gvFreeLayout(gvc_, graph);
  agclose(graph);
  if (rendered != 0 || out.empty()) throw failure("the topology could not be rendered as SVG");
  const std::size_t start = out.find("<svg");
  if (start == std::string::npos) throw failure("the SVG Graphviz wrote has no <svg> element");
  return out.substr(start);
}

}  // namespace kxdiscover::html

#include "html/html_topology.hpp"

#include <graphviz/cgraph.h>
#include <graphviz/gvc.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <optional>
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

// Colours of the picture; the legend in the page (html_report.cpp) names the same ones.  The
// muted grey keeps 4.5:1 against white and the grey of an absent VNet.
constexpr const char* kInk = "#263238";
constexpr const char* kMuted = "#546e7a";
constexpr const char* kAlertInk = "#c62828";
constexpr const char* kAlertFill = "#ffebee";
constexpr const char* kCrossInk = "#6a1b9a";
constexpr const char* kVpnFill = "#bbdefb";
constexpr const char* kExpressRouteFill = "#d1c4e9";
constexpr const char* kMigratedFill = "#ffe0b2";
constexpr std::size_t kPrefixesShown = 3;
// The longest address prefix (IPv6 with its length) and room for three and "+N more".
constexpr std::size_t kAddressChars = 3 * 45 + 12;
// A node with this many neighbours that peer with nothing else is drawn as a hub: its spokes
// hang in columns from one line instead of one rank of dot each, which would stack them all
// into one column as tall as the estate.
constexpr std::size_t kMinSpokes = 8;
// A column of spokes is about a third as wide as it is tall per spoke: columns enough for the
// hubs' spokes together to come out about as wide as they are tall.
constexpr double kSpokesPerColumnSquared = 4.8;

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
    if (prefixes[i].is_string()) out += shortened(prefixes[i].get<std::string>(), 43);
  }
  if (prefixes.size() > kPrefixesShown)
    out += " +" + std::to_string(prefixes.size() - kPrefixesShown) + " more";
  return out;
}

// A VNet's status and a peering's state as class words: from fixed sets only, since a report
// may hold anything there.
std::string statusWord(const std::string& status) {
  return knownWord(status, {"completed", "failed", "not_found", "skipped", "interrupted"});
}

std::string stateClass(const std::string& state) {
  return state.empty() ? "state-unknown"
                       : "state-" + knownWord(state, {"connected", "initiated", "disconnected"});
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
  if (status != "completed") look.classes += " status-" + statusWord(status);

  std::string rows = row("<B>" + dotLabelText(textOf(vnet, "name")) + "</B>");
  if (const std::string space = addressSpaceText(vnet); !space.empty())
    rows += row(dotLabelText(space, kAddressChars));
  if (const std::string region = textOf(vnet, "region"); !region.empty())
    rows += row(std::string("<FONT COLOR=\"") + kMuted + "\">" + dotLabelText(region) + "</FONT>");

  if (const auto gw = vnet.find("gateways"); gw != vnet.end() && gw->is_object()) {
    if (const auto vng = gw->find("vng"); vng != gw->end() && vng->is_object()) {
      const std::string type = textOf(*vng, "type");
      const bool er = lower(type) == "expressroute";
      const std::string kind = er ? "ExpressRoute" : lower(type) == "vpn" ? "VPN" : type;
      rows += row(dotLabelText(kind) + " gateway " + dotLabelText(textOf(*vng, "name")),
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

// A hub and the edges to its spokes (nodes whose only peering is with the hub), in the order
// of the spokes' nodes.
struct Hub {
  std::string node;
  std::vector<std::size_t> spokeEdges;
};

// Where each node of the picture is and what it is called, for the edges' tooltips.
struct Nodes {
  std::map<std::string, std::string> byId;   // lower-case Azure id -> DOT node name
  std::map<std::string, std::string> names;  // DOT node name -> the VNet's name
  std::vector<std::string> order;            // DOT node names: the subscription's VNets first
  std::map<std::string, std::size_t> place;  // DOT node name -> its place in `order`

  void add(const std::string& node, std::string name) {
    names.emplace(node, std::move(name));
    place.emplace(node, order.size());
    order.push_back(node);
  }
};

// The node name's place in `order`: v1, v2, ... then r1, r2, ...
std::size_t position(const Nodes& nodes, const std::string& node) { return nodes.place.at(node); }

std::vector<Hub> findHubs(const Nodes& nodes, const std::vector<Edge>& edges) {
  std::map<std::string, std::size_t> degree;
  for (const Edge& edge : edges) {
    ++degree[nodes.byId.at(edge.a)];
    ++degree[nodes.byId.at(edge.b)];
  }
  std::map<std::string, std::vector<std::size_t>> spokes;
  for (std::size_t e = 0; e < edges.size(); ++e) {
    const std::string& a = nodes.byId.at(edges[e].a);
    const std::string& b = nodes.byId.at(edges[e].b);
    if (degree[a] == 1 && degree[b] > 1) spokes[b].push_back(e);
    if (degree[b] == 1 && degree[a] > 1) spokes[a].push_back(e);
  }
  std::vector<Hub> hubs;
  for (auto& [node, list] : spokes) {
    if (list.size() < kMinSpokes) continue;
    auto spokeOf = [&](std::size_t e) {
      const std::string& a = nodes.byId.at(edges[e].a);
      return position(nodes, a == node ? nodes.byId.at(edges[e].b) : a);
    };
    std::sort(list.begin(), list.end(),
              [&](std::size_t x, std::size_t y) { return spokeOf(x) < spokeOf(y); });
    hubs.push_back(Hub{node, std::move(list)});
  }
  std::sort(hubs.begin(), hubs.end(), [&](const Hub& x, const Hub& y) {
    return position(nodes, x.node) < position(nodes, y.node);
  });
  return hubs;
}

// Graphviz's dot starts every connected group of nodes in its first rank, so an estate of
// many small groups (unpeered VNets, peered pairs, small stars) would become one long column;
// its own packing of groups would drop the edge labels.  So the groups are chained, last
// node to first, by invisible edges into rows of a grid about as wide as it is tall.
std::string componentGrid(const Nodes& nodes, const std::vector<Edge>& edges) {
  std::map<std::string, std::string> parent;
  for (const std::string& node : nodes.order) parent[node] = node;
  auto root = [&](std::string node) {
    while (parent[node] != node) node = parent[node] = parent[parent[node]];
    return node;
  };
  for (const Edge& edge : edges) parent[root(nodes.byId.at(edge.a))] = root(nodes.byId.at(edge.b));

  // Each group's first and last node and its size, in the order of their first node.
  struct Group {
    std::string first, last;
    std::size_t size = 0;
  };
  std::vector<Group> groups;
  std::map<std::string, std::size_t> groupOf;
  for (const std::string& node : nodes.order) {
    auto [it, added] = groupOf.emplace(root(node), groups.size());
    if (added) groups.push_back(Group{node, node, 0});
    groups[it->second].last = node;
    ++groups[it->second].size;
  }
  // A box is about three times as wide as it is tall; a group of several nodes takes about
  // two ranks.
  const auto columns = static_cast<std::size_t>(
      std::max(3.0, std::ceil(std::sqrt(static_cast<double>(nodes.order.size()) / 2))));
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

// The state text of one side, as a label shows it.
std::string stateText(const PeeringEnd& end) {
  return end.state.empty() ? std::string("?") : end.state;
}

// The attributes of the line of peered pair `e` (from 0) of picture `s`: its id, classes, look,
// label and tooltip.  `hubIsA` tells, for a spoke's line hanging from its hub's column, which
// end is the hub: both sides' states then share one label at the spoke's end, the hub's
// first, since the other end of the line is the shared column and not the hub itself.
std::string peeringAttributes(const Edge& edge, std::size_t s, std::size_t e, const Nodes& nodes,
                              std::optional<bool> hubIsA) {
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

  const std::string& nameA = nodes.names.at(nodes.byId.at(edge.a));
  const std::string& nameB = nodes.names.at(nodes.byId.at(edge.b));
  std::string tooltip = "peering " + nameA + " \u2013 " + nameB + ": ";
  if (bothSeen && stateA != stateB) {
    tooltip += nameA + "'s side " + stateText(edge.fromA) + ", " + nameB + "'s side " +
               stateText(edge.fromB);
  } else {
    const std::string& state = edge.fromA.seen ? stateA : stateB;
    tooltip += state.empty() ? std::string("state unknown") : state;
    if (!bothSeen) tooltip += " (seen from one side only)";
  }

  std::string out = "id=\"" + anchor("peering", s + 1, e + 1) + "\", class=\"" + classes +
                    "\", tooltip=\"" + dotQuoted(tooltip) + "\"";
  if (edge.cross) out += std::string(", style=dashed, penwidth=1.6, color=\"") + kCrossInk + "\"";
  if (!connected)
    out +=
        std::string(", penwidth=2, color=\"") + kAlertInk + "\", fontcolor=\"" + kAlertInk + "\"";
  const bool differ = bothSeen && stateA != stateB;
  const std::string& state = edge.fromA.seen ? stateA : stateB;
  const std::string single = dotLabelText(state.empty() ? "state unknown" : state);
  if (hubIsA) {
    // A label in the middle of the line would take a rank of its own, which dot orders
    // against the spokes; at the spoke's end it takes none.
    const PeeringEnd& hub = *hubIsA ? edge.fromA : edge.fromB;
    const PeeringEnd& spoke = *hubIsA ? edge.fromB : edge.fromA;
    out +=
        ", headlabel=<" +
        (differ ? dotLabelText(stateText(hub)) + " / " + dotLabelText(stateText(spoke)) : single) +
        ">";
  } else if (differ) {
    // Each side's own state at its end of the line.
    out += ", taillabel=<" + dotLabelText(stateText(edge.fromA)) + ">, headlabel=<" +
           dotLabelText(stateText(edge.fromB)) + ">";
  } else {
    out += ", label=<" + single + ">";
  }
  return out;
}

// Hub `h` (from 0) of picture `s` with its spokes, as a cluster of its own: the hub, then a
// line to the right with a column of spokes hanging from each of its junctions.  dot keeps
// the order of a junction's lines (ordering=out) and stacks them from the bottom: so each
// column is written bottom spoke first and its line on to the next column last, which puts
// that line, and the hub, at the top and the spokes in report order below.
std::string hubCluster(const Hub& hub, std::size_t h, std::size_t s, std::size_t columns,
                       const std::vector<Edge>& edges, const Nodes& nodes) {
  const std::size_t n = hub.spokeEdges.size();
  const std::size_t rows = (n + columns - 1) / columns;
  const std::size_t used = (n + rows - 1) / rows;
  const std::string tag = std::to_string(h + 1) + "_";
  std::string out = "  subgraph cluster_hub" + std::to_string(h + 1) + " {\n    graph [id=\"" +
                    anchor("hub", s + 1, h + 1) + "\", peripheries=0];\n    " + hub.node + ";\n";
  std::size_t trunk = 0;
  auto trunkLine = [&](const std::string& from, const std::string& to) {
    out += "    " + from + " -- " + to + " [id=\"" + anchor("trunk", s + 1, h + 1, ++trunk) +
           "\", class=\"trunk\", weight=100, penwidth=1.2];\n";
  };
  std::string previous = hub.node;
  for (std::size_t c = 0; c < used; ++c) {
    const std::string junction = "j" + tag + std::to_string(c + 1);
    out += "    " + junction + " [id=\"" + anchor("junction", s + 1, h + 1, c + 1) +
           "\", class=\"junction\", shape=point, width=0.04, color=\"" + kInk +
           "\", ordering=out];\n";
    trunkLine(previous, junction);
    const std::size_t first = c * rows;
    const std::size_t last = std::min(n, first + rows);
    for (std::size_t i = last; i-- > first;) {
      const std::size_t e = hub.spokeEdges[i];
      const bool hubIsA = nodes.byId.at(edges[e].a) == hub.node;
      const std::string& spoke = nodes.byId.at(hubIsA ? edges[e].b : edges[e].a);
      out += "    " + junction + " -- " + spoke + " [" +
             peeringAttributes(edges[e], s, e, nodes, hubIsA) + "];\n";
    }
    if (c + 1 < used) {
      // The line passes this column through a point of its own, so that it runs straight.
      previous = "t" + tag + std::to_string(c + 1);
      out += "    " + previous + " [id=\"" + anchor("trunk-point", s + 1, h + 1, c + 1) +
             "\", class=\"junction\", shape=point, width=0.01, style=invis];\n";
      trunkLine(junction, previous);
    }
  }
  return out + "  }\n";
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

  std::string dot;

  // Nodes by lower-case Azure id; the VNets of this subscription first, in report order.
  Nodes nodes;
  TopologyCounts tally;
  for (std::size_t v = 0; v < vnets.size(); ++v) {
    const Json& vnet = vnets[v];
    const std::string node = "v" + std::to_string(v + 1);
    const std::string id = textOf(vnet, "id");
    if (!id.empty()) nodes.byId.emplace(lower(id), node);
    nodes.add(node, textOf(vnet, "name"));
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
      if (!nodes.byId.contains(remote)) {
        const std::string node = "r" + std::to_string(remotes.size() + 1);
        nodes.byId.emplace(remote, node);
        std::string name = textOf(peering, "remote_vnet");
        nodes.add(node, name.empty() ? textOf(peering, "remote_vnet_id") : name);
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

  for (std::size_t r = 0; r < remotes.size(); ++r) {
    const auto& [id, peering] = remotes[r];
    const std::string& node = nodes.byId.at(id);
    const VnetPlace* place = index.vnet(id);
    const std::string remoteSub = textOf(*peering, "remote_subscription");
    std::string label = "<I>" + dotLabelText(nodes.names.at(node)) + "</I>";
    if (!remoteSub.empty() && lower(remoteSub) != subscriptionId)
      label += "<BR/>subscription " + dotLabelText(index.subscriptionLabel(remoteSub));
    if (!place) label += "<BR/>not in this report";
    dot += "  " + node + " [id=\"" + anchor("node-remote", s + 1, r + 1) +
           "\", class=\"remote\", shape=box, style=\"rounded,dashed\", color=\"" + kMuted +
           "\", fontcolor=\"" + kMuted + "\", tooltip=\"" +
           dotQuoted(textOf(*peering, "remote_vnet_id")) + "\"";
    if (place) dot += ", URL=\"#" + place->anchor + "\", target=\"_self\"";
    dot += ", label=<" + label + ">];\n";
    ++tally.remote;
  }

  // The hubs' spokes hang from their hubs' lines; every other pair is one line of its own.
  const std::vector<Hub> hubs = findHubs(nodes, edges);
  std::vector<bool> inHub(edges.size(), false);
  std::size_t spokes = 0;
  for (const Hub& hub : hubs) {
    for (const std::size_t e : hub.spokeEdges) inHub[e] = true;
    spokes += hub.spokeEdges.size();
  }
  for (std::size_t e = 0; e < edges.size(); ++e) {
    if (inHub[e]) continue;
    dot += "  " + nodes.byId.at(edges[e].a) + " -- " + nodes.byId.at(edges[e].b) + " [" +
           peeringAttributes(edges[e], s, e, nodes, std::nullopt) + "];\n";
  }
  const auto columns = static_cast<std::size_t>(
      std::max(1.0, std::round(std::sqrt(static_cast<double>(spokes) / kSpokesPerColumnSquared))));
  for (std::size_t h = 0; h < hubs.size(); ++h)
    dot += hubCluster(hubs[h], h, s, columns, edges, nodes);
  tally.peerings = edges.size();
  dot += componentGrid(nodes, edges);
  if (counts) *counts = tally;

  // The picture's own id, so that the group Graphviz wraps it in is not "graph0" in every
  // one.  A hub's spokes fan out over twice the usual room between ranks.
  return "graph \"topology\" {\n  graph [id=\"" + anchor("picture", s + 1) +
         "\", rankdir=LR, nodesep=0.2, ranksep=" + (hubs.empty() ? "0.5" : "1.0") +
         ", fontname=\"Helvetica\", bgcolor=\"transparent\"];\n"
         "  node [shape=plain, fontname=\"Helvetica\", fontsize=10, fontcolor=\"" +
         kInk +
         "\"];\n"
         "  edge [fontname=\"Helvetica\", fontsize=8, color=\"" +
         kInk + "\", fontcolor=\"" + kMuted + "\"];\n" + dot + "}\n";
}

namespace {

// One Graphviz context serves the process, made on first use and never freed: Graphviz's pango
// text plugin keeps font data from the first context and reads it again after that context is
// freed, so a second page laid out in the same process would read freed memory.
GVC_t* processContext() {
  static GVC_t* const gvc = gvContext();
  return gvc;
}

// Graphviz names each group it writes by its DOT name in a <title> ("v1", "v1&#45;&#45;v2"),
// which screen readers would read out; the nodes and lines are named by their tooltips
// instead.  Every text of the picture is escaped, so "<title>" only ever begins such a name.
std::string withoutTitles(std::string_view svg) {
  constexpr std::string_view kOpen = "<title>";
  constexpr std::string_view kClose = "</title>";
  std::string out;
  out.reserve(svg.size());
  std::size_t at = 0;
  for (std::size_t open; (open = svg.find(kOpen, at)) != std::string_view::npos;) {
    const std::size_t close = svg.find(kClose, open);
    if (close == std::string_view::npos) break;
    out += svg.substr(at, open - at);
    at = close + kClose.size();
    if (at < svg.size() && svg[at] == '\n') ++at;
  }
  out += svg.substr(at);
  return out;
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
  return withoutTitles(std::string_view(out).substr(start));
}

}  // namespace kxdiscover::html

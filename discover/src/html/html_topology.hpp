#pragma once
// The topology picture of the HTML report: per subscription, the VNets as nodes and their
// peerings as edges, laid out by Graphviz into SVG when the report is made.
#include <cstddef>
#include <map>
#include <string>
#include <string_view>

#include "collab/json.hpp"

struct GVC_s;

namespace kxdiscover::html {

using collab::Json;

/// Where a VNet of the report is described.
struct VnetPlace {
  std::string anchor;  ///< the fragment id of its section
  std::size_t subscription = 0;
  std::string name;
  const Json* entry = nullptr;  ///< its entry in the report
};

/// The report's VNets by Azure id (compared without case, as Azure does) and its
/// subscriptions by id, so that a peering can link to the VNet at its other end.
class ReportIndex {
 public:
  explicit ReportIndex(const Json& report);

  /// The fragment id of VNet entry `v` of subscription `s` (both from 0).
  static std::string vnetAnchor(std::size_t s, std::size_t v);
  static std::string subscriptionAnchor(std::size_t s);

  /// The VNet with this Azure id, or null when the report has none.
  const VnetPlace* vnet(std::string_view id) const;
  /// The account name of the subscription with this id, or the id itself.
  std::string subscriptionLabel(std::string_view id) const;

 private:
  std::map<std::string, VnetPlace> vnets_;
  std::map<std::string, std::string> subscriptionLabels_;
};

/// How many nodes and edges a picture holds.
struct TopologyCounts {
  std::size_t vnets = 0;     ///< the subscription's VNet entries
  std::size_t remote = 0;    ///< VNets of other subscriptions or outside the report
  std::size_t peerings = 0;  ///< peered pairs; both sides of a pair make one edge
};

/// Subscription `s` of `report` as a Graphviz graph: one node per VNet entry (name, address
/// space, region, gateway marks, alerts), one node per VNet beyond it that a peering reaches,
/// one edge per peered pair with the peering state of each side (the far side's from its own
/// entry when the report has it); peerings that leave the subscription are drawn dashed.  Every
/// text is escaped for DOT.
std::string topologyDot(const Json& report, std::size_t s, const ReportIndex& index,
                        TopologyCounts* counts = nullptr);

/// Graphviz in this process (libgvc).  Graphviz keeps global state: use one at a time.
class GraphvizLayout {
 public:
  /// @throws std::runtime_error when Graphviz cannot be set up.
  GraphvizLayout();
  ~GraphvizLayout();
  GraphvizLayout(const GraphvizLayout&) = delete;
  GraphvizLayout& operator=(const GraphvizLayout&) = delete;

  /// `dot` laid out by the dot engine, as one `<svg>` element to put inside HTML (the XML
  /// declaration, doctype and comments Graphviz writes before it are dropped).
  /// @throws std::runtime_error with Graphviz's message when the graph cannot be read or
  ///         laid out.
  std::string svg(const std::string& dot);

 private:
  GVC_s* gvc_;
};

}  // namespace kxdiscover::html

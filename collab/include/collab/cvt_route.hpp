#pragma once
// A route of a route table in the form in which it is carried over into the copy.
#include <optional>
#include <ostream>
#include <string>

#include "collab/azure/route_table.hpp"
#include "collab/export.hpp"
#include "collab/json.hpp"

namespace collab {

class COLLAB_EXPORT CvtRoute {
 public:
  /// Builds the record of one Azure route: `dest` from `address_prefix`, `type` from
  /// `next_hop_type`, `target` from `next_hop_ip_address` (absent stays absent) and `id` from
  /// the route's `name` (empty when Azure sent none) until the route table numbers it on
  /// acceptance.
  /// @throws MissingKeyError when the route has no `address_prefix`: a route to nowhere in
  ///         particular cannot be carried over.
  explicit CvtRoute(const azure::Route& route);
  CvtRoute(std::string id, std::string dest, std::string type, std::optional<std::string> target);

  /// The default route 0.0.0.0/0 with next-hop type "None" and no next-hop address; put in
  /// place of a default route that is not carried over, so traffic is dropped, not leaked.
  static CvtRoute DefaultNoneRoute();

  /// Appends the route's HCL entry at `indent` blanks, keyed by `id`:
  ///
  ///     "route_1" = {
  ///       name = "route_1"
  ///       address_prefix = "10.1.0.0/16"
  ///       next_hop_type = "VirtualAppliance"
  ///       next_hop_in_ip_address = "10.0.0.4"
  ///     }
  ///
  /// These are the arguments of a Terraform azurerm route block; the name is the route's id,
  /// which is unique within its table.  next_hop_in_ip_address is left out when `target` is
  /// absent.  Every text is escaped as an HCL string.
  void appendHcl(std::string& out, int indent) const;
  /// Writes the same entry to `out`.
  void toHcl(std::ostream& out, int indent) const;

  /// {"name", "address_prefix", "next_hop_type", "next_hop_in_ip_address"}, the last one null
  /// when `target` is absent.
  Json toDict() const;

  std::string id;
  /// A network text or an Azure service-tag name.
  std::string dest;
  /// Next-hop type, such as "VirtualAppliance", "Internet", "VnetLocal" or "None".
  std::string type;
  /// Next-hop address; absent for next hops without one.
  std::optional<std::string> target;

  friend bool operator==(const CvtRoute&, const CvtRoute&) = default;
};

}  // namespace collab

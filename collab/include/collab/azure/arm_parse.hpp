#pragma once
// Azure Resource Manager JSON to the typed Azure objects.
//
// Each list operation of Resource Manager answers `{"value": [...], "nextLink": "..."}`, one
// page at a time.  The page readers of `ArmPageParser` take one raw page body, append the
// page's items to the caller's vector (in Azure's order) and hand back the page's `nextLink`,
// which is absent when the member is missing, null or "" (the last page).  They run over
// subscriptions with thousands of route tables, so they parse with simdjson and keep its
// buffers between pages: hold one `ArmPageParser` for the pages of one listing.
//
// Resource Manager nests almost every field under `properties`; the objects are flattened the
// way Azure's SDKs flatten them.  The readers require only what Azure's REST API reference
// requires of an answer: a member it marks optional (see docs/azure.md) may be missing or null
// and stays absent (std::nullopt) in the object, never replaced by a made-up value, so that
// each discovery operation decides what its absence means.  A list the object does not declare
// optional reads as empty when Azure omits it, a missing boolean flag as false (Azure's
// default), a list answer without `value` as an empty page (Azure's own examples answer `{}`).
// Unknown members are ignored.
//
// A body that is not JSON, is cut short, is an ARM error document instead of a list, lacks a
// member Azure always sends (a route's `nextHopType`, a subnet's `id`, ...) or holds a member of
// the wrong type raises `MalformedResponseError`; the caller's vector is then left as it was.
#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "collab/azure/resources.hpp"
#include "collab/azure/route_table.hpp"
#include "collab/azure/virtual_network.hpp"
#include "collab/export.hpp"

namespace collab::azure {

/// A Resource Manager answer that cannot be read as the object it should describe.
///
/// The message names the kind of answer ("route table list"), the JSON path of the offending
/// member (`value[3].properties.routes[1].properties.nextHopType`, empty for the document
/// itself) and what was wrong with it.  It never quotes values from the body.
class COLLAB_EXPORT MalformedResponseError : public std::runtime_error {
 public:
  MalformedResponseError(std::string kind, std::string path, std::string problem);

  const std::string& kind() const noexcept { return kind_; }
  const std::string& path() const noexcept { return path_; }
  const std::string& problem() const noexcept { return problem_; }

 private:
  std::string kind_;
  std::string path_;
  std::string problem_;
};

/// The raw body of an answer as the readers take it.  A body held in a `std::string` with
/// some spare capacity after its text (the transports leave that room) is read where it lies;
/// any other body is first copied into the parser's own buffer, since the parser reads a little
/// past the end of the text.
class COLLAB_EXPORT PageBody {
 public:
  PageBody(std::string_view text) noexcept : text_(text), readable_(text.size()) {}
  PageBody(const char* text) noexcept : PageBody(std::string_view(text)) {}
  PageBody(const std::string& text) noexcept : text_(text), readable_(text.capacity()) {}

  std::string_view text() const noexcept { return text_; }
  /// Bytes that may be read from `text().data()`, the text and any room after it.
  std::size_t readable() const noexcept { return readable_; }

 private:
  std::string_view text_;
  std::size_t readable_;
};

/// Reads Resource Manager answers into the typed Azure objects.
///
/// Not thread-safe: one parser per thread.  The parser keeps its buffers between calls, so
/// reading many pages with one parser avoids re-allocating them for every page.
class COLLAB_EXPORT ArmPageParser {
 public:
  ArmPageParser();
  ~ArmPageParser();
  ArmPageParser(ArmPageParser&&) noexcept;
  ArmPageParser& operator=(ArmPageParser&&) noexcept;
  ArmPageParser(const ArmPageParser&) = delete;
  ArmPageParser& operator=(const ArmPageParser&) = delete;

  /// One page of `routeTables` (list all, or list in a resource group).
  /// @return the page's nextLink, absent on the last page.
  /// @throws MalformedResponseError
  std::optional<std::string> parseRouteTablePage(PageBody body, std::vector<RouteTable>& out);

  /// One page of `virtualNetworks`, with their embedded subnets and peerings.
  /// @throws MalformedResponseError
  std::optional<std::string> parseVirtualNetworkPage(PageBody body,
                                                     std::vector<VirtualNetwork>& out);

  /// One page of a resource group's `virtualNetworkGateways`.
  /// @throws MalformedResponseError
  std::optional<std::string> parseVirtualNetworkGatewayPage(
      PageBody body, std::vector<VirtualNetworkGateway>& out);

  /// The VM sizes of a location.  Azure answers in one page; a nextLink is still handed back
  /// should one ever appear.
  /// @throws MalformedResponseError
  std::optional<std::string> parseVirtualMachineSizePage(PageBody body,
                                                         std::vector<VirtualMachineSize>& out);

  /// One page of a subscription's resource groups.
  /// @throws MalformedResponseError
  std::optional<std::string> parseResourceGroupPage(PageBody body, std::vector<ResourceGroup>& out);

  /// One page of the subscriptions the principal can see.
  /// @throws MalformedResponseError
  std::optional<std::string> parseSubscriptionPage(PageBody body, std::vector<Subscription>& out);

  /// One page of Microsoft.Capacity service limits, in the list shape or the single-limit
  /// shape.  Appends one map per limit to `out.additional_properties["value"]`: the entry as
  /// Azure sent it, with "name" set to the quota name (`properties.name.value`, which Azure
  /// keys quotas by, else the entry's own `name`) and "limit" and "currentValue" under
  /// "properties" as integers, whether Azure sent numbers or numeric text.
  /// @throws MalformedResponseError
  std::optional<std::string> parseQuotaPage(PageBody body, QuotaResult& out);

  /// One Resource Graph answer (result format "objectArray").  The next page, if any, is
  /// requested with the answer's `skip_token`, absent when Azure sent none or "".
  /// @throws MalformedResponseError
  QueryResponse parseQueryResponse(PageBody body);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

/// The JSON body of a Resource Graph `resources` request: "subscriptions", "query" and
/// "options" with "resultFormat" and, when set, "$top" and "$skipToken".
/// @throws InvalidValueError when a text of the request is not valid UTF-8.
COLLAB_EXPORT std::string serializeQueryRequest(const QueryRequest& request);

}  // namespace collab::azure

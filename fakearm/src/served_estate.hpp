#pragma once
// An estate checked and laid out for serving: every list answer serialised once, page by
// page, with its next links; the principals and what they may see; the rows Resource Graph
// queries run over.  Immutable once built, so requests share it without locking.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fakearm/estate.hpp"

namespace fakearm::detail {

/// One serialised answer body; its gzip form is made on first demand and kept.
class Page {
 public:
  explicit Page(std::string body) : body_(std::move(body)) {}
  const std::string& body() const { return body_; }
  /// Thread-safe.
  const std::string& gzipped() const;

 private:
  std::string body_;
  mutable std::once_flag once_;
  mutable std::string gzip_;
};
using PagePtr = std::shared_ptr<const Page>;
using PageList = std::vector<PagePtr>;

/// A trust of an application in another identity provider's tokens (workload identity
/// federation): a token of `issuer` about `subject`, issued for one of `audiences`.
struct FederatedCredential {
  std::string issuer;
  std::string subject;
  std::vector<std::string> audiences;
};

/// What one role lets a principal do (as the permissions list reports it).
struct PermissionGrant {
  std::vector<std::string> actions;
  std::vector<std::string> notActions;
  /// The resource group the role is given on; empty: the whole subscription.
  std::string resourceGroup;

  /// True when the role holds at `group` (empty: the subscription itself).
  bool holdsAt(const std::string& group) const;
};

struct Principal {
  std::string tenantId;
  std::string appId;
  /// Empty for a principal that has no secret.
  std::string secret;
  /// Lower-case ids of the subscriptions it may see.
  std::set<std::string> subscriptions;
  /// PEM certificates whose keys may sign its client assertions.
  std::vector<std::string> certificates;
  std::vector<FederatedCredential> federated;
  /// "system" or "user" for a managed identity of the machine the server stands for; empty
  /// for an application.
  std::string managedIdentity;
  /// Its roles' permissions on its subscriptions, when the estate restricts them (`readOnly`:
  /// Reader's, every read and no action); absent:
  /// it may do everything there.
  std::optional<std::vector<PermissionGrant>> permissions;

  /// True when `permissions` is absent or one grant held at `group` (empty: the subscription)
  /// covers `action` without a not-action of that grant covering it (`*` matches any text;
  /// letter case is ignored).
  bool allows(const std::string& action, const std::string& group = {}) const;
};

struct GatewayEntry {
  std::string id;
  std::string location;
  /// `{"value": [...]}` of its learned routes.
  std::string learnedRoutes;
};

struct SubscriptionIndex {
  std::string id;
  std::string tenantId;
  /// Lower-case name to the name as written.
  std::map<std::string, std::string> groups;
  /// Pages of each list, by list key (see `listKey`).
  std::map<std::string, PageList> lists;
  /// By lower-case gateway id.
  std::map<std::string, GatewayEntry> gateways;
  /// By lower-case location.
  std::map<std::string, PagePtr> vmSizes;
  /// One service limit by lower-case "location/name".
  std::map<std::string, PagePtr> serviceLimits;
  /// Resource Graph rows of the subscription's resources.
  std::vector<Json> graphRows;
  /// Lower-case namespaces of the resource providers not registered on it.
  std::set<std::string> unregisteredProviders;
};

struct PagingOptions {
  std::string baseUrl;
  int pageSize = 100;
  std::map<std::string, int> pageSizes;
  std::uint64_t generation = 0;
};

struct ServedEstate {
  std::uint64_t generation = 0;
  std::vector<Principal> principals;
  /// Lower-case tenant ids.
  std::set<std::string> tenants;
  /// By lower-case subscription id.
  std::map<std::string, SubscriptionIndex> subscriptions;
  /// The subscription list each principal sees, paged; parallel to `principals`.
  std::vector<PageList> subscriptionPages;

  /// Index into `principals`, absent when the tenant has no such application.
  std::optional<std::size_t> findPrincipal(std::string_view tenant, std::string_view appId) const;
};

/// The key of a list in `SubscriptionIndex::lists`: the operation name, and for lists of one
/// resource group or location, "|" and that lower-case name.
std::string listKey(std::string_view operation, std::string_view scope = {});

/// The `$skiptoken` of page `page` (from 0) of estate generation `generation`.
std::string skipToken(std::uint64_t generation, std::size_t page);
/// The page a skip token names, absent when it is malformed or of another generation.
std::optional<std::size_t> pageOfSkipToken(std::string_view token, std::uint64_t generation);

/// @throws EstateError naming the JSON path at fault.
std::shared_ptr<const ServedEstate> buildServedEstate(const Json& estate,
                                                      const PagingOptions& paging);

}  // namespace fakearm::detail

#pragma once
// A loopback Azure: the Azure AD token endpoint and the Resource Manager calls the discovery
// makes, answering from an estate (estate.hpp) over real HTTP or HTTPS on 127.0.0.1.
//
// Served, with the api-version required on every Resource Manager call:
//
//   POST /{tenant}/oauth2/token, /{tenant}/oauth2/v2.0/token          "token"
//   GET  /subscriptions                                                "subscriptions.list"
//   GET  /subscriptions/{s}/resourcegroups                            "resourceGroups.list"
//   GET  /subscriptions/{s}/providers/Microsoft.Network/routeTables   "routeTables.listAll"
//   GET  .../resourceGroups/{rg}/providers/Microsoft.Network/routeTables      "routeTables.list"
//   GET  /subscriptions/{s}/providers/Microsoft.Network/virtualNetworks  "virtualNetworks.listAll"
//   GET  .../resourceGroups/{rg}/providers/Microsoft.Network/virtualNetworks "virtualNetworks.list"
//   GET  .../resourceGroups/{rg}/providers/Microsoft.Network/virtualNetworkGateways
//                                                                "virtualNetworkGateways.list"
//   POST .../virtualNetworkGateways/{gw}/getLearnedRoutes "virtualNetworkGateways.getLearnedRoutes"
//        answered 202 with Location (and Azure-AsyncOperation) to poll (403 to a principal
//        the estate marks "readOnly", which holds Reader's permissions):
//   GET  /subscriptions/{s}/providers/Microsoft.Network/locations/{l}/operationResults/{id}
//                                                                      "operationResults.get"
//   GET  /subscriptions/{s}/providers/Microsoft.Network/locations/{l}/operations/{id}
//                                                                      "operations.get"
//   GET  /subscriptions/{s}/providers/Microsoft.Compute/locations/{l}/vmSizes
//                                                                "virtualMachineSizes.list"
//   GET  /subscriptions/{s}/providers/Microsoft.Capacity/resourceProviders/{p}/locations/{l}/
//        serviceLimits[/]                                              "serviceLimits.list"
//        serviceLimits/{name}                                          "serviceLimits.get"
//   POST /providers/Microsoft.ResourceGraph/resources                  "resourceGraph"
//   GET  /subscriptions/{s}/providers/Microsoft.Authorization/permissions  "permissions.list"
//   GET  .../resourceGroups/{rg}/providers/Microsoft.Authorization/permissions
//                                                                      "permissions.list"
//   GET  /subscriptions/{s}/providers/{namespace}                      "providers.get"
//
// and, standing for the machine it runs on, the managed identity endpoints:
//
//   GET  /metadata/identity/oauth2/token (instance metadata, `Metadata: true`)
//                                                              "managedIdentity.metadata"
//   GET  /msi/token (App Service, `X-IDENTITY-HEADER`)     "managedIdentity.identityEndpoint"
//
// The token endpoint takes a client secret or a client assertion: a JWT signed with a
// certificate the principal lists, or a federated token one of its federated credentials
// trusts.  A principal whose estate entry lists `permissions` may do only what they allow
// (403 AuthorizationFailed naming the action otherwise); a provider the subscription lists as
// unregistered answers 409 MissingSubscriptionRegistration (Microsoft.Capacity's limits).
//
// Anything else is "unknown": 404 with an ARM error body.  Lists are paged (`pageSize` items,
// absolute next links on this server carrying `$skiptoken`); pages are serialised once per
// estate and served gzip-compressed when the client accepts it.  Resource Manager calls need a
// bearer token this server issued (401 otherwise) for a principal that may see the
// subscription (403 otherwise).  Resource Graph evaluates the query shapes the discovery sends
// (`where` with =~, ==, has, contains, joined by `and`; `mvexpand`; `project`; `limit`) over the
// estate's resources; any other query is a 400 with an ARM error body.
//
// Thread-safe: requests are served concurrently from a pool; every method may be called while
// the server runs.
#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fakearm/estate.hpp"

namespace fakearm {

/// Azure Resource Manager's throttling, per subscription and principal: token buckets for
/// reads (GET) and writes (POST actions), and Resource Graph's per-principal quota window.
/// A count of 0 leaves that kind of request unthrottled (and its answers without the budget's
/// headers).
struct ThrottleOptions {
  int reads = 250;
  double readRefillPerSecond = 25;
  int writes = 200;
  double writeRefillPerSecond = 10;
  int graphQueries = 15;
  std::chrono::seconds graphWindow{5};
};

/// A fault to inject into matching requests.
struct Fault {
  enum class Action {
    Fail,   ///< answer `status` with an ARM error body of `code`
    Drop,   ///< close the connection without answering
    Delay,  ///< wait `delay` (or until the server stops), then answer as usual
    /// Answer as usual but close the connection half-way through the body (the headers
    /// promise the whole of it).
    Truncate,
    /// Answer an empty list page whose next link names a page never served before, on the
    /// same path: with `times` 0, a listing that never ends.
    EndlessPages,
  };
  /// Operation name (see the list above); empty: any.
  std::string operation;
  /// ECMAScript regular expression searched in the path and query; empty: any.
  std::string pathPattern;
  /// The first matching request (counted from 1) that the fault hits...
  int nth = 1;
  /// ...and how many matching requests in a row, from that one (0: all that follow).
  int times = 1;
  Action action = Action::Fail;
  int status = 500;
  std::string code = "InternalServerError";
  /// Sent as `Retry-After` with a failure, when set.
  std::optional<int> retryAfterSeconds;
  /// With `Fail`: the error message also quotes the request's Authorization header and body,
  /// as a careless server or proxy might (so a test can check that no output of the client
  /// repeats a token or secret).
  bool echoRequest = false;
  std::chrono::milliseconds delay{0};
};

/// One request as it was answered.
struct RequestRecord {
  std::string method;
  /// Path and query as sent.
  std::string target;
  std::string operation;
  /// 0 when the connection was dropped without an answer.
  int status = 0;
  /// The body of a POST other than a token request (whose body holds the secret and is never
  /// kept); empty otherwise.
  std::string body;
};

struct TlsFiles {
  std::string certFile;
  std::string keyFile;
};

struct ServerOptions {
  /// 0: a free port.
  int port = 0;
  /// HTTPS with this certificate and key; plain HTTP when absent.
  std::optional<TlsFiles> tls;
  /// Items per list page...
  int pageSize = 100;
  /// ...or, per operation name, this many.
  std::map<std::string, int> pageSizes;
  /// Throttle as Azure does; when absent nothing is throttled and no budget headers are sent.
  std::optional<ThrottleOptions> throttle;
  /// The round trip of a distant endpoint, added to every answer: half before the request is
  /// served (its way there, so budgets are counted when it arrives), half after (the answer's
  /// way back).  Each request waits on its own thread, so requests in flight at once wait
  /// side by side; `threads` bounds how many.
  std::chrono::milliseconds latency{0};
  /// Lifetime of issued tokens; a request with an expired one gets 401.
  std::chrono::seconds tokenLifetime{3599};
  /// Polls of a learned-routes operation answered 202 before the result (200); negative: the
  /// operation never finishes.
  int learnedRoutesPendingPolls = 0;
  /// The learned-routes POST answers 200 with the routes at once, leaving nothing to poll.
  bool learnedRoutesAtOnce = false;
  /// `Retry-After` of the learned-routes 202 answers.
  int learnedRoutesRetryAfterSeconds = 10;
  /// Serve list pages gzip-compressed to clients that accept it.
  bool gzip = true;
  /// Keep every request in `requestLog()`; counts per operation are kept either way.
  bool keepRequestLog = true;
  /// Called with every request as it is recorded (whether or not `keepRequestLog`), in the
  /// order of the log, under the server's lock: it must be quick and must not call the server.
  std::function<void(const RequestRecord&)> onRequest;
  /// Request threads; each open keep-alive connection holds one while it waits.
  int threads = 16;
  /// The throttling clock; steady_clock::now when empty.
  std::function<std::chrono::steady_clock::time_point()> clock;
  /// The secret the App Service identity endpoint expects in `X-IDENTITY-HEADER` (the
  /// platform hands it to the process in IDENTITY_HEADER).
  std::string identityHeader = "fakearm-identity-header";
};

class EstateServer {
 public:
  /// Checks the estate, binds 127.0.0.1 and serves from a thread of its own until stopped.
  /// @throws EstateError for an estate that cannot be served; std::runtime_error when the port
  ///         cannot be bound or the TLS files are unusable.
  explicit EstateServer(const Json& estate, ServerOptions options = {});
  ~EstateServer();
  EstateServer(const EstateServer&) = delete;
  EstateServer& operator=(const EstateServer&) = delete;

  /// Stops serving and joins the thread; idempotent.
  void stop();

  int port() const;
  /// "http://127.0.0.1:<port>" or "https://127.0.0.1:<port>".
  std::string baseUrl() const;

  /// Serves `estate` from the next request on.  Issued tokens stay valid while their principal
  /// exists; a `$skiptoken` of an earlier estate is refused (400) rather than mixing estates.
  /// @throws EstateError, leaving the served estate unchanged.
  void setEstate(const Json& estate);

  /// Adds a fault; its matching requests are counted from now.
  void addFault(Fault fault);
  void clearFaults();

  /// Every request so far, in the order answered (empty unless `keepRequestLog`).
  std::vector<RequestRecord> requestLog() const;
  /// Requests held by a `Delay` fault right now (arrived, not yet answered).
  std::size_t delayedNow() const;
  /// Requests of `operation` answered (or dropped) so far.
  std::size_t operationCount(std::string_view operation) const;
  std::map<std::string, std::size_t> operationCounts() const;
  /// Forgets the request log and the counts.
  void clearRequestLog();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace fakearm

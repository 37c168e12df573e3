#pragma once
// The inside of EstateServer: HTTP plumbing, the bookkeeping every request goes through
// (faults, log, tokens, throttling) and the answers to each operation.
#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "fakearm/estate_server.hpp"
#include "served_estate.hpp"
#include "throttle.hpp"

namespace fakearm {

namespace detail {

/// What a request asks for, read from its method and path.
struct Route {
  std::string operation = "unknown";
  /// The method the operation takes.
  std::string method;
  std::string tenant;
  std::string subscription;
  std::string group;
  std::string gateway;
  std::string location;
  std::string provider;
  std::string name;
  std::string operationId;
};

Route classify(const std::string& path);

/// Shuts down the server side of the loopback connections to `localPort` (only the one from
/// `remotePort` when given): their clients see them end without an answer.
void shutdownConnections(int localPort, std::optional<int> remotePort = std::nullopt);

}  // namespace detail

struct EstateServer::Impl {
  struct Grant {
    std::string tenant;
    std::string appId;
    std::chrono::system_clock::time_point expires;
  };
  struct ActiveFault {
    Fault fault;
    std::optional<std::regex> pattern;
    int seen = 0;
  };
  struct LearnedRoutesOperation {
    std::string subscription;  // lower-case id
    std::string body;
    /// Negative: the operation never finishes.
    int pendingPolls = 0;
  };

  explicit Impl(ServerOptions opts);

  void start(const Json& estate);
  void stop();
  void install(const Json& estate);
  std::shared_ptr<const detail::ServedEstate> snapshot() const;

  // One request, start to end.
  void serve(const httplib::Request& req, httplib::Response& res);
  // The answer once faults are passed.
  void answer(const detail::Route& route, const httplib::Request& req, httplib::Response& res);
  void answerToken(const detail::Route& route, const httplib::Request& req, httplib::Response& res);
  void answerManagedIdentity(const detail::Route& route, const httplib::Request& req,
                             httplib::Response& res);
  /// A new bearer token for the principal, valid for `options.tokenLifetime` from `issued`.
  std::string issueToken(const detail::Principal& principal,
                         std::chrono::system_clock::time_point issued);
  void answerArm(const detail::Route& route, const detail::ServedEstate& estate,
                 std::size_t principal, const httplib::Request& req, httplib::Response& res);
  void answerResourceGraph(const detail::ServedEstate& estate, std::size_t principal,
                           const httplib::Request& req, httplib::Response& res);

  // Bookkeeping, each under `mutex`.
  const Fault* faultFor(const std::string& operation, const std::string& target);
  /// Makes the answer in `res` break off half-way through its body.
  static void cutShort(httplib::Response& res);
  std::optional<std::size_t> principalOf(const detail::ServedEstate& estate,
                                         const httplib::Request& req, httplib::Response& res);
  bool admit(const detail::Route& route, const detail::Principal& principal,
             httplib::Response& res);
  void record(const httplib::Request& req, const std::string& operation, int status);
  std::string nextId();

  // Answers.
  void armError(httplib::Response& res, int status, const std::string& code,
                const std::string& message) const;
  void sendPage(const httplib::Request& req, httplib::Response& res,
                const detail::PagePtr& page) const;
  void servePaged(const httplib::Request& req, httplib::Response& res,
                  const detail::PageList& pages, const detail::ServedEstate& estate) const;
  detail::Clock::time_point now() const;

  ServerOptions options;
  std::unique_ptr<httplib::Server> http;
  std::thread thread;
  int port = 0;
  std::string base;

  std::mutex installMutex;
  mutable std::mutex estateMutex;
  std::shared_ptr<const detail::ServedEstate> estate;
  /// Of the estate served; guarded by `installMutex`.
  std::uint64_t generation = 0;

  mutable std::mutex mutex;
  std::map<std::string, Grant> tokens;
  std::mt19937_64 random;
  std::vector<ActiveFault> faults;
  std::vector<RequestRecord> log;
  std::map<std::string, std::size_t> counts;
  std::map<std::string, detail::TokenBucket> buckets;
  std::map<std::string, detail::QuotaWindow> graphQuotas;
  std::map<std::string, LearnedRoutesOperation> operations;
  std::uint64_t ids = 0;
  /// Delayed requests wait on `delayWake` (with `mutex`) so that stopping ends their wait.
  std::condition_variable delayWake;
  bool stopping = false;
  std::size_t delayed = 0;
  /// Pages served by EndlessPages faults, each naming the next by this count.
  std::uint64_t endlessPages = 0;
};

}  // namespace fakearm

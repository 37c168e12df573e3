#pragma once
// Calls on Azure Resource Manager: the request decoration, retries, token refresh, error
// mapping and paging every typed client shares.
//
// Every logical call gets `Authorization: Bearer <token>`, `Accept: application/json` and a
// fresh `x-ms-client-request-id` (kept across its retries, so Azure support can trace them
// together); a call with a body also gets `Content-Type: application/json`.  Throttling (429),
// gateway and availability failures (500, 502, 503, 504) and dropped connections are retried
// as `RetryPolicy` describes, each retry logged at warning on the "netscout" logger.  A 401
// fetches a fresh token once and repeats the call once.  Any other non-2xx answer, or the last
// one when retries are spent, becomes an `ArmError`.
//
// Reads are paced on Azure's read budget: when an answer reports few reads left
// (`x-ms-ratelimit-remaining-subscription-reads`), the next read waits until the budget has
// refilled (see `ReadPacing`), so a long run proceeds at the refill rate instead of bouncing
// off 429s.  The wait goes through the retry options' sleeper and clock.
//
// A long-running operation (an action Azure accepts with 202) is followed to its result at the
// `Location` Azure names, pausing between polls as `Retry-After` asks (see `awaitOperation`).
//
// A listing overlaps the transfer of each page with the reading of the one before: the next
// link is found at the end of the raw page, the next request is started, and only then is the
// page handed to the caller.  Everything stays on the caller's thread (see `PendingSend`).
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "collab/azure/http_message.hpp"
#include "collab/azure/retry_policy.hpp"
#include "collab/azure/token_credential.hpp"
#include "collab/azure/transport.hpp"
#include "collab/export.hpp"
#include "collab/json.hpp"

namespace collab::azure {

/// How a pipeline keeps within Azure Resource Manager's read budget, a bucket of reads per
/// subscription and principal (250) refilled at a steady rate (25 a second), whose content
/// every answer reports in `x-ms-ratelimit-remaining-subscription-reads`.
struct ReadPacing {
  /// Reads to keep in hand: after an answer reporting fewer left, the next read (GET) waits
  /// until the budget has refilled to this many plus the one it takes.  0 turns pacing off.
  int reserve = 20;
  /// The refill rate assumed, in reads a second.
  double refillPerSecond = 25;
};

/// The pages one listing may take before it is given up (see `ArmPipeline::forEachPage`).
inline constexpr int kMaxListPages = 5000;

struct ArmPipelineOptions {
  RetryOptions retry;
  /// Absent: the Resource Manager endpoint in force when the pipeline is built.
  std::optional<std::string> resourceManager;
  ReadPacing pacing;
  /// The most pages one listing may take; a next link after that many is an error.
  int maxPages = kMaxListPages;
};

/// How a long-running operation is followed (`ArmPipeline::awaitOperation`).
struct OperationPolling {
  /// The longest the operation is waited for, counted as the sum of the pauses between polls
  /// (the time the polls themselves take is not counted, so that a replay decides as the
  /// recorded run did).  A pause that would go past it is not taken: the operation is then
  /// given up.
  std::chrono::milliseconds timeLimit{std::chrono::minutes(2)};
  /// The pause when an answer asks for none.
  std::chrono::milliseconds defaultPause{std::chrono::seconds(10)};
  /// The shortest pause, whatever an answer asks for, so that a server asking for none is not
  /// polled in a tight loop.
  std::chrono::milliseconds minPause{std::chrono::seconds(1)};
};

/// Where a long-running operation ended.
struct OperationOutcome {
  /// The final answer (2xx other than 202); absent when the time limit ran out first.
  std::optional<HttpResponse> result;
  /// The URL that gave the final answer, or that was polled last.
  std::string url;
  /// Polls sent (the request that started the operation not counted).
  int polls = 0;
  /// The sum of the pauses taken.
  std::chrono::milliseconds waited{0};
};

class COLLAB_EXPORT ArmPipeline {
 public:
  /// Receives one page's URL and answer (whose body it may take over) and returns the page's
  /// next link, or absent (or "") when it was the last page.
  using PageHandler =
      std::function<std::optional<std::string>(std::string_view url, HttpResponse&& page)>;

  /// A null `transport` means the default transport.
  explicit ArmPipeline(std::shared_ptr<TokenCredential> credential, ArmPipelineOptions options = {},
                       std::shared_ptr<Transport> transport = nullptr);

  /// Sends one logical call.  `target` is a path on the Resource Manager endpoint
  /// ("/subscriptions?api-version=...") or an absolute URL (a next link), used verbatim.
  /// `repeatable` = false limits retries to 429, which Azure answers before doing any work.
  /// @returns the 2xx answer (a 202 with an empty body included).
  /// @throws ArmError for any other answer; TransportError when no answer was obtained.
  HttpResponse send(std::string_view method, std::string_view target,
                    const std::optional<std::string>& jsonBody = std::nullopt,
                    bool repeatable = true);
  HttpResponse get(std::string_view target) { return send("GET", target); }
  HttpResponse post(std::string_view target,
                    const std::optional<std::string>& jsonBody = std::nullopt) {
    return send("POST", target, jsonBody);
  }

  /// GETs `first`, then every next link the handler returns, verbatim, until it returns
  /// absent.  While the handler reads a page, the page named by the `nextLink` member that
  /// closes the raw body (where Azure puts it) is already on its way; should the handler
  /// return another link, or fail, that transfer is abandoned unread (never retried).  A next link
  /// already fetched in this listing is an `ArmError` rather than an endless loop, and so is a
  /// next link after `maxPages` pages (code "TooManyPages", naming the listing by its first
  /// URL): next links that never repeat would otherwise be followed without end.  Every page must
  /// come from the Resource Manager endpoint (same scheme, host and port): a link elsewhere is
  /// refused with an `ArmError` of code "ForeignNextLink" before anything is sent, so the bearer
  /// token never leaves that endpoint.
  void forEachPage(std::string_view first, const PageHandler& onPage);

  /// Follows the long-running operation that `accepted`, the answer to `method` on `target`,
  /// started: while the answer is 202, pauses as its `retry-after-ms` or `Retry-After` asks
  /// (`polling.defaultPause` when it asks nothing, never less than `polling.minPause`) and GETs
  /// the URL of its `Location` (the previous one when a later 202 names none), with the same
  /// credential.  An answer other than 202 ends it at once.  The pauses go through the retry
  /// options' sleeper; a replay (an offline transport) takes none, only counts them.
  /// Every poll URL must be on the Resource Manager endpoint, as next links must.
  /// @throws ArmError "MissingLocation" for a 202 that names nothing to poll, "ForeignLocation"
  ///         for a Location elsewhere (refused before anything is sent to it), or the error of
  ///         a poll Azure refuses; TransportError when a poll gets no answer.
  OperationOutcome awaitOperation(std::string_view method, std::string_view target,
                                  HttpResponse accepted, const OperationPolling& polling);

  /// Every element of the `value` arrays of all pages, in Azure's order.
  /// @throws ArmError ("InvalidResponseBody") for a page that is not a JSON object with a
  ///         `value` array or whose `nextLink` is neither absent, null nor a string.
  Json listAll(std::string_view first);

  /// The next link of a parsed page: absent when missing, null or "".
  /// @throws WrongTypeError when `nextLink` is of another type.
  static std::optional<std::string> nextLinkOf(const Json& page);

  /// The absolute URL `target` resolves to.
  std::string resolve(std::string_view target) const;

 private:
  struct Call;

  std::string newRequestId();
  /// Builds the request of one logical call and sends its first attempt without waiting.
  /// `expectedBodySize`: see HttpRequest.
  std::unique_ptr<Call> begin(std::string_view method, std::string url,
                              const std::optional<std::string>& jsonBody, bool repeatable,
                              std::size_t expectedBodySize = 0);
  /// Waits for the call's answer, retrying as the policy allows.
  HttpResponse complete(Call& call);
  /// The wait the read budget asks for before the next GET (zero when pacing is off).
  std::chrono::milliseconds paceDelay() const;
  void noteReadBudget(const HttpResponse& response);
  /// Whether `url` may be sent the bearer token: it is on the Resource Manager endpoint (same
  /// scheme, host and port), or the transport sends nothing anywhere (a replay).
  bool onEndpoint(const std::string& url) const;
  /// `link` (a path on the endpoint or an absolute URL) as an absolute URL to GET.
  /// @throws ArmError of `code` (with the status and headers of `answer`, the answer that
  ///         named the link) when it lies off the endpoint; `what` says what it would fetch.
  std::string requireOnEndpoint(std::string_view link, const HttpResponse& answer, const char* code,
                                std::string_view what) const;

  std::shared_ptr<TokenCredential> credential_;
  std::shared_ptr<Transport> transport_;
  RetryOptions retry_;
  ReadPacing pacing_;
  int maxPages_;
  std::string resourceManager_;
  std::mt19937_64 random_;
  /// Reads left in Azure's budget as last reported, and when that answer came.
  std::optional<int> readsLeft_;
  std::chrono::system_clock::time_point readsLeftAt_;
};

}  // namespace collab::azure

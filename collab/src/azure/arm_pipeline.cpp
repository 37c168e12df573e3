#include "collab/azure/arm_pipeline.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <set>

#include "collab/azure/arm_error.hpp"
#include "collab/azure/azure_endpoints.hpp"
#include "collab/errors.hpp"
#include "collab/log.hpp"
#include "page_link.hpp"
#include "retry_loop.hpp"
#include "text_util.hpp"

namespace collab::azure {

namespace {

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// "scheme://host:port" of an absolute http(s) URL, lower-cased, with the scheme's default port
// filled in; absent for anything else.  An authority holding user-info or characters no host
// name has is refused outright rather than interpreted: parsers disagree about such URLs, and
// the answer decides where the bearer token goes.
std::optional<std::string> originOf(std::string_view url) {
  std::size_t sep = url.find("://");
  if (sep == std::string_view::npos) return std::nullopt;
  std::string scheme(url.substr(0, sep));
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string_view defaultPort = scheme == "https" ? "443" : scheme == "http" ? "80" : "";
  if (defaultPort.empty()) return std::nullopt;
  std::string_view rest = url.substr(sep + 3);
  std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
  if (authority.empty()) return std::nullopt;
  for (char c : authority) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != ':' &&
        c != '[' && c != ']') {
      return std::nullopt;
    }
  }
  std::string_view host = authority;
  std::string_view port;
  if (authority.front() == '[') {
    std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = authority.substr(0, close + 1);
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return std::nullopt;
      port = after.substr(1);
    }
  } else if (std::size_t colon = authority.find(':'); colon != std::string_view::npos) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
  }
  if (host.empty()) return std::nullopt;
  for (char c : port) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
  }
  while (port.size() > 1 && port.front() == '0') port.remove_prefix(1);
  if (port.empty()) port = defaultPort;
  std::string origin = scheme + "://";
  for (char c : host) origin += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  origin += ':';
  origin += port;
  return origin;
}

}  // namespace

ArmPipeline::ArmPipeline(std::shared_ptr<TokenCredential> credential, ArmPipelineOptions options,
                         std::shared_ptr<Transport> transport)
    : credential_(std::move(credential)),
      transport_(transport ? std::move(transport) : defaultTransport()),
      retry_(std::move(options.retry)),
      pacing_(options.pacing),
      maxPages_(options.maxPages),
      resourceManager_(options.resourceManager ? *options.resourceManager
                                               : currentEndpoints().resourceManager),
      random_(std::random_device{}()) {
  if (!credential_) throw InvalidValueError("ArmPipeline needs a token credential, got null");
  while (!resourceManager_.empty() && resourceManager_.back() == '/') resourceManager_.pop_back();
}

std::string ArmPipeline::resolve(std::string_view target) const {
  if (startsWith(target, "https://") || startsWith(target, "http://")) return std::string(target);
  if (startsWith(target, "/")) return resourceManager_ + std::string(target);
  throw InvalidValueError("ARM target '" + redactUrl(target) +
                          "' is neither a path starting with '/' nor an absolute URL");
}

std::string ArmPipeline::newRequestId() {
  // A random (version 4) UUID.
  std::uint64_t high = random_();
  std::uint64_t low = random_();
  high = (high & 0xFFFFFFFFFFFF0FFFULL) | 0x0000000000004000ULL;
  low = (low & 0x3FFFFFFFFFFFFFFFULL) | 0x8000000000000000ULL;
  char text[37];
  std::snprintf(text, sizeof text, "%08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(high >> 32),
                static_cast<unsigned>((high >> 16) & 0xFFFF), static_cast<unsigned>(high & 0xFFFF),
                static_cast<unsigned>(low >> 48),
                static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
  return text;
}

// One logical call: its request (kept across attempts), retry bookkeeping and token.
struct ArmPipeline::Call {
  Call(const RetryOptions& retry, std::mt19937_64& random, Transport& transport)
      : loop(retry, random, transport) {}

  HttpRequest request;
  std::string what;
  bool repeatable = true;
  detail::RetryLoop loop;
  AccessToken token;
  bool refreshed = false;
  int sent = 0;
  /// The first attempt, sent by `begin` and not yet collected.
  std::unique_ptr<PendingSend> first;
};

std::chrono::milliseconds ArmPipeline::paceDelay() const {
  using std::chrono::milliseconds;
  if (pacing_.reserve <= 0 || pacing_.refillPerSecond <= 0 || !readsLeft_ ||
      *readsLeft_ >= pacing_.reserve) {
    return milliseconds(0);
  }
  // Enough for the budget to hold `reserve` reads again once this one has taken its own.
  const double seconds = (pacing_.reserve + 1 - *readsLeft_) / pacing_.refillPerSecond;
  const auto needed = milliseconds(static_cast<std::int64_t>(seconds * 1000.0 + 0.999));
  const auto now = retry_.clock ? retry_.clock() : std::chrono::system_clock::now();
  const auto passed = std::chrono::duration_cast<milliseconds>(now - readsLeftAt_);
  return passed >= needed ? milliseconds(0) : needed - passed;
}

void ArmPipeline::noteReadBudget(const HttpResponse& response) {
  std::optional<std::string> left =
      response.headers.get("x-ms-ratelimit-remaining-subscription-reads");
  if (!left) return;
  int value = 0;
  const std::string_view text = detail::trimBlank(*left);
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return;
  readsLeft_ = value;
  readsLeftAt_ = retry_.clock ? retry_.clock() : std::chrono::system_clock::now();
}

std::unique_ptr<ArmPipeline::Call> ArmPipeline::begin(std::string_view method, std::string url,
                                                      const std::optional<std::string>& jsonBody,
                                                      bool repeatable,
                                                      std::size_t expectedBodySize) {
  auto call = std::make_unique<Call>(retry_, random_, *transport_);
  HttpRequest& request = call->request;
  request.method = std::string(method);
  request.url = std::move(url);
  request.headers.set("Accept", "application/json");
  request.headers.set("x-ms-client-request-id", newRequestId());
  request.freshConnection = !repeatable;
  request.expectedBodySize = expectedBodySize;
  if (jsonBody) {
    request.headers.set("Content-Type", "application/json");
    request.body = *jsonBody;
  }
  call->what = "ARM " + request.method + " " + pathAndQuery(request.url, true);
  call->repeatable = repeatable;
  call->token = credential_->getToken(false);
  if (request.method == "GET") {
    if (auto wait = paceDelay(); wait.count() > 0) {
      getLogger("netscout")
          ->debug("{}: {} reads left in the budget; pacing by {:.3f} s", call->what, *readsLeft_,
                  static_cast<double>(wait.count()) / 1000.0);
      detail::pause(retry_, *transport_, wait);
    }
  }
  request.headers.set("Authorization", "Bearer " + call->token.token);
  ++call->sent;
  call->first = transport_->start(request);
  return call;
}

HttpResponse ArmPipeline::complete(Call& call) {
  HttpRequest& request = call.request;
  for (;;) {
    HttpResponse response;
    try {
      if (call.first) {
        std::unique_ptr<PendingSend> first = std::move(call.first);
        response = first->finish();
      } else {
        request.headers.set("Authorization", "Bearer " + call.token.token);
        ++call.sent;
        response = transport_->send(request);
      }
    } catch (const TransportError& error) {
      if (error.retryable() && call.repeatable &&
          call.loop.waitBeforeRetry(nullptr, call.what, "failed (" + error.detail() + ")")) {
        call.token = credential_->getToken(false);
        continue;
      }
      throw;
    }
    if (request.method == "GET") noteReadBudget(response);
    if (response.ok()) return response;

    if (response.status == 401 && !call.refreshed) {
      call.refreshed = true;
      AccessToken fresh = credential_->getToken(true);
      if (fresh.token != call.token.token) {
        getLogger("netscout")
            ->warn("{} answered HTTP 401; retrying once with a fresh token", call.what);
        call.token = std::move(fresh);
        continue;
      }
    }
    if (isRetryableStatus(response.status) && (call.repeatable || response.status == 429) &&
        call.loop.waitBeforeRetry(&response.headers, call.what,
                                  "answered HTTP " + std::to_string(response.status))) {
      call.token = credential_->getToken(false);
      continue;
    }
    throw ArmError(request.method, request.url, response, call.sent);
  }
}

HttpResponse ArmPipeline::send(std::string_view method, std::string_view target,
                               const std::optional<std::string>& jsonBody, bool repeatable) {
  return complete(*begin(method, resolve(target), jsonBody, repeatable));
}

bool ArmPipeline::onEndpoint(const std::string& url) const {
  // A replay sends nothing, so it follows recorded links whatever endpoint they were recorded
  // under.
  if (transport_->offline()) return true;
  const std::optional<std::string> origin = originOf(url);
  return origin && origin == originOf(resourceManager_);
}

std::string ArmPipeline::requireOnEndpoint(std::string_view link, const HttpResponse& answer,
                                           const char* code, std::string_view what) const {
  // A path is taken on the endpoint; anything else verbatim, for the check to judge.
  std::string url = startsWith(link, "/") ? resolve(link) : std::string(link);
  if (onEndpoint(url)) return url;
  const std::optional<std::string> origin = originOf(url);
  throw ArmError("GET", url, HttpResponse{answer.status, answer.headers, {}}, code,
                 "refusing to fetch " + std::string(what) + " from " +
                     (origin ? *origin : std::string("an address that is not a plain URL")) +
                     ", which is not the Resource Manager endpoint " +
                     originOf(resourceManager_).value_or(resourceManager_) +
                     "; the bearer token is only sent to that endpoint");
}

void ArmPipeline::forEachPage(std::string_view first, const PageHandler& onPage) {
  std::set<std::string> fetched;
  // Pages are fetched with the bearer token, so every page must come from the Resource
  // Manager endpoint itself: a next link elsewhere (a tampered or misdirected answer) would
  // hand the token to whoever it names.
  HttpResponse meta;
  const auto requireHome = [&](std::string_view link) {
    return requireOnEndpoint(link, meta, "ForeignNextLink", "a list page");
  };
  const auto locate = [&](std::string_view link) {
    return startsWith(link, "/") ? resolve(link) : std::string(link);
  };

  std::string url = requireHome(resolve(first));
  const std::string listing = url;
  std::unique_ptr<Call> call = begin("GET", resolve(url), std::nullopt, true);
  for (;;) {
    HttpResponse page = complete(*call);
    call.reset();
    fetched.insert(url);
    // Next links that never repeat would be followed without end; no listing of a real
    // estate comes near this many pages.
    const bool lastAllowed = fetched.size() >= static_cast<std::size_t>(std::max(maxPages_, 1));
    meta = HttpResponse{page.status, page.headers, {}};
    const std::size_t pageSize = page.body.size();

    // The next page is sent for before this one is read, unless the read budget asks for a
    // pause (reading this page then counts towards it) or anything about the link is doubtful
    // (the serial path below then decides, and reports, exactly as without the overlap).
    std::unique_ptr<Call> ahead;
    std::string aheadUrl;
    if (auto link = detail::trailingNextLink(page.body); link && !link->empty() && !lastAllowed) {
      aheadUrl = locate(*link);
      if (!fetched.count(aheadUrl) && onEndpoint(aheadUrl) && paceDelay().count() == 0) {
        try {
          ahead = begin("GET", resolve(aheadUrl), std::nullopt, true, pageSize);
        } catch (const std::exception&) {
          ahead.reset();
        }
      }
    }

    std::optional<std::string> next = onPage(url, std::move(page));
    if (!next || next->empty()) return;
    if (lastAllowed) {
      throw ArmError("GET", listing, meta, "TooManyPages",
                     "the listing still had a next link after " + std::to_string(fetched.size()) +
                         " pages; stopped there, far beyond any real listing (a next link that "
                         "never ends)");
    }
    url = locate(*next);
    if (fetched.count(url)) {
      throw ArmError("GET", url, meta, "RepeatedNextLink",
                     "the next link names a page already fetched in this listing");
    }
    if (ahead && aheadUrl == url) {
      call = std::move(ahead);
      continue;
    }
    ahead.reset();
    requireHome(url);
    call = begin("GET", resolve(url), std::nullopt, true, pageSize);
  }
}

OperationOutcome ArmPipeline::awaitOperation(std::string_view method, std::string_view target,
                                             HttpResponse accepted,
                                             const OperationPolling& polling) {
  OperationOutcome outcome;
  outcome.url = resolve(target);
  if (accepted.status != 202) {
    outcome.result = std::move(accepted);
    return outcome;
  }
  std::optional<std::string> location = accepted.headers.get("Location");
  if (!location || detail::trimBlank(*location).empty()) {
    throw ArmError(method, resolve(target), accepted, "MissingLocation",
                   "Azure accepted the request (HTTP 202) but named no Location to follow it at");
  }
  std::string url = requireOnEndpoint(detail::trimBlank(*location), accepted, "ForeignLocation",
                                      "the result of a long-running operation");
  HttpResponse answer = std::move(accepted);
  while (answer.status == 202) {
    const auto now = retry_.clock ? retry_.clock() : std::chrono::system_clock::now();
    const std::chrono::milliseconds pause = std::max(
        serverRetryDelay(answer.headers, now).value_or(polling.defaultPause), polling.minPause);
    if (outcome.waited + pause > polling.timeLimit) return outcome;
    if (!transport_->offline()) detail::pause(retry_, *transport_, pause);
    outcome.waited += pause;
    outcome.url = url;
    answer = get(url);
    ++outcome.polls;
    if (answer.status != 202) break;
    if (std::optional<std::string> next = answer.headers.get("Location");
        next && !detail::trimBlank(*next).empty()) {
      url = requireOnEndpoint(detail::trimBlank(*next), answer, "ForeignLocation",
                              "the result of a long-running operation");
    }
  }
  outcome.result = std::move(answer);
  return outcome;
}

std::optional<std::string> ArmPipeline::nextLinkOf(const Json& page) {
  if (!page.is_object()) return std::nullopt;
  auto it = page.find("nextLink");
  if (it == page.end() || it->is_null()) return std::nullopt;
  if (!it->is_string()) {
    throw WrongTypeError(std::string("nextLink is a JSON ") + it->type_name() +
                         ", expected a string");
  }
  const auto& link = it->get_ref<const std::string&>();
  if (link.empty()) return std::nullopt;
  return link;
}

Json ArmPipeline::listAll(std::string_view first) {
  Json items = Json::array();
  forEachPage(first, [&](std::string_view url, HttpResponse&& page) -> std::optional<std::string> {
    Json doc;
    try {
      doc = Json::parse(page.body);
    } catch (const Json::parse_error& error) {
      throw ArmError("GET", url, page, "InvalidResponseBody",
                     std::string("list page is not valid JSON (") + error.what() + ")");
    }
    auto value = doc.is_object() ? doc.find("value") : doc.end();
    if (!doc.is_object() || value == doc.end() || !value->is_array()) {
      throw ArmError("GET", url, page, "InvalidResponseBody",
                     "list page has no 'value' array: " + detail::oneLine(page.body, 200));
    }
    for (auto& item : *value) items.push_back(std::move(item));
    try {
      return nextLinkOf(doc);
    } catch (const WrongTypeError& error) {
      throw ArmError("GET", url, page, "InvalidResponseBody", error.what());
    }
  });
  return items;
}

}  // namespace collab::azure

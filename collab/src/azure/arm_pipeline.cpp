#include "collab/azure/arm_pipeline.hpp"

#include <cctype>
#include <set>

#include "collab/azure/arm_error.hpp"
#include "collab/azure/azure_endpoints.hpp"
#include "collab/errors.hpp"
#include "collab/log.hpp"
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

HttpResponse ArmPipeline::send(std::string_view method, std::string_view target,
                               const std::optional<std::string>& jsonBody, bool repeatable) {
  HttpRequest request;
  request.method = std::string(method);
  request.url = resolve(target);
  request.headers.set("Accept", "application/json");
  request.headers.set("x-ms-client-request-id", newRequestId());
  request.freshConnection = !repeatable;
  if (jsonBody) {
    request.headers.set("Content-Type", "application/json");
    request.body = *jsonBody;
  }
  const std::string what = "ARM " + request.method + " " + pathAndQuery(request.url, true);

  detail::RetryLoop loop(retry_, random_);
  AccessToken token = credential_->getToken(false);
  bool refreshed = false;
  int sent = 0;
  for (;;) {
    request.headers.set("Authorization", "Bearer " + token.token);
    HttpResponse response;
    ++sent;
    try {
      response = transport_->send(request);
    } catch (const TransportError& error) {
      if (error.retryable() && repeatable &&
          loop.waitBeforeRetry(nullptr, what, "failed (" + error.detail() + ")")) {
        token = credential_->getToken(false);
        continue;
      }
      throw;
    }
    if (response.ok()) return response;

    if (response.status == 401 && !refreshed) {
      refreshed = true;
      AccessToken fresh = credential_->getToken(true);
      if (fresh.token != token.token) {
        getLogger("netscout")->warn("{} answered HTTP 401; retrying once with a fresh token", what);
        token = std::move(fresh);
        continue;
      }
    }
    if (isRetryableStatus(response.status) && (repeatable || response.status == 429) &&
        loop.waitBeforeRetry(&response.headers, what,
                             "answered HTTP " + std::to_string(response.status))) {
      token = credential_->getToken(false);
      continue;
    }
    throw ArmError(request.method, request.url, response, sent);
  }
}

void ArmPipeline::forEachPage(std::string_view first, const PageHandler& onPage) {
  std::set<std::string> fetched;
  std::string url = resolve(first);
  // Pages are fetched with the bearer token, so every page must come from the Resource
  // Manager endpoint itself: a next link elsewhere (a tampered or misdirected answer) would
  // hand the token to whoever it names.  A replay sends nothing, so it follows recorded links
  // whatever endpoint they were recorded under.
  const std::optional<std::string> home = originOf(resourceManager_);
  const bool checkOrigin = !transport_->offline();
  HttpResponse meta;
  for (;;) {
    if (std::optional<std::string> origin = originOf(url);
        checkOrigin && (!origin || origin != home)) {
      throw ArmError("GET", url, meta, "ForeignNextLink",
                     "refusing to fetch a list page from " +
                         (origin ? *origin : std::string("an address that is not a plain URL")) +
                         ", which is not the Resource Manager endpoint " +
                         home.value_or(resourceManager_) +
                         "; the bearer token is only sent to that endpoint");
    }
    HttpResponse page = get(url);
    fetched.insert(url);
    meta = HttpResponse{page.status, page.headers, {}};
    std::optional<std::string> next = onPage(url, std::move(page));
    if (!next || next->empty()) return;
    // A path is taken on the endpoint; anything else verbatim, for the check above to judge.
    url = startsWith(*next, "/") ? resolve(*next) : *next;
    if (fetched.count(url)) {
      throw ArmError("GET", url, meta, "RepeatedNextLink",
                     "the next link names a page already fetched in this listing");
    }
  }
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

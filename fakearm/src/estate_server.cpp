// EstateServer: HTTP plumbing and what every request goes through before it is answered:
// faults, the request log, the token endpoint, bearer tokens and throttling.
#include <cstdio>

#include "client_assertion.hpp"
#include "server_impl.hpp"
#include "text.hpp"

namespace fakearm {

namespace {

using detail::iequals;
using detail::lower;

// The OAuth error shape of Azure AD, with the trace lines its descriptions end with.
void oauthError(httplib::Response& res, int status, const std::string& error, int code,
                const std::string& description) {
  res.status = status;
  const Json body = {
      {"error", error},
      {"error_description", "AADSTS" + std::to_string(code) + ": " + description +
                                "\r\nTrace ID: 00000000-0000-0000-0000-000000000000"
                                "\r\nCorrelation ID: "
                                "00000000-0000-0000-0000-000000000000"},
      {"error_codes", {code}},
      {"timestamp", "2024-01-01 00:00:00Z"},
      {"trace_id", "00000000-0000-0000-0000-000000000000"},
      {"correlation_id", "00000000-0000-0000-0000-000000000000"},
      {"error_uri", "https://login.microsoftonline.com/error?code=" + std::to_string(code)}};
  res.set_content(body.dump(), "application/json; charset=utf-8");
}

bool isManagementAudience(std::string audience) {
  while (!audience.empty() && audience.back() == '/') audience.pop_back();
  return iequals(audience, "https://management.core.windows.net") ||
         iequals(audience, "https://management.azure.com");
}

}  // namespace

EstateServer::Impl::Impl(ServerOptions opts)
    : options(std::move(opts)), random(std::random_device{}()) {}

void EstateServer::Impl::start(const Json& initial) {
  if (options.tls) {
    http = std::make_unique<httplib::SSLServer>(options.tls->certFile.c_str(),
                                                options.tls->keyFile.c_str());
    if (!http->is_valid()) {
      throw std::runtime_error("cannot serve TLS with certificate '" + options.tls->certFile +
                               "' and key '" + options.tls->keyFile + "'");
    }
  } else {
    http = std::make_unique<httplib::Server>();
  }
  const int threads = std::max(1, options.threads);
  http->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  http->set_keep_alive_max_count(100000);
  http->set_keep_alive_timeout(5);
  http->set_tcp_nodelay(true);
  auto handler = [this](const httplib::Request& req, httplib::Response& res) { serve(req, res); };
  http->Get(".*", handler);
  http->Post(".*", handler);
  http->Put(".*", handler);
  http->Patch(".*", handler);
  http->Delete(".*", handler);

  if (options.port == 0) {
    port = http->bind_to_any_port("127.0.0.1");
  } else if (http->bind_to_port("127.0.0.1", options.port)) {
    port = options.port;
  }
  if (port <= 0) {
    throw std::runtime_error(options.port == 0
                                 ? std::string("cannot bind a port on 127.0.0.1")
                                 : "cannot bind 127.0.0.1:" + std::to_string(options.port));
  }
  base = std::string(options.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port);
  install(initial);
  thread = std::thread([this] { http->listen_after_bind(); });
  while (!http->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void EstateServer::Impl::stop() {
  if (!thread.joinable()) return;
  {
    std::lock_guard lock(mutex);
    stopping = true;
  }
  delayWake.notify_all();
  http->stop();
  // Threads holding idle keep-alive connections would otherwise wait out the keep-alive
  // timeout before the pool can be joined.
  detail::shutdownConnections(port);
  thread.join();
}

void EstateServer::Impl::install(const Json& estateDocument) {
  // Built outside `estateMutex`, so requests go on being served from the old estate meanwhile;
  // installs themselves take turns, so generations go up in the order estates are served.
  std::lock_guard turn(installMutex);
  detail::PagingOptions paging{base, options.pageSize, options.pageSizes, generation + 1};
  auto built = detail::buildServedEstate(estateDocument, paging);
  std::lock_guard lock(estateMutex);
  estate = std::move(built);
  ++generation;
}

std::shared_ptr<const detail::ServedEstate> EstateServer::Impl::snapshot() const {
  std::lock_guard lock(estateMutex);
  return estate;
}

detail::Clock::time_point EstateServer::Impl::now() const {
  return options.clock ? options.clock() : detail::Clock::now();
}

std::string EstateServer::Impl::nextId() {
  char text[40];
  std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012llx",
                static_cast<unsigned long long>(++ids));
  return text;
}

void EstateServer::Impl::serve(const httplib::Request& req, httplib::Response& res) {
  // The way there, and (whatever the answer) the way back: outside every lock.
  const auto there = options.latency / 2;
  std::this_thread::sleep_for(there);
  struct WayBack {
    std::chrono::milliseconds wait;
    ~WayBack() { std::this_thread::sleep_for(wait); }
  } wayBack{options.latency - there};
  const detail::Route route = detail::classify(req.path);
  std::optional<Fault> fault;
  {
    std::lock_guard lock(mutex);
    if (const Fault* hit = faultFor(route.operation, req.target)) fault = *hit;
  }
  if (fault && fault->action == Fault::Action::Drop) {
    record(req, route.operation, 0);
    detail::shutdownConnections(req.local_port, req.remote_port);
    return;
  }
  if (fault && fault->action == Fault::Action::Delay) {
    std::unique_lock lock(mutex);
    ++delayed;
    delayWake.wait_for(lock, fault->delay, [this] { return stopping; });
    --delayed;
  } else if (fault && fault->action == Fault::Action::Fail) {
    std::string message =
        "Injected failure of " + route.operation + " (" + req.method + " " + req.path + ")";
    if (fault->echoRequest) {
      message += "; request Authorization: " + req.get_header_value("Authorization") +
                 "; request body: " + req.body;
    }
    armError(res, fault->status, fault->code, message);
    if (fault->retryAfterSeconds) {
      res.set_header("Retry-After", std::to_string(*fault->retryAfterSeconds));
    }
    record(req, route.operation, res.status);
    return;
  } else if (fault && fault->action == Fault::Action::EndlessPages) {
    std::uint64_t page = 0;
    {
      std::lock_guard lock(mutex);
      page = ++endlessPages;
    }
    const Json body{
        {"value", Json::array()},
        {"nextLink", base + req.path + "?api-version=" + req.get_param_value("api-version") +
                         "&$skiptoken=endless-" + std::to_string(page)}};
    res.set_content(body.dump(), "application/json; charset=utf-8");
    record(req, route.operation, 200);
    return;
  }
  answer(route, req, res);
  if (fault && fault->action == Fault::Action::Truncate) cutShort(res);
  // Logged before httplib writes the answer: a client never sees an answer whose request is
  // not yet in the log.
  // httplib fills in 200 for a handler that set no status, after the handler returns.
  record(req, route.operation, res.status == -1 ? 200 : res.status);
}

void EstateServer::Impl::cutShort(httplib::Response& res) {
  if (!res.content_provider_) {
    // A body held whole: served through a provider like the list pages.
    auto body = std::make_shared<std::string>(std::move(res.body));
    res.body.clear();
    std::string type = res.get_header_value("Content-Type");
    res.headers.erase("Content-Type");
    res.set_content_provider(
        body->size(), type.c_str(),
        [body](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          return sink.write(body->data() + offset, length);
        });
  }
  // The provider is asked for the first half only, then fails: httplib drops the connection.
  const std::size_t half = res.content_length_ / 2;
  res.content_provider_ = [inner = std::move(res.content_provider_), half](
                              std::size_t offset, std::size_t length, httplib::DataSink& sink) {
    if (offset >= half) return false;
    return inner(offset, std::min(length, half - offset), sink);
  };
}

const Fault* EstateServer::Impl::faultFor(const std::string& operation, const std::string& target) {
  for (ActiveFault& active : faults) {
    const Fault& f = active.fault;
    if (!f.operation.empty() && f.operation != operation) continue;
    if (active.pattern && !std::regex_search(target, *active.pattern)) continue;
    const int seen = ++active.seen;
    if (seen >= f.nth && (f.times == 0 || seen < f.nth + f.times)) return &f;
  }
  return nullptr;
}

void EstateServer::Impl::record(const httplib::Request& req, const std::string& operation,
                                int status) {
  RequestRecord entry{req.method, req.target, operation, status, {}};
  if (req.method == "POST" && operation != "token") entry.body = req.body;
  std::lock_guard lock(mutex);
  if (options.onRequest) options.onRequest(entry);
  if (options.keepRequestLog) log.push_back(std::move(entry));
  ++counts[operation];
}

void EstateServer::Impl::answer(const detail::Route& route, const httplib::Request& req,
                                httplib::Response& res) {
  if (route.operation == "unknown") {
    armError(res, 404, "NotFound",
             "No Azure operation is served at " + req.method + " " + req.path + ".");
    return;
  }
  if (req.method != route.method) {
    armError(res, 405, "MethodNotAllowed",
             "The method " + req.method + " is not allowed for " + route.operation + ".");
    return;
  }
  if (route.operation == "token") {
    answerToken(route, req, res);
    return;
  }
  if (route.operation.starts_with("managedIdentity.")) {
    answerManagedIdentity(route, req, res);
    return;
  }
  res.set_header("x-ms-request-id", nextId());
  res.set_header("x-ms-correlation-request-id", nextId());
  if (req.get_param_value("api-version").empty()) {
    armError(res, 400, "MissingApiVersionParameter",
             "The api-version query parameter (?api-version=) is required for all requests.");
    return;
  }
  auto served = snapshot();
  std::optional<std::size_t> principal = principalOf(*served, req, res);
  if (!principal) return;
  if (route.operation == "resourceGraph") {
    answerResourceGraph(*served, *principal, req, res);
  } else {
    answerArm(route, *served, *principal, req, res);
  }
}

void EstateServer::Impl::answerToken(const detail::Route& route, const httplib::Request& req,
                                     httplib::Response& res) {
  auto served = snapshot();
  const bool v2 = req.path.find("/v2.0/") != std::string::npos;
  if (req.get_param_value("grant_type") != "client_credentials") {
    oauthError(
        res, 400, "unsupported_grant_type", 70003,
        "The app requested an unsupported grant type '" + req.get_param_value("grant_type") + "'.");
    return;
  }
  if (!served->tenants.count(lower(route.tenant))) {
    oauthError(res, 400, "invalid_request", 90002,
               "Tenant '" + route.tenant +
                   "' not found. Check to make sure you have the correct "
                   "tenant ID and are signing into the correct cloud.");
    return;
  }
  const std::string appId = req.get_param_value("client_id");
  std::optional<std::size_t> index = served->findPrincipal(route.tenant, appId);
  if (!index) {
    oauthError(res, 400, "unauthorized_client", 700016,
               "Application with identifier '" + appId + "' was not found in the directory '" +
                   route.tenant + "'.");
    return;
  }
  const detail::Principal& principal = served->principals[*index];
  const std::string secret = req.get_param_value("client_secret");
  const std::string assertion = req.get_param_value("client_assertion");
  if (!assertion.empty()) {
    if (req.get_param_value("client_assertion_type") !=
        "urn:ietf:params:oauth:client-assertion-type:jwt-bearer") {
      oauthError(res, 400, "invalid_request", 900144,
                 "The request body must contain the following parameter: "
                 "'client_assertion_type' with the value "
                 "'urn:ietf:params:oauth:client-assertion-type:jwt-bearer'.");
      return;
    }
    // The audience a certificate's assertion must name: this endpoint's own URL.
    if (auto refusal = detail::checkClientAssertion(principal, assertion, base + req.path,
                                                    std::chrono::system_clock::now())) {
      oauthError(res, refusal->status, refusal->error, refusal->code, refusal->description);
      return;
    }
  } else if (secret.empty()) {
    oauthError(res, 401, "invalid_client", 7000216,
               "'client_assertion', 'client_secret' or 'request' is required for the "
               "'client_credentials' grant type.");
    return;
  } else if (principal.secret.empty() || secret != principal.secret) {
    oauthError(res, 401, "invalid_client", 7000215,
               "Invalid client secret provided. Ensure the secret being sent in the request is "
               "the client secret value, not the client secret ID, for a secret added to app '" +
                   appId + "'.");
    return;
  }
  std::string audience = v2 ? req.get_param_value("scope") : req.get_param_value("resource");
  if (v2) {
    const std::string suffix = "/.default";
    if (audience.size() < suffix.size() ||
        audience.compare(audience.size() - suffix.size(), suffix.size(), suffix) != 0) {
      oauthError(res, 400, "invalid_scope", 1002012,
                 "The provided value for scope " + audience +
                     " is not valid. Client credential "
                     "flows must have a scope value with /.default suffixed to the resource "
                     "identifier.");
      return;
    }
    audience.resize(audience.size() - suffix.size());
  }
  if (!isManagementAudience(audience)) {
    oauthError(res, 400, "invalid_resource", 500011,
               "The resource principal named " + audience + " was not found in the tenant '" +
                   route.tenant + "'.");
    return;
  }

  const auto issued = std::chrono::system_clock::now();
  const auto expires = issued + options.tokenLifetime;
  const std::string token = issueToken(principal, issued);
  const long long lifetime = options.tokenLifetime.count();
  const auto epoch = [](std::chrono::system_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
  };
  Json body;
  if (v2) {
    // The v2 endpoint sends its numbers as numbers...
    body = {{"token_type", "Bearer"},
            {"expires_in", lifetime},
            {"ext_expires_in", lifetime},
            {"access_token", token}};
  } else {
    // ...and v1 as text.
    body = {{"token_type", "Bearer"},
            {"expires_in", std::to_string(lifetime)},
            {"ext_expires_in", std::to_string(lifetime)},
            {"expires_on", std::to_string(epoch(expires))},
            {"not_before", std::to_string(epoch(issued))},
            {"resource", req.get_param_value("resource")},
            {"access_token", token}};
  }
  res.set_content(body.dump(), "application/json; charset=utf-8");
}

std::string EstateServer::Impl::issueToken(const detail::Principal& principal,
                                           std::chrono::system_clock::time_point issued) {
  std::string token = "fakearm.";
  std::lock_guard lock(mutex);
  char part[17];
  for (int i = 0; i < 3; ++i) {
    std::snprintf(part, sizeof part, "%016llx", static_cast<unsigned long long>(random()));
    token += part;
  }
  tokens[token] = {principal.tenantId, principal.appId, issued + options.tokenLifetime};
  return token;
}

void EstateServer::Impl::answerManagedIdentity(const detail::Route& route,
                                               const httplib::Request& req,
                                               httplib::Response& res) {
  auto refuse = [&](int status, const std::string& error, const std::string& description) {
    res.status = status;
    res.set_content(Json{{"error", error}, {"error_description", description}}.dump(),
                    "application/json; charset=utf-8");
  };
  const bool metadata = route.operation == "managedIdentity.metadata";
  if (metadata && req.get_header_value("Metadata") != "true") {
    refuse(400, "invalid_request", "Required metadata header not specified");
    return;
  }
  if (!metadata && req.get_header_value("X-IDENTITY-HEADER") != options.identityHeader) {
    refuse(401, "unauthorized", "The X-IDENTITY-HEADER is missing or does not match.");
    return;
  }
  if (req.get_param_value("api-version").empty()) {
    refuse(400, "invalid_request", "Required query variable 'api-version' is missing");
    return;
  }
  const std::string resource = req.get_param_value("resource");
  if (!isManagementAudience(resource)) {
    refuse(400, "invalid_resource",
           "AADSTS500011: The resource principal named " + resource + " was not found.");
    return;
  }
  // The system-assigned identity unless a client id names a user-assigned one.
  auto served = snapshot();
  const std::string clientId = req.get_param_value("client_id");
  const detail::Principal* identity = nullptr;
  for (const auto& principal : served->principals) {
    if (principal.managedIdentity.empty()) continue;
    if (clientId.empty() ? principal.managedIdentity == "system"
                         : iequals(principal.appId, clientId)) {
      identity = &principal;
      break;
    }
  }
  if (!identity) {
    refuse(400, "invalid_request", "Identity not found");
    return;
  }
  const auto issued = std::chrono::system_clock::now();
  const std::string token = issueToken(*identity, issued);
  const auto epoch = [](std::chrono::system_clock::time_point t) {
    return std::to_string(
        std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count());
  };
  const Json body{{"access_token", token},
                  {"client_id", identity->appId},
                  {"expires_in", std::to_string(options.tokenLifetime.count())},
                  {"expires_on", epoch(issued + options.tokenLifetime)},
                  {"ext_expires_in", std::to_string(options.tokenLifetime.count())},
                  {"not_before", epoch(issued)},
                  {"resource", resource},
                  {"token_type", "Bearer"}};
  res.set_content(body.dump(), "application/json; charset=utf-8");
}

std::optional<std::size_t> EstateServer::Impl::principalOf(const detail::ServedEstate& served,
                                                           const httplib::Request& req,
                                                           httplib::Response& res) {
  const std::string header = req.get_header_value("Authorization");
  const std::string scheme = "Bearer ";
  res.set_header("WWW-Authenticate",
                 "Bearer authorization_uri=\"" + base + "/\", error=\"invalid_token\"");
  if (header.empty()) {
    armError(res, 401, "AuthenticationFailed",
             "Authentication failed. The 'Authorization' header is missing.");
    return std::nullopt;
  }
  if (header.size() <= scheme.size() || !iequals(header.substr(0, scheme.size()), scheme)) {
    armError(res, 401, "AuthenticationFailedInvalidHeader",
             "Authentication failed. The 'Authorization' header is provided in an invalid "
             "format.");
    return std::nullopt;
  }
  std::optional<Grant> grant;
  {
    std::lock_guard lock(mutex);
    auto it = tokens.find(header.substr(scheme.size()));
    if (it != tokens.end()) grant = it->second;
  }
  if (!grant) {
    armError(res, 401, "InvalidAuthenticationToken", "The access token is invalid.");
    return std::nullopt;
  }
  if (std::chrono::system_clock::now() >= grant->expires) {
    armError(res, 401, "ExpiredAuthenticationToken",
             "The access token expiry UTC time is earlier than current UTC time.");
    return std::nullopt;
  }
  std::optional<std::size_t> principal = served.findPrincipal(grant->tenant, grant->appId);
  if (!principal) {
    armError(res, 401, "InvalidAuthenticationToken",
             "The access token is invalid: application '" + grant->appId +
                 "' no longer exists in tenant '" + grant->tenant + "'.");
    return std::nullopt;
  }
  res.headers.erase("WWW-Authenticate");
  return principal;
}

bool EstateServer::Impl::admit(const detail::Route& route, const detail::Principal& principal,
                               httplib::Response& res) {
  if (!options.throttle) return true;
  const ThrottleOptions& limits = *options.throttle;
  const auto at = now();
  std::lock_guard lock(mutex);
  const std::string actor = lower(principal.appId);
  if (route.operation == "resourceGraph") {
    if (limits.graphQueries <= 0) return true;
    auto [it, fresh] = graphQuotas.try_emplace(actor, limits.graphQueries, limits.graphWindow, at);
    const bool ok = it->second.take(at);
    const int reset = it->second.secondsUntilReset(at);
    char resets[16];
    std::snprintf(resets, sizeof resets, "%02d:%02d:%02d", reset / 3600, reset / 60 % 60,
                  reset % 60);
    res.set_header("x-ms-user-quota-remaining", std::to_string(it->second.remaining()));
    res.set_header("x-ms-user-quota-resets-after", resets);
    if (ok) return true;
    armError(res, 429, "RateLimiting",
             "Please provide below info when asking for support: Client application '" +
                 principal.appId + "' has exceeded its Resource Graph query quota.");
    res.set_header("Retry-After", std::to_string(reset));
    return false;
  }
  const bool write = route.method == "POST";
  if ((write ? limits.writes : limits.reads) <= 0) return true;
  const bool tenantScope = route.subscription.empty();
  const std::string scope = tenantScope ? "tenant" : "subscription";
  const std::string kind = write ? "writes" : "reads";
  auto [it, fresh] =
      buckets.try_emplace(scope + "|" + lower(route.subscription) + "|" + actor + "|" + kind,
                          write ? limits.writes : limits.reads,
                          write ? limits.writeRefillPerSecond : limits.readRefillPerSecond, at);
  const bool ok = it->second.take(at);
  res.set_header("x-ms-ratelimit-remaining-" + scope + "-" + kind,
                 std::to_string(it->second.remaining()));
  if (ok) return true;
  const int wait = it->second.secondsUntilToken();
  armError(res, 429, tenantScope ? "TenantRequestsThrottled" : "SubscriptionRequestsThrottled",
           "Number of '" + std::string(write ? "write" : "read") + "' requests for " + scope +
               (tenantScope ? "" : " '" + route.subscription + "'") + " actor '" + principal.appId +
               "' exceeded. Please try again after '" + std::to_string(wait) +
               "' seconds after additional tokens are available.");
  res.set_header("Retry-After", std::to_string(wait));
  return false;
}

void EstateServer::Impl::armError(httplib::Response& res, int status, const std::string& code,
                                  const std::string& message) const {
  res.status = status;
  res.set_content(Json{{"error", {{"code", code}, {"message", message}}}}.dump(),
                  "application/json; charset=utf-8");
}

// ---- EstateServer ---------------------------------------------------------------------------

EstateServer::EstateServer(const Json& estate, ServerOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {
  impl_->start(estate);
}

EstateServer::~EstateServer() { impl_->stop(); }

void EstateServer::stop() { impl_->stop(); }

int EstateServer::port() const { return impl_->port; }

std::string EstateServer::baseUrl() const { return impl_->base; }

void EstateServer::setEstate(const Json& estate) { impl_->install(estate); }

void EstateServer::addFault(Fault fault) {
  Impl::ActiveFault active{std::move(fault), std::nullopt, 0};
  if (!active.fault.pathPattern.empty()) active.pattern.emplace(active.fault.pathPattern);
  std::lock_guard lock(impl_->mutex);
  impl_->faults.push_back(std::move(active));
}

void EstateServer::clearFaults() {
  std::lock_guard lock(impl_->mutex);
  impl_->faults.clear();
}

std::vector<RequestRecord> EstateServer::requestLog() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->log;
}

std::size_t EstateServer::delayedNow() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->delayed;
}

std::size_t EstateServer::operationCount(std::string_view operation) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->counts.find(std::string(operation));
  return it == impl_->counts.end() ? 0 : it->second;
}

std::map<std::string, std::size_t> EstateServer::operationCounts() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->counts;
}

void EstateServer::clearRequestLog() {
  std::lock_guard lock(impl_->mutex);
  impl_->log.clear();
  impl_->counts.clear();
}

}  // namespace fakearm

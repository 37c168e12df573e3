#include "collab/azure/recording_transport.hpp"

#include <cstdio>
#include <fstream>
#include <functional>

#include "cassette_format.hpp"
#include "collab/log.hpp"
#include "url_text.hpp"

namespace collab::azure {

RecordingTransport::RecordingTransport(std::shared_ptr<Transport> inner, std::string path)
    : inner_(std::move(inner)), path_(std::move(path)) {
  if (!inner_) throw std::invalid_argument("RecordingTransport needs an inner transport");
}

RecordingTransport::~RecordingTransport() {
  bool unsaved = false;
  {
    std::lock_guard lock(mutex_);
    unsaved = dirty_;
  }
  if (!unsaved) return;
  try {
    save();
  } catch (const std::exception& error) {
    getLogger("netscout")->error("cassette {} not saved: {}", path_, error.what());
  }
}

// One exchange being recorded: the request as stored, and the secrets seen in it.
struct RecordingTransport::Exchange {
  Json json = Json::object();
  std::set<std::string> found;
};

RecordingTransport::Exchange RecordingTransport::describe(const HttpRequest& request) const {
  Exchange exchange;
  Json& req = exchange.json["request"];
  req["method"] = request.method;
  req["path"] = detail::pathAndQueryWithoutSecrets(request.url);
  req["headers"] =
      detail::storeHeaders(request.headers, {"authorization", "cookie", "x-identity-header"});
  // The secret an App Service identity endpoint is asked with, should it pass through.
  if (auto identity = request.headers.get("X-IDENTITY-HEADER"); identity && !identity->empty())
    exchange.found.insert(*identity);
  if (auto authorization = request.headers.get("Authorization")) {
    std::string_view value = *authorization;
    if (std::size_t space = value.find(' '); space != std::string_view::npos) {
      exchange.found.insert(std::string(value.substr(space + 1)));
    }
    exchange.found.insert(*authorization);
  }
  if (detail::isFormBody(request.headers)) {
    detail::storeBody(req, detail::redactForm(request.body, &exchange.found));
  } else {
    detail::storeBody(req, request.body);
  }
  return exchange;
}

void RecordingTransport::keep(Exchange&& exchange) {
  std::lock_guard lock(mutex_);
  for (const std::string& secret : exchange.found) detail::addSecret(secrets_, secret);
  exchanges_.push_back(std::move(exchange.json));
  dirty_ = true;
}

HttpResponse RecordingTransport::record(Exchange&& exchange, PendingSend& pending) {
  HttpResponse response;
  try {
    response = pending.finish();
  } catch (const TransportError& error) {
    exchange.json["error"] = {{"detail", error.detail()}, {"retryable", error.retryable()}};
    keep(std::move(exchange));
    throw;
  }
  Json& res = exchange.json["response"];
  res["status"] = response.status;
  res["headers"] = detail::storeHeaders(
      response.headers, {"set-cookie", "connection", "keep-alive", "transfer-encoding",
                         "content-encoding", "content-length"});
  detail::storeBody(res, response.body);
  if (auto json = res.find("json"); json != res.end()) {
    detail::redactTokenMembers(*json, kRedactedToken, exchange.found);
  }
  keep(std::move(exchange));
  return response;
}

HttpResponse RecordingTransport::send(const HttpRequest& request) {
  Exchange exchange = describe(request);
  HttpResponse response;
  try {
    response = inner_->send(request);
  } catch (const TransportError&) {
    FinishedSend failed(std::current_exception());
    return record(std::move(exchange), failed);
  }
  FinishedSend answered(std::move(response));
  return record(std::move(exchange), answered);
}

namespace {

// Records the exchange when its answer is collected; one abandoned unread is not recorded.
class RecordedSend final : public PendingSend {
 public:
  using Finish = std::function<HttpResponse(PendingSend&)>;
  RecordedSend(std::unique_ptr<PendingSend> inner, Finish finish)
      : inner_(std::move(inner)), finish_(std::move(finish)) {}
  void poll() override { inner_->poll(); }
  HttpResponse finish() override { return finish_(*inner_); }

 private:
  std::unique_ptr<PendingSend> inner_;
  Finish finish_;
};

}  // namespace

std::unique_ptr<PendingSend> RecordingTransport::start(const HttpRequest& request) {
  auto exchange = std::make_shared<Exchange>(describe(request));
  return std::make_unique<RecordedSend>(
      inner_->start(request),
      [this, exchange](PendingSend& inner) { return record(std::move(*exchange), inner); });
}

Json RecordingTransport::cassette() const {
  std::lock_guard lock(mutex_);
  Json exchanges = exchanges_;
  // Secrets learnt late (a token first seen in a later answer) are scrubbed everywhere.
  detail::scrubSecrets(exchanges, secrets_);
  Json doc = Json::object();
  doc["format"] = detail::kCassetteFormat;
  doc["version"] = detail::kCassetteVersion;
  doc["exchanges"] = std::move(exchanges);
  return doc;
}

void RecordingTransport::save(const std::function<void(std::string_view text)>& write) {
  write(cassette().dump(2, ' ', false, Json::error_handler_t::replace) + "\n");
  std::lock_guard lock(mutex_);
  dirty_ = false;
}

void RecordingTransport::save() {
  std::string text = cassette().dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
  std::string temporary = path_ + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write cassette '" + temporary + "'");
    out << text;
    out.close();
    if (!out) throw std::runtime_error("cannot write cassette '" + temporary + "'");
  }
  if (std::rename(temporary.c_str(), path_.c_str()) != 0) {
    std::remove(temporary.c_str());
    throw std::runtime_error("cannot replace cassette '" + path_ + "'");
  }
  std::lock_guard lock(mutex_);
  dirty_ = false;
}

}  // namespace collab::azure

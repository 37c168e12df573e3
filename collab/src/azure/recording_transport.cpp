#include "collab/azure/recording_transport.hpp"

#include <cstdio>
#include <fstream>

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

HttpResponse RecordingTransport::send(const HttpRequest& request) {
  std::set<std::string> found;
  Json exchange = Json::object();
  Json& req = exchange["request"];
  req["method"] = request.method;
  req["path"] = detail::pathAndQueryWithoutSecrets(request.url);
  req["headers"] = detail::storeHeaders(request.headers, {"authorization", "cookie"});
  if (auto authorization = request.headers.get("Authorization")) {
    std::string_view value = *authorization;
    if (std::size_t space = value.find(' '); space != std::string_view::npos) {
      found.insert(std::string(value.substr(space + 1)));
    }
    found.insert(*authorization);
  }
  if (detail::isFormBody(request.headers)) {
    detail::storeBody(req, detail::redactForm(request.body, &found));
  } else {
    detail::storeBody(req, request.body);
  }

  auto remember = [&] {
    std::lock_guard lock(mutex_);
    for (const std::string& secret : found) detail::addSecret(secrets_, secret);
    exchanges_.push_back(std::move(exchange));
    dirty_ = true;
  };

  HttpResponse response;
  try {
    response = inner_->send(request);
  } catch (const TransportError& error) {
    exchange["error"] = {{"detail", error.detail()}, {"retryable", error.retryable()}};
    remember();
    throw;
  }
  Json& res = exchange["response"];
  res["status"] = response.status;
  res["headers"] = detail::storeHeaders(
      response.headers, {"set-cookie", "connection", "keep-alive", "transfer-encoding",
                         "content-encoding", "content-length"});
  detail::storeBody(res, response.body);
  if (auto json = res.find("json"); json != res.end()) {
    detail::redactTokenMembers(*json, kRedactedToken, found);
  }
  remember();
  return response;
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

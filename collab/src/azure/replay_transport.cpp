#include "collab/azure/replay_transport.hpp"

#include <algorithm>
#include <fstream>

#include "cassette_format.hpp"
#include "url_text.hpp"

namespace collab::azure {

namespace {

Json readCassette(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read cassette '" + path + "'");
  Json doc = Json::parse(in, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded()) throw std::runtime_error("cassette '" + path + "' is not valid JSON");
  return doc;
}

// The recorded body of an exchange equals what `request` sends: JSON compared as JSON, form
// bodies after the same redaction the recorder applied, anything else byte for byte.
bool sameBody(const Json& recorded, const HttpRequest& request) {
  std::string body =
      detail::isFormBody(request.headers) ? detail::redactForm(request.body) : request.body;
  Json mine = Json::object();
  detail::storeBody(mine, body);
  return mine.value("json", Json()) == recorded.value("json", Json()) &&
         mine.value("text", std::string()) == recorded.value("text", std::string());
}

}  // namespace

ReplayMissError::ReplayMissError(std::string method, std::string_view url, std::string detail)
    : TransportError(std::move(method), url, std::move(detail), /*retryable=*/false) {}

ReplayTransport::ReplayTransport(const std::string& path)
    : ReplayTransport(readCassette(path), path) {}

ReplayTransport::ReplayTransport(const Json& cassette, std::string name) : name_(std::move(name)) {
  if (!cassette.is_object() || cassette.value("format", "") != detail::kCassetteFormat ||
      !cassette.contains("exchanges") || !cassette["exchanges"].is_array()) {
    throw std::runtime_error("'" + name_ + "' is not a cassette (format '" +
                             detail::kCassetteFormat + "' with an exchanges array expected)");
  }
  exchanges_ = cassette["exchanges"];
  used_.assign(exchanges_.size(), false);
}

std::size_t ReplayTransport::remaining() const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(std::count(used_.begin(), used_.end(), false));
}

HttpResponse ReplayTransport::send(const HttpRequest& request) {
  std::string path = detail::pathAndQueryWithoutSecrets(request.url);
  std::lock_guard lock(mutex_);
  int samePathUsed = 0;
  int samePathOtherBody = 0;
  for (std::size_t i = 0; i < exchanges_.size(); ++i) {
    const Json& recorded = exchanges_[i].at("request");
    if (recorded.value("method", "") != request.method || recorded.value("path", "") != path) {
      continue;
    }
    if (!sameBody(recorded, request)) {
      ++samePathOtherBody;
      continue;
    }
    if (used_[i]) {
      ++samePathUsed;
      continue;
    }
    used_[i] = true;
    const Json& exchange = exchanges_[i];
    if (auto error = exchange.find("error"); error != exchange.end()) {
      throw TransportError(request.method, request.url, error->value("detail", "recorded failure"),
                           error->value("retryable", false));
    }
    const Json& recordedResponse = exchange.at("response");
    HttpResponse response;
    response.status = recordedResponse.value("status", 0);
    if (auto headers = recordedResponse.find("headers"); headers != recordedResponse.end()) {
      for (auto it = headers->begin(); it != headers->end(); ++it) {
        response.headers.add(it.key(), it->is_string() ? it->get<std::string>() : it->dump());
      }
    }
    response.body = detail::loadBody(recordedResponse);
    return response;
  }
  std::string detail =
      "cassette '" + name_ + "' has no recorded answer for " + request.method + " " + path;
  if (samePathUsed > 0) {
    detail += " left (all " + std::to_string(samePathUsed) + " recorded answers already replayed)";
  } else if (samePathOtherBody > 0) {
    detail += " with this body (" + std::to_string(samePathOtherBody) +
              " recorded with a different body)";
  }
  throw ReplayMissError(request.method, request.url, detail);
}

}  // namespace collab::azure

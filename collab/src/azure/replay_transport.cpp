#include "collab/azure/replay_transport.hpp"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <optional>

#include "cassette_format.hpp"
#include "collab/json_nesting.hpp"
#include "token_request.hpp"
#include "url_text.hpp"

namespace collab::azure {

namespace {

std::string readCassette(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read cassette '" + path + "'");
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) throw std::runtime_error("cannot read cassette '" + path + "'");
  return text;
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

// What is wrong with one recorded exchange for replay to use it, or "" when nothing is.
std::string problemOf(const Json& exchange) {
  auto memberProblem = [](const Json& object, const char* key, bool (Json::*isType)() const,
                          const char* type, bool required) -> std::string {
    auto it = object.find(key);
    if (it == object.end()) return required ? std::string("no '") + key + "'" : std::string();
    if (!((*it).*isType)()) return std::string("'") + key + "' is not " + type;
    return {};
  };
  auto headersProblem = [&](const Json& object) -> std::string {
    std::string problem = memberProblem(object, "headers", &Json::is_object, "an object", false);
    if (!problem.empty() || !object.contains("headers")) return problem;
    for (const auto& value : object["headers"]) {
      if (!value.is_string()) return "a header value is not text";
    }
    return {};
  };
  if (!exchange.is_object()) return "it is not an object";
  std::string problem = memberProblem(exchange, "request", &Json::is_object, "an object", true);
  if (!problem.empty()) return problem;
  const Json& request = exchange["request"];
  for (const char* key : {"method", "path"}) {
    problem = memberProblem(request, key, &Json::is_string, "text", true);
    if (!problem.empty()) return "request: " + problem;
  }
  problem = memberProblem(request, "text", &Json::is_string, "text", false);
  if (problem.empty()) problem = headersProblem(request);
  if (!problem.empty()) return "request: " + problem;

  if (auto error = exchange.find("error"); error != exchange.end()) {
    if (!error->is_object()) return "'error' is not an object";
    problem = memberProblem(*error, "detail", &Json::is_string, "text", false);
    if (problem.empty()) {
      problem = memberProblem(*error, "retryable", &Json::is_boolean, "true or false", false);
    }
    return problem.empty() ? problem : "error: " + problem;
  }
  problem = memberProblem(exchange, "response", &Json::is_object, "an object", true);
  if (!problem.empty()) return problem + " (and no 'error')";
  const Json& response = exchange["response"];
  problem = memberProblem(response, "status", &Json::is_number_integer, "a whole number", true);
  if (problem.empty() && (response["status"] < 100 || response["status"] > 599)) {
    problem = "'status' is not an HTTP status";
  }
  if (problem.empty()) problem = memberProblem(response, "text", &Json::is_string, "text", false);
  if (problem.empty()) problem = headersProblem(response);
  return problem.empty() ? problem : "response: " + problem;
}

// A recorded token answer made as fresh as it was when recorded: its absolute times
// (`expires_on`, `not_before`) moved so that it expires `expires_in` seconds from now, each kept
// as text or number as recorded.  Left as recorded, the token of a cassette older than the
// token's lifetime (an hour) would be expired on arrival, and every credential would ask for
// another one, which the cassette does not hold.  Nothing for any other answer.
std::optional<Json> freshTokenAnswer(const Json& recorded) {
  if (!recorded.is_object() || !recorded.contains("access_token")) return std::nullopt;
  const auto lifetime = detail::integerMember(recorded, "expires_in");
  const auto expiresOn = detail::integerMember(recorded, "expires_on");
  if (!lifetime || !expiresOn) return std::nullopt;
  const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
  const std::int64_t shift = now + *lifetime - *expiresOn;
  Json answer = recorded;
  for (const char* key : {"expires_on", "not_before"}) {
    const auto time = detail::integerMember(answer, key);
    if (!time) continue;
    Json& member = answer[key];
    member = member.is_string() ? Json(std::to_string(*time + shift)) : Json(*time + shift);
  }
  return answer;
}

}  // namespace

ReplayMissError::ReplayMissError(std::string method, std::string_view url, std::string detail)
    : TransportError(std::move(method), url, std::move(detail), /*retryable=*/false) {}

ReplayTransport::ReplayTransport(const std::string& path)
    : ReplayTransport(parseCassette(readCassette(path), path), path) {}

Json ReplayTransport::parseCassette(std::string_view text, const std::string& name) {
  // Refused before parsing: every exchange is copied and compared, which recurses per level.
  if (jsonNestingDepth(text) > kMaxJsonNesting) {
    throw std::runtime_error("'" + name +
                             "' is not a usable cassette: its JSON nests deeper than " +
                             std::to_string(kMaxJsonNesting) + " levels");
  }
  Json doc = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded()) throw std::runtime_error("cassette '" + name + "' is not valid JSON");
  return doc;
}

ReplayTransport::ReplayTransport(const Json& cassette, std::string name) : name_(std::move(name)) {
  if (!cassette.is_object() || !cassette.contains("format") ||
      cassette["format"] != detail::kCassetteFormat || !cassette.contains("exchanges") ||
      !cassette["exchanges"].is_array()) {
    throw std::runtime_error("'" + name_ + "' is not a cassette (format '" +
                             detail::kCassetteFormat + "' with an exchanges array expected)");
  }
  // A later version may mean something else by the same members: replaying it as this one
  // would be a guess.
  const auto version = cassette.find("version");
  if (version == cassette.end() || !version->is_number_integer() ||
      *version != detail::kCassetteVersion) {
    throw std::runtime_error(
        "'" + name_ + "' is not a usable cassette: version " +
        (version == cassette.end() ? std::string("missing") : version->dump()) +
        ", this program replays version " + std::to_string(detail::kCassetteVersion));
  }
  exchanges_ = cassette["exchanges"];
  // Checked up front, so that replaying can only answer, throw a recorded failure or miss.
  for (std::size_t i = 0; i < exchanges_.size(); ++i) {
    if (std::string problem = problemOf(exchanges_[i]); !problem.empty()) {
      throw std::runtime_error("'" + name_ + "' is not a usable cassette: exchange " +
                               std::to_string(i + 1) + ": " + problem);
    }
  }
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
    if (recorded["method"] != request.method || recorded["path"] != path) {
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
        response.headers.add(it.key(), it->get<std::string>());
      }
    }
    const auto json = recordedResponse.find("json");
    const auto token =
        json != recordedResponse.end() ? freshTokenAnswer(*json) : std::optional<Json>();
    response.body = token ? token->dump() : detail::loadBody(recordedResponse);
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

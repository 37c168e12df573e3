#pragma once
// The cassette reader: any file is refused as "not a cassette", not JSON or not usable (too
// deeply nested, another version) with std::runtime_error, or loaded; a loaded cassette answers
// each request it recorded with an answer, a recorded failure or a ReplayMissError (all
// TransportError), never with another exception.
#include <string>
#include <string_view>

#include "check.hpp"
#include "collab/azure/replay_transport.hpp"

namespace kx::fuzz {

namespace detail {

// The request an exchange recorded, as far as its members have the right types.
inline collab::azure::HttpRequest recordedRequest(const collab::Json& exchange) {
  collab::azure::HttpRequest request;
  request.method = "GET";
  request.url = "http://127.0.0.1/";
  const collab::Json* recorded = nullptr;
  if (exchange.is_object() && exchange.contains("request")) recorded = &exchange["request"];
  if (!recorded || !recorded->is_object()) return request;
  auto text = [&](const char* key) -> const std::string* {
    auto it = recorded->find(key);
    return it != recorded->end() && it->is_string() ? &it->get_ref<const std::string&>() : nullptr;
  };
  if (auto method = text("method")) request.method = *method;
  if (auto path = text("path")) request.url = "http://127.0.0.1" + *path;
  if (auto json = recorded->find("json"); json != recorded->end()) request.body = json->dump();
  if (auto body = text("text")) request.body = *body;
  if (auto headers = recorded->find("headers");
      headers != recorded->end() && headers->is_object()) {
    for (auto it = headers->begin(); it != headers->end(); ++it) {
      if (it->is_string()) request.headers.add(it.key(), it->get<std::string>());
    }
  }
  return request;
}

}  // namespace detail

inline void checkCassette(std::string_view input) {
  using namespace collab::azure;
  collab::Json doc;
  std::optional<ReplayTransport> replay;
  try {
    doc = ReplayTransport::parseCassette(input, "fuzzed cassette");
    replay.emplace(doc, "fuzzed cassette");
  } catch (const std::runtime_error&) {
    return;
  } catch (const std::exception& error) {
    throw CheckFailure(std::string("loading a cassette threw another exception: ") + error.what());
  }
  const collab::Json& exchanges = doc["exchanges"];
  for (const auto& exchange : exchanges) {
    try {
      HttpResponse answer = replay->send(detail::recordedRequest(exchange));
      (void)answer;
    } catch (const TransportError&) {
      // A recorded failure, or nothing left to answer with: both are documented outcomes.
    } catch (const std::exception& error) {
      throw CheckFailure(std::string("replaying an exchange threw another exception: ") +
                         error.what());
    }
  }
  expect(replay->remaining() <= exchanges.size(), "more exchanges remain than were recorded");
}

}  // namespace kx::fuzz

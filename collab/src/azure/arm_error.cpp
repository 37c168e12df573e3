#include "collab/azure/arm_error.hpp"

#include <nlohmann/json.hpp>

#include "text_util.hpp"

namespace collab::azure {

namespace {

std::string stringMember(const nlohmann::json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::string errorMessage(std::string_view method, const std::string& path, int status,
                         const ErrorDetails& details, int attempts,
                         const std::optional<std::string>& requestId,
                         const std::optional<std::string>& correlationId) {
  std::string text = "ARM " + std::string(method) + " " + path + ": HTTP " + std::to_string(status);
  if (!details.code.empty()) text += " " + details.code;
  text += ": " + details.message;
  if (attempts > 1) text += " (after " + std::to_string(attempts) + " attempts)";
  if (requestId || correlationId) {
    text += " [";
    if (requestId) text += "x-ms-request-id: " + *requestId;
    if (requestId && correlationId) text += ", ";
    if (correlationId) text += "x-ms-correlation-request-id: " + *correlationId;
    text += "]";
  }
  return text;
}

}  // namespace

ErrorDetails parseErrorBody(std::string_view body) {
  std::string_view content = detail::trimBlank(body);
  if (content.empty()) return {"", "(empty response body)"};
  nlohmann::json doc = nlohmann::json::parse(content, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded()) {
    return {"", "(non-JSON response body: " + detail::oneLine(content, 200) + ")"};
  }
  if (doc.is_object()) {
    auto error = doc.find("error");
    if (error != doc.end() && error->is_object()) {
      ErrorDetails details{stringMember(*error, "code"), stringMember(*error, "message")};
      if (details.message.empty()) details.message = "(error without a message)";
      return details;
    }
    if (error != doc.end() && error->is_string()) {
      std::string description = stringMember(doc, "error_description");
      ErrorDetails details{error->get<std::string>(), detail::firstLine(description)};
      if (details.message.empty()) details.message = "(error without a description)";
      return details;
    }
    // A few older providers put code and message at the top level.
    std::string code = stringMember(doc, "code");
    std::string message = stringMember(doc, "message");
    if (!code.empty() || !message.empty()) {
      return {code, message.empty() ? "(error without a message)" : message};
    }
  }
  return {"", "(response body without an error object: " + detail::oneLine(content, 200) + ")"};
}

ArmError::ArmError(std::string_view method, std::string_view url, const HttpResponse& response,
                   int attempts)
    : ArmError(method, url, response, parseErrorBody(response.body), attempts) {}

ArmError::ArmError(std::string_view method, std::string_view url, const HttpResponse& response,
                   std::string code, std::string message)
    : ArmError(method, url, response, ErrorDetails{std::move(code), std::move(message)}, 1) {}

ArmError::ArmError(std::string_view method, std::string_view url, const HttpResponse& response,
                   ErrorDetails details, int attempts)
    : std::runtime_error(errorMessage(method, pathAndQuery(url, true), response.status, details,
                                      attempts, response.headers.get("x-ms-request-id"),
                                      response.headers.get("x-ms-correlation-request-id"))),
      status_(response.status),
      code_(std::move(details.code)),
      armMessage_(std::move(details.message)),
      method_(method),
      path_(pathAndQuery(url, true)),
      requestId_(response.headers.get("x-ms-request-id")),
      correlationId_(response.headers.get("x-ms-correlation-request-id")),
      attempts_(attempts) {}

}  // namespace collab::azure

#pragma once
// The one failure type of Azure Resource Manager answers.
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "collab/azure/http_message.hpp"
#include "collab/export.hpp"

namespace collab::azure {

/// The code and message of an error answer.  Both the ARM shape
/// `{"error": {"code": ..., "message": ...}}` and the OAuth shape
/// `{"error": "...", "error_description": "..."}` are understood; for the OAuth shape only the
/// first line of the description is kept (the rest is trace and correlation noise).  A body
/// that is empty, not JSON or of neither shape gives an empty code and a fallback message
/// saying so (with the start of a non-JSON body, on one line).
struct ErrorDetails {
  std::string code;
  std::string message;
};
COLLAB_EXPORT ErrorDetails parseErrorBody(std::string_view body);

/// Azure Resource Manager answered with a status other than 2xx (after any retries), or with a
/// 2xx body that cannot be used (code "InvalidResponseBody").  Carries the status, ARM's error
/// code and message, the request's method and its path with query values redacted, and the
/// request ids Azure returned.  Never the token.
class COLLAB_EXPORT ArmError : public std::runtime_error {
 public:
  /// Builds the error from an answer; `attempts` > 1 is mentioned in the message.
  ArmError(std::string_view method, std::string_view url, const HttpResponse& response,
           int attempts = 1);
  /// Builds the error from parts, for answers whose body could not be used.
  ArmError(std::string_view method, std::string_view url, const HttpResponse& response,
           std::string code, std::string message);

  int status() const noexcept { return status_; }
  const std::string& code() const noexcept { return code_; }
  const std::string& armMessage() const noexcept { return armMessage_; }
  const std::string& method() const noexcept { return method_; }
  /// Path and query of the request, query values redacted.
  const std::string& path() const noexcept { return path_; }
  const std::optional<std::string>& requestId() const noexcept { return requestId_; }
  const std::optional<std::string>& correlationId() const noexcept { return correlationId_; }
  int attempts() const noexcept { return attempts_; }

 private:
  ArmError(std::string_view method, std::string_view url, const HttpResponse& response,
           ErrorDetails details, int attempts);

  int status_;
  std::string code_;
  std::string armMessage_;
  std::string method_;
  std::string path_;
  std::optional<std::string> requestId_;
  std::optional<std::string> correlationId_;
  int attempts_;
};

}  // namespace collab::azure

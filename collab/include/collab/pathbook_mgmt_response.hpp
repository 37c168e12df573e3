#pragma once
// The answer a route table gives when a route is offered to it: accepted, or refused with a
// message and sometimes an error code the caller acts on (a refused default route towards a
// virtual appliance or the Internet is replaced by a default route to None).
#include <optional>
#include <string>
#include <string_view>

#include "collab/export.hpp"

namespace collab {

class COLLAB_EXPORT PathbookMgmtResponse {
 public:
  enum class Status { Accept, Reject };
  /// `None` is what a result built without a code answers; it equals none of the real codes.
  enum class ErrorCode {
    None,
    DuplicateRoute,
    RejectRouteQuadZero2VirtualApp,
    RejectRouteQuadZero2Internet
  };

  static constexpr Status ACCEPT = Status::Accept;
  static constexpr Status REJECT = Status::Reject;
  static constexpr ErrorCode DUPLICATE_ROUTE = ErrorCode::DuplicateRoute;
  static constexpr ErrorCode REJECT_ROUTE_QUAD_ZERO_2_VIRTUAL_APP =
      ErrorCode::RejectRouteQuadZero2VirtualApp;
  static constexpr ErrorCode REJECT_ROUTE_QUAD_ZERO_2_INTERNET =
      ErrorCode::RejectRouteQuadZero2Internet;

  explicit PathbookMgmtResponse(Status status) : status_(status) {}
  PathbookMgmtResponse(Status status, std::string message)
      : status_(status), message_(std::move(message)) {}
  PathbookMgmtResponse(Status status, std::string message, ErrorCode code)
      : status_(status), message_(std::move(message)), code_(code) {}

  Status getStatus() const noexcept { return status_; }
  /// Absent for a result built from a status alone.
  const std::optional<std::string>& getMessage() const noexcept { return message_; }
  ErrorCode getErrorCode() const noexcept { return code_; }

 private:
  Status status_;
  std::optional<std::string> message_;
  ErrorCode code_ = ErrorCode::None;
};

/// Names for log lines: "ACCEPT", "REJECT"; "DUPLICATE_ROUTE", ...; "None" for no code.
COLLAB_EXPORT std::string_view toString(PathbookMgmtResponse::Status status) noexcept;
COLLAB_EXPORT std::string_view toString(PathbookMgmtResponse::ErrorCode code) noexcept;

/// The name the route-table model and the discovery use for the same class.
using RtMgmtResponse = PathbookMgmtResponse;

}  // namespace collab

#include "collab/pathbook_mgmt_response.hpp"

namespace collab {

std::string_view toString(PathbookMgmtResponse::Status status) noexcept {
  switch (status) {
    case PathbookMgmtResponse::Status::Accept:
      return "ACCEPT";
    case PathbookMgmtResponse::Status::Reject:
      return "REJECT";
  }
  return "?";
}

std::string_view toString(PathbookMgmtResponse::ErrorCode code) noexcept {
  switch (code) {
    case PathbookMgmtResponse::ErrorCode::None:
      return "None";
    case PathbookMgmtResponse::ErrorCode::DuplicateRoute:
      return "DUPLICATE_ROUTE";
    case PathbookMgmtResponse::ErrorCode::RejectRouteQuadZero2VirtualApp:
      return "REJECT_ROUTE_QUAD_ZERO_2_VIRTUAL_APP";
    case PathbookMgmtResponse::ErrorCode::RejectRouteQuadZero2Internet:
      return "REJECT_ROUTE_QUAD_ZERO_2_INTERNET";
  }
  return "?";
}

}  // namespace collab

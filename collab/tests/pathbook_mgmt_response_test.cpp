#include "collab/pathbook_mgmt_response.hpp"

#include <gtest/gtest.h>

namespace collab {
namespace {

using R = PathbookMgmtResponse;

TEST(PathbookMgmtResponseTest, ThreeConstructorForms) {
  const R accept(R::ACCEPT);
  EXPECT_EQ(accept.getStatus(), R::ACCEPT);
  EXPECT_FALSE(accept.getMessage().has_value());
  const R message(R::REJECT, "RFC1918 route");
  EXPECT_EQ(message.getStatus(), R::REJECT);
  EXPECT_EQ(message.getMessage(), "RFC1918 route");
  const R coded(R::REJECT, "dup", R::DUPLICATE_ROUTE);
  EXPECT_EQ(coded.getErrorCode(), R::DUPLICATE_ROUTE);

  // A result without a code answers none of the codes.
  for (const R& r : {accept, message}) {
    EXPECT_NE(r.getErrorCode(), R::DUPLICATE_ROUTE);
    EXPECT_NE(r.getErrorCode(), R::REJECT_ROUTE_QUAD_ZERO_2_VIRTUAL_APP);
    EXPECT_NE(r.getErrorCode(), R::REJECT_ROUTE_QUAD_ZERO_2_INTERNET);
  }
  EXPECT_NE(R::ACCEPT, R::REJECT);
  EXPECT_NE(R::REJECT_ROUTE_QUAD_ZERO_2_VIRTUAL_APP, R::REJECT_ROUTE_QUAD_ZERO_2_INTERNET);
  EXPECT_NE(R::DUPLICATE_ROUTE, R::REJECT_ROUTE_QUAD_ZERO_2_INTERNET);
  EXPECT_EQ(toString(R::REJECT_ROUTE_QUAD_ZERO_2_INTERNET), "REJECT_ROUTE_QUAD_ZERO_2_INTERNET");
  EXPECT_EQ(toString(accept.getErrorCode()), "None");
  EXPECT_EQ(toString(R::ACCEPT), "ACCEPT");
}

}  // namespace
}  // namespace collab

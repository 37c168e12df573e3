#include <gtest/gtest.h>

#include "collab/azure/retry_policy.hpp"

namespace collab::azure {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// 2023-11-14T22:13:20Z
const auto kNow = std::chrono::system_clock::time_point(seconds(1700000000));

TEST(RetryPolicy, RetriesThrottlingAndGatewayFailuresOnly) {
  for (int status : {429, 500, 502, 503, 504}) EXPECT_TRUE(isRetryableStatus(status)) << status;
  for (int status : {200, 202, 400, 401, 403, 404, 409, 501, 505}) {
    EXPECT_FALSE(isRetryableStatus(status)) << status;
  }
}

TEST(RetryPolicy, ServerHintInEveryForm) {
  struct Case {
    HttpHeaders headers;
    std::optional<milliseconds> expected;
  } cases[] = {
      {{{"Retry-After", "17"}}, milliseconds(17000)},
      {{{"retry-after", " 0 "}}, milliseconds(0)},
      {{{"Retry-After", "Tue, 14 Nov 2023 22:13:50 GMT"}}, milliseconds(30000)},
      {{{"Retry-After", "Tuesday, 14-Nov-23 22:13:25 GMT"}}, milliseconds(5000)},  // RFC 850
      {{{"Retry-After", "Tue Nov 14 22:13:22 2023"}}, milliseconds(2000)},         // asctime
      {{{"Retry-After", "Tue, 14 Nov 2023 22:00:00 GMT"}}, milliseconds(0)},       // past
      {{{"retry-after-ms", "1500"}, {"Retry-After", "9"}}, milliseconds(1500)},
      {{{"x-ms-retry-after-ms", "250"}}, milliseconds(250)},
      {{{"Retry-After", "-3"}}, std::nullopt},
      {{{"Retry-After", "1.5"}}, std::nullopt},
      {{{"Retry-After", "soon"}}, std::nullopt},
      {{{"Retry-After", ""}}, std::nullopt},
      {{{"retry-after-ms", "junk"}, {"Retry-After", "4"}}, milliseconds(4000)},
      {{{"Retry-After", "99999999999999999999999"}}, milliseconds(24LL * 3600 * 1000)},
      {{}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.headers.empty() ? std::string("(none)") : c.headers.fields()[0].second);
    EXPECT_EQ(serverRetryDelay(c.headers, kNow), c.expected);
  }
}

TEST(RetryPolicy, BackoffDoublesWithJitterUpToTheCap) {
  RetryPolicy policy;
  policy.baseDelay = milliseconds(1000);
  policy.maxDelay = milliseconds(10000);
  struct Case {
    int retry;
    double random;
    milliseconds expected;
  } cases[] =
      {
          {1, 0.5, milliseconds(1000)},   {2, 0.5, milliseconds(2000)},
          {3, 0.5, milliseconds(4000)},   {4, 0.5, milliseconds(8000)},
          {5, 0.5, milliseconds(10000)},  {60, 0.5, milliseconds(10000)},
          {1, 0.0, milliseconds(800)},    {1, 0.999, milliseconds(1199)},
          {4, 0.999, milliseconds(9596)}, {5, 0.0, milliseconds(8000)},
          {0, 0.5, milliseconds(1000)},  // out-of-range retry numbers behave as the first
      };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "retry " << c.retry << " random " << c.random);
    EXPECT_EQ(backoffDelay(policy, c.retry, c.random), c.expected);
  }
}

TEST(RetryPolicy, RetryDelayPrefersTheServerHint) {
  RetryPolicy policy;
  HttpHeaders hinted{{"Retry-After", "3"}};
  HttpHeaders plain{{"Content-Type", "application/json"}};
  EXPECT_EQ(retryDelay(policy, 4, &hinted, kNow, 0.5), milliseconds(3000));
  EXPECT_EQ(retryDelay(policy, 2, &plain, kNow, 0.5), backoffDelay(policy, 2, 0.5));
  EXPECT_EQ(retryDelay(policy, 2, nullptr, kNow, 0.5), backoffDelay(policy, 2, 0.5));
}

}  // namespace
}  // namespace collab::azure

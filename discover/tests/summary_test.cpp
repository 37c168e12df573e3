// The run's duration in the summary: precise enough for a replay that takes milliseconds,
// readable for a run of hours, and rounded once so that no unit boundary shows "1000 ms" or
// "60.0 s".
#include "run/summary.hpp"

#include <gtest/gtest.h>

namespace kxdiscover {
namespace {

TEST(DurationText, KeepsAMeaningfulPrecisionAtEveryScale) {
  const std::pair<double, const char*> cases[] = {
      {0.0, "0 ms"},
      {0.0421, "42 ms"},
      {0.9994, "999 ms"},
      {0.9996, "1.0 s"},
      {1.94, "1.9 s"},
      {59.94, "59.9 s"},
      {59.96, "1 min 00 s"},
      {754.4, "12 min 34 s"},
      {3599.6, "1 h 00 min 00 s"},
      {3725.0, "1 h 02 min 05 s"},
      {90061.0, "25 h 01 min 01 s"},
  };
  for (const auto& [seconds, text] : cases) EXPECT_EQ(durationText(seconds), text) << seconds;
}

}  // namespace
}  // namespace kxdiscover

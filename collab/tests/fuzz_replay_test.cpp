// The fuzz checks of collab's parsers, replayed over the committed seeds and every input the
// fuzzers ever crashed on (fuzz/seeds, fuzz/regressions), so plain CI keeps them fixed.
#include <gtest/gtest.h>

#include <functional>

#include "checks/arm_page_check.hpp"
#include "checks/cassette_check.hpp"
#include "checks/config_load_check.hpp"
#include "checks/hcl_escape_check.hpp"

namespace kx::fuzz {
namespace {

TEST(FuzzReplay, CollabCheckersHoldOnEveryCommittedInput) {
  const std::pair<const char*, std::function<void(std::string_view)>> targets[] = {
      {"arm_page", checkArmPage},
      {"cassette", checkCassette},
      {"config_load", checkConfigLoad},
      {"hcl_escape", checkHclEscape}};
  for (const auto& [target, check] : targets) {
    const auto inputs = committedInputs(KX_SOURCE_DIR, target);
    EXPECT_FALSE(inputs.empty()) << "no inputs under fuzz/*/" << target;
    for (const auto& file : inputs) {
      SCOPED_TRACE(file.string());
      EXPECT_NO_THROW(check(readInput(file)));
    }
  }
}

}  // namespace
}  // namespace kx::fuzz

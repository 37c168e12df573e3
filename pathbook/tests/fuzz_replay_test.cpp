// The network parser's fuzz check, replayed over the committed seeds and every input the
// fuzzer ever crashed on (fuzz/seeds/network, fuzz/regressions/network).
#include <gtest/gtest.h>

#include "checks/network_check.hpp"

namespace kx::fuzz {
namespace {

TEST(FuzzReplay, NetworkCheckHoldsOnEveryCommittedInput) {
  const auto inputs = committedInputs(KX_SOURCE_DIR, "network");
  EXPECT_FALSE(inputs.empty());
  for (const auto& file : inputs) {
    SCOPED_TRACE(file.string());
    EXPECT_NO_THROW(checkNetwork(readInput(file)));
  }
}

}  // namespace
}  // namespace kx::fuzz

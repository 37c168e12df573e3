// libFuzzer target: see checks/arm_page_check.hpp for what it holds the code to.
#include "checks/arm_page_check.hpp"
#include "targets/entry.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return kx::fuzz::runCheck(kx::fuzz::checkArmPage, data, size);
}

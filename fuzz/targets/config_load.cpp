// libFuzzer target: see checks/config_load_check.hpp for what it holds the code to.
#include "checks/config_load_check.hpp"
#include "targets/entry.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return kx::fuzz::runCheck(kx::fuzz::checkConfigLoad, data, size);
}

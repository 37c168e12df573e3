// libFuzzer target: see checks/network_check.hpp for what it holds the code to.
#include "checks/network_check.hpp"
#include "targets/entry.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return kx::fuzz::runCheck(kx::fuzz::checkNetwork, data, size);
}

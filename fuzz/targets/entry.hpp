#pragma once
// Turns a check into a libFuzzer entry point: a broken promise is printed and aborts, which
// libFuzzer reports as a crash and saves the input of.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string_view>

#include "checks/check.hpp"

namespace kx::fuzz {

template <class Check>
int runCheck(Check check, const std::uint8_t* data, std::size_t size) {
  try {
    check(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "fuzz check failed: %s\n", error.what());
    std::abort();
  }
  return 0;
}

}  // namespace kx::fuzz

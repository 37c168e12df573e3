#pragma once
// A scratch folder per test for configuration files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace collab::testing {

class ConfigFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("kx-config-") + info->test_suite_name() + "-" + info->name();
    for (auto& c : name)
      if (c == '/') c = '_';
    dir_ = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  /// Writes `text` byte for byte to `name` in the scratch folder and returns its path.
  std::filesystem::path write(const std::string& text, const std::string& name = "config.yaml") {
    const auto path = dir_ / name;
    std::ofstream out(path, std::ios::binary);
    out << text;
    return path;
  }

  std::filesystem::path dir_;
};

}  // namespace collab::testing

#include "collab/text_form.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace collab {
namespace {

using namespace std::string_literals;

struct FormCase {
  Json value;
  std::string text;
  std::string repr;
};

TEST(TextForm, ScalarsContainersAndQuoting) {
  const std::vector<FormCase> cases = {
      {true, "True", "True"},
      {false, "False", "False"},
      {nullptr, "None", "None"},
      {0, "0", "0"},
      {-42, "-42", "-42"},
      {std::uint64_t{18446744073709551615u}, "18446744073709551615", "18446744073709551615"},
      {1.0, "1.0", "1.0"},
      {-0.0, "-0.0", "-0.0"},
      {1e16, "1e+16", "1e+16"},
      {1.5e-05, "1.5e-05", "1.5e-05"},
      {std::numeric_limits<double>::infinity(), "inf", "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf", "-inf"},
      {std::numeric_limits<double>::quiet_NaN(), "nan", "nan"},
      {"10.1.0.0/16", "10.1.0.0/16", "'10.1.0.0/16'"},
      {"", "", "''"},
      {Json::array({"10.1.0.0/16", "10.2.0.0/16"}), "['10.1.0.0/16', '10.2.0.0/16']",
       "['10.1.0.0/16', '10.2.0.0/16']"},
      {Json::array(), "[]", "[]"},
      {Json::array({1, true, nullptr}), "[1, True, None]", "[1, True, None]"},
      {Json::object(), "{}", "{}"},
      {Json{{"k", "v"}, {"n", Json::array({1, true, nullptr, 2.0})}},
       "{'k': 'v', 'n': [1, True, None, 2.0]}", "{'k': 'v', 'n': [1, True, None, 2.0]}"},
      {Json::array({Json::array({"a"}), Json{{"it's", "x"}}}), "[['a'], {\"it's\": 'x'}]",
       "[['a'], {\"it's\": 'x'}]"},
      // Python's quoting rules, checked against repr() output.
      {Json::array({"a'b", "a\"b", "x'y\"z", "tab\there", "nl\n", "\\", "\x01", "\x7f", "é"}),
       R"(["a'b", 'a"b', 'x\'y"z', 'tab\there', 'nl\n', '\\', '\x01', '\x7f', 'é'])",
       R"(["a'b", 'a"b', 'x\'y"z', 'tab\there', 'nl\n', '\\', '\x01', '\x7f', 'é'])"},
      {"it's", "it's", R"("it's")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.dump());
    EXPECT_EQ(textForm(c.value), c.text);
    EXPECT_EQ(reprForm(c.value), c.repr);
  }
}

// Random doubles across the whole exponent range and short decimals, printed by Python itself
// as the reference for the float layout.
TEST(TextForm, FloatsAgreeWithPythonOnRandomValues) {
  if (std::system("python3 -c 'pass' >/dev/null 2>&1") != 0) GTEST_SKIP() << "python3 missing";
  std::mt19937_64 rng(20240501);
  std::vector<double> values;
  while (values.size() < 3000) {
    std::uint64_t bits = rng();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    if (std::isfinite(d)) values.push_back(d);
  }
  // Plus short decimals, the values a configuration really holds.
  for (int i = -2000; i <= 2000; i += 7) values.push_back(i / 100.0);

  const auto dir = std::filesystem::temp_directory_path();
  const auto in = dir / ("kx-floats-in-" + std::to_string(::getpid()));
  const auto out = dir / ("kx-floats-out-" + std::to_string(::getpid()));
  {
    std::ofstream f(in);
    char buf[64];
    for (double d : values) {
      std::snprintf(buf, sizeof buf, "%a\n", d);
      f << buf;
    }
  }
  const std::string cmd =
      "python3 -c \"import sys\nfor l in open(sys.argv[1]): "
      "print(repr(float.fromhex(l.strip())))\" " +
      in.string() + " > " + out.string();
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::ifstream f(out);
  std::string line;
  std::size_t i = 0, mismatches = 0;
  while (std::getline(f, line) && i < values.size()) {
    if (floatForm(values[i]) != line && ++mismatches < 10)
      ADD_FAILURE() << "python " << line << " ours " << floatForm(values[i]);
    ++i;
  }
  EXPECT_EQ(i, values.size());
  std::filesystem::remove(in);
  std::filesystem::remove(out);
}

}  // namespace
}  // namespace collab

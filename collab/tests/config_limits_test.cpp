// The loader's limits, and the files whose first diagnosis named the wrong cause: each error
// must name the real one, with its place in the file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "collab/config.hpp"
#include "collab/config_error.hpp"
#include "config_test_support.hpp"

namespace collab {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

std::string repeat(const std::string& text, std::size_t times) {
  std::string out;
  out.reserve(text.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += text;
  return out;
}

struct Diagnosis {
  const char* name;
  std::string text;
  int line;
  int column;
  const char* keyPath;  // nullptr: not checked
  std::vector<const char*> mentions;
  std::vector<const char*> mustNotMention;
};

std::vector<Diagnosis> diagnoses() {
  const std::string bomb =
      "kind: scratch\n"
      "a: &a [x, x, x, x, x, x, x, x, x, x]\n"
      "b: &b [*a, *a, *a, *a, *a, *a, *a, *a, *a, *a]\n"
      "c: &c [*b, *b, *b, *b, *b, *b, *b, *b, *b, *b]\n"
      "d: &d [*c, *c, *c, *c, *c, *c, *c, *c, *c, *c]\n"
      "e: &e [*d, *d, *d, *d, *d, *d, *d, *d, *d, *d]\n"
      "f: [*d, *d, *d, *d, *d, *d, *d, *d]\n";  // 123,458 values before f's items; 11,111 each
  return {
      // The 65th bracket is the first value past the limit: v is level 1.
      {"DeepBrackets",
       "kind: scratch\nv: " + repeat("[", 600) + repeat("]", 600) + "\n",
       2,
       4 + 64,
       nullptr,
       {"nests deeper than 64 levels"},
       {"syntax error"}},
      // Nesting counts what an alias repeats, at the place of the alias.
      {"AliasDeepensNesting",
       "kind: scratch\nv: &deep " + repeat("[", 61) + repeat("]", 61) + "\n" +
           "w: {a: {b: {c: {d: *deep}}}}\n",
       3,
       20,
       "w.a.b.c.d",
       {"nests deeper than 64 levels"},
       {}},
      {"CarriageReturnLineEnds",
       "# settings\rkind: discovery\rconfig:\r  configure_gw_name: yes\r",
       4,
       22,
       "config.configure_gw_name",
       {"expected a boolean", "found text 'yes'"},
       {"empty"}},
      {"KeyTooLong",
       "kind: discovery\nconfig:\n  " + std::string(1030, 'k') + ": true\n",
       3,
       3,
       "",
       {"the key is too long", "1030 characters", "at most 1024"},
       {"illegal map value"}},
      {"KeyTooLongInAListEntry",
       "kind: scratch\nitems:\n  - " + std::string(1100, 'k') + ": 1\n",
       3,
       5,
       "",
       {"the key is too long", "1100 characters"},
       {}},
      {"KindMisspelt",
       "# discovery of the hub\nkidn: discovery\nconfig: {}\n",
       2,
       1,
       "kidn",
       {"unknown key 'kidn'", "did you mean 'kind'?"},
       {"missing required key"}},
      // yaml-cpp reads endless empty documents at a stray ',' (found by fuzzing).
      {"StrayComma", ",kind: scratch\n", 1, 1, "", {"syntax error: unexpected ','"}, {}},
      // The root map, "scratch" and the list come first: the 199,998th item is value 200,001.
      {"LongPlainList",
       "kind: scratch\nv: [" + repeat("1, ", 200000) + "1]\n",
       2,
       5 + 3 * 199997,
       "v[199997]",
       {"more than 200000 values"},
       {"alias"}},
      {"AliasesPastTheLimit",
       bomb,
       7,
       29,
       "f[6]",
       {"more than 200000 values", "aliases are expanded"},
       {}},
  };
}

class ConfigLimitsTest : public testing::ConfigFileTest {};

TEST_F(ConfigLimitsTest, EachErrorNamesTheRealCauseAndPlace) {
  for (const auto& c : diagnoses()) {
    SCOPED_TRACE(c.name);
    const auto path = write(c.text, std::string(c.name) + ".yaml");
    try {
      (void)load_from_yaml(path);
      ADD_FAILURE() << "loaded without an error";
    } catch (const ConfigError& e) {
      const std::string message = e.what();
      EXPECT_EQ(e.line(), c.line) << message;
      EXPECT_EQ(e.column(), c.column) << message;
      EXPECT_THAT(message, ::testing::StartsWith(path.string() + ":" + std::to_string(c.line) +
                                                 ":" + std::to_string(c.column) + ": "));
      if (c.keyPath) {
        EXPECT_EQ(e.keyPath(), c.keyPath) << message;
      }
      for (const char* text : c.mentions) EXPECT_THAT(message, HasSubstr(text));
      for (const char* text : c.mustNotMention) EXPECT_THAT(message, Not(HasSubstr(text)));
    }
  }
}

TEST_F(ConfigLimitsTest, FilesJustInsideTheLimitsLoadWhole) {
  // 64 levels below the top, and 200,000 values: the root, "scratch", the list and 199,997
  // items.
  const std::string deep = repeat("[", 64) + repeat("]", 64);
  const auto nested = write("kind: scratch\nv: " + deep + "\n");
  Json level = dump_to_dict(load_from_yaml(nested)).at("v");
  int depth = 1;
  while (!level.empty()) level = Json(level.at(0)), ++depth;
  EXPECT_EQ(depth, 64);

  const auto list = write("kind: scratch\nv: [" + repeat("1, ", 199996) + "2]\n");
  const Json items = dump_to_dict(load_from_yaml(list)).at("v");
  ASSERT_EQ(items.size(), 199997u);
  EXPECT_EQ(items.back(), 2);

  // A large map keeps every key, in order.
  std::string map = "kind: scratch\n";
  for (int i = 0; i < 150000; ++i)
    map += "key" + std::to_string(i) + ": " + std::to_string(i) + "\n";
  const Json data = dump_to_dict(load_from_yaml(write(map)));
  ASSERT_EQ(data.size(), 150001u);
  auto it = data.begin();
  ++it;
  EXPECT_EQ(it.key(), "key0");
  EXPECT_EQ((--data.end()).key(), "key149999");
  EXPECT_EQ(data.at("key74321"), 74321);
}

TEST_F(ConfigLimitsTest, LineEndsAndDocumentMarkersDoNotChangeTheContent) {
  const std::string lf =
      "kind: discovery\nlog_output: /var/kx\nconfig:\n  configure_gw_name: true\n";
  std::string cr = lf, crlf;
  for (auto& c : cr)
    if (c == '\n') c = '\r';
  for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  const Json expected = dump_to_dict(load_from_yaml(write(lf, "lf.yaml")));
  EXPECT_EQ(expected["config"]["configure_gw_name"], true);
  const std::pair<const char*, std::string> variants[] = {
      {"cr", cr}, {"crlf", crlf}, {"markers", "---\n" + lf + "...\n---\n"}};
  for (const auto& [name, text] : variants) {
    SCOPED_TRACE(name);
    EXPECT_EQ(dump_to_dict(load_from_yaml(write(text, std::string(name) + ".yaml"))), expected);
  }
}

}  // namespace
}  // namespace collab

// The quick scan that keeps yaml-cpp from holding a whole hostile flow collection: it must find
// real flow brackets and commas, and skip the ones in scalars and comments.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "config/flow_scan.hpp"

namespace collab::config {
namespace {

TEST(FlowScan, CutsWhereTheFlowCollectionsPassALimit) {
  struct Case {
    const char* name;
    std::string text;
    std::optional<std::string> prefix;  // with depth limit 2 (3 flow levels) and 6 values
  };
  const Case cases[] = {
      {"within the limits", "v: [[[a, b]], {c: d}]\n", std::nullopt},
      {"nested too deep", "v: [[{[x]}]]\n", "v: [[{[]}]]"},
      {"too many values", "v: [a, b, c]\nw: {d: 1, e: 2, f: 3, g: 4}\n",
       "v: [a, b, c]\nw: {d: 1, e: 2, f: 3,}"},
      {"top-level flow", "[[[[x]]]]", "[[[[]]]]"},
      {"after anchor and tag", "v: &a !!seq [[[[x]]]]\n", "v: &a !!seq [[[[]]]]"},
      {"list entry and key", "- k: [[[[x]]]]\n", "- k: [[[[]]]]"},
      {"plain scalars", "v: a[[[[b, c, d, e, f, g, h\nw: x{{{{\n", std::nullopt},
      {"quoted scalars", "v: \"[[[[\\\"[[[[\"\nw: '[[[[''[[[['\n", std::nullopt},
      {"quoted inside flow", "v: [\"]]]],,,,,,\", 'it''s [[[[']\n", std::nullopt},
      {"apostrophe in a plain scalar", "v: [it's, [[x]], fine']\n", std::nullopt},
      {"comments", "# [[[[\nv: [a] # [[[[\nw: [b, # ,,,,,,\n  c]\n", std::nullopt},
      {"block scalar", "v: |\n  [[[[,,,,,,\n\n  [[[[\nw: >-\n  {{{{\n", std::nullopt},
      {"after the block scalar", "v: |\n  text\nw: [[[[x]]]]\n", "v: |\n  text\nw: [[[[]]]]"},
      {"multi-line flow", "v: [\n  [\n    [\n      [x]]]]\n", "v: [\n  [\n    [\n      []]]]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(flowLimitPrefix(c.text, 2, 6), c.prefix);
  }
}

}  // namespace
}  // namespace collab::config

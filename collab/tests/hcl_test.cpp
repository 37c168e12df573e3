#include "collab/hcl.hpp"

#include <gtest/gtest.h>

namespace collab {
namespace {

TEST(HclEscapeTest, EscapesQuotesControlsAndTemplateIntroducers) {
  struct Case {
    std::string in, out;
  };
  const std::vector<Case> cases = {
      {"", ""},
      {"plain corvanta-rt1 East US", "plain corvanta-rt1 East US"},
      {"caf\xc3\xa9 \xf0\x9f\x9a\x80", "caf\xc3\xa9 \xf0\x9f\x9a\x80"},  // UTF-8 untouched
      {"a\"b", "a\\\"b"},
      {"C:\\dir\\", "C:\\\\dir\\\\"},
      {"l1\nl2\r\n\tx", "l1\\nl2\\r\\n\\tx"},
      {std::string("nul\0x", 5), "nul\\u0000x"},
      {"\x01\x1f\x7f", "\\u0001\\u001f\\u007f"},
      {"${var.x}", "$${var.x}"},
      {"%{ if x }", "%%{ if x }"},
      {"$${x}", "$$${x}"},
      {"$ { % {", "$ { % {"},
      {"100% $5 $", "100% $5 $"},
      {"{}", "{}"},
      {"${", "$${"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(hclEscape(c.in), c.out);
    std::string quoted = "x=";
    appendHclQuoted(quoted, c.in);
    EXPECT_EQ(quoted, "x=\"" + c.out + "\"");
  }
}

}  // namespace
}  // namespace collab

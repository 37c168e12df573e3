// Text from outside on its way into a log line: control characters, direction marks and bytes
// that are not UTF-8 shown as escapes, clean text untouched.
#include "collab/log_text.hpp"

#include <gtest/gtest.h>

namespace collab {
namespace {

TEST(EscapeControls, ShowsWhatBreaksALineAndLeavesTheRest) {
  struct Case {
    const char* what;
    std::string text;
    std::string shown;
  };
  using namespace std::string_literals;
  const Case cases[] = {
      {"plain", "rt-web (rg.(legacy)) 10.0.0.0/8 \\N ${x} \"q\"", ""},
      {"UTF-8 letters", "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x9a\x80 \xe2\x80\x8b", ""},
      {"line feed and return", "a\nb\r\nc", "a\\nb\\r\\nc"},
      {"tab, NUL, ESC, DEL", "t\tn\0e\x1b[31mdel\x7f"s, "t\\tn\\x00e\\x1B[31mdel\\x7F"},
      {"C1 controls", "nel\xc2\x85 csi\xc2\x9b", "nel\\u0085 csi\\u009B"},
      {"line separators", "ls\xe2\x80\xa8ps\xe2\x80\xa9", "ls\\u2028ps\\u2029"},
      {"direction controls", "\xe2\x80\xaegnp.exe \xe2\x81\xa6x\xe2\x81\xa9 \xd8\x9c \xe2\x80\x8f",
       "\\u202Egnp.exe \\u2066x\\u2069 \\u061C \\u200F"},
      {"stray and truncated bytes", "a\xff b\x80 c\xe2\x80", "a\\xFF b\\x80 c\\xE2\\x80"},
      {"overlong and surrogate", "\xc0\xaf \xed\xa0\x80", "\\xC0\\xAF \\xED\\xA0\\x80"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string expected = c.shown.empty() ? c.text : c.shown;
    EXPECT_EQ(escapeControls(c.text), expected);
    EXPECT_EQ(isPlainText(c.text), c.shown.empty());
    // What comes out is one line of printable UTF-8, and escaping it again changes nothing.
    EXPECT_TRUE(isPlainText(escapeControls(c.text)));
  }
  // Where the output must be UTF-8 (the page), a byte that is not becomes U+FFFD.
  EXPECT_EQ(escapeControls("a\xff\n\xc0\xaf", NotUtf8::Replace),
            "a\xEF\xBF\xBD\\n\xEF\xBF\xBD\xEF\xBF\xBD");
}

}  // namespace
}  // namespace collab

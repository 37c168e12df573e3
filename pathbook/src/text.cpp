#include "text.hpp"

namespace pathbook::detail {

namespace {

constexpr bool asciiSpace(unsigned char c) noexcept {
  return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f);
}

// Length of the Unicode white-space character encoded at the start of `s`, or 0.
std::size_t leadingUnicodeSpace(std::string_view s) noexcept {
  auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  if (s.size() >= 2 && b(0) == 0xc2 && (b(1) == 0x85 || b(1) == 0xa0)) return 2;
  if (s.size() >= 3) {
    const unsigned c0 = b(0), c1 = b(1), c2 = b(2);
    if (c0 == 0xe1 && c1 == 0x9a && c2 == 0x80) return 3;  // U+1680
    if (c0 == 0xe2 && c1 == 0x80 &&
        ((c2 >= 0x80 && c2 <= 0x8a) || c2 == 0xa8 || c2 == 0xa9 || c2 == 0xaf))
      return 3;                                            // U+2000..U+200A, U+2028, U+2029, U+202F
    if (c0 == 0xe2 && c1 == 0x81 && c2 == 0x9f) return 3;  // U+205F
    if (c0 == 0xe3 && c1 == 0x80 && c2 == 0x80) return 3;  // U+3000
  }
  return 0;
}

// Length of the Unicode white-space character encoded at the end of `s`, or 0.
std::size_t trailingUnicodeSpace(std::string_view s) noexcept {
  for (std::size_t len : {std::size_t{2}, std::size_t{3}})
    if (s.size() >= len && leadingUnicodeSpace(s.substr(s.size() - len)) == len) return len;
  return 0;
}

}  // namespace

std::string_view strip(std::string_view text) noexcept {
  for (;;) {
    if (!text.empty() && asciiSpace(static_cast<unsigned char>(text.front()))) {
      text.remove_prefix(1);
    } else if (std::size_t n = leadingUnicodeSpace(text)) {
      text.remove_prefix(n);
    } else {
      break;
    }
  }
  for (;;) {
    if (!text.empty() && asciiSpace(static_cast<unsigned char>(text.back()))) {
      text.remove_suffix(1);
    } else if (std::size_t n = trailingUnicodeSpace(text)) {
      text.remove_suffix(n);
    } else {
      break;
    }
  }
  return text;
}

std::string textForm(const collab::Json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_boolean()) return value.get<bool>() ? "True" : "False";
  if (value.is_null()) return "None";
  return value.dump();
}

}  // namespace pathbook::detail

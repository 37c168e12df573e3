#include "collab/hcl.hpp"

namespace collab {

namespace {

// True for the bytes that need more than a plain copy (or may start a template introducer).
constexpr bool needsCare(unsigned char c) {
  return c < 0x20 || c == 0x7f || c == '"' || c == '\\' || c == '$' || c == '%';
}

}  // namespace

void appendHclEscaped(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  const std::size_t n = text.size();
  std::size_t plainFrom = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (!needsCare(c)) continue;
    // '$' and '%' only matter right before '{'.
    if ((c == '$' || c == '%') && (i + 1 >= n || text[i + 1] != '{')) continue;
    out.append(text.data() + plainFrom, i - plainFrom);
    plainFrom = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '$':
        out += "$$";
        break;
      case '%':
        out += "%%";
        break;
      default: {
        const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xf]};
        out.append(esc, sizeof esc);
      }
    }
  }
  out.append(text.data() + plainFrom, n - plainFrom);
}

std::string hclEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  appendHclEscaped(out, text);
  return out;
}

}  // namespace collab

#pragma once
// HCL string escaping: the escaped text is a valid body for an HCL quoted string (no raw
// quote or control character, only the escapes HCL knows, no live "${" or "%{"), and reading
// it back as HCL does gives the original bytes.
//
// `readHclQuoted` is a reading of HCL's quoted-template rules written for this check;
// pathbook's HclParseTest replays the same inputs through HashiCorp's own parser, which keeps
// this reading honest.
#include <string>
#include <string_view>

#include "check.hpp"
#include "collab/hcl.hpp"

namespace kx::fuzz {

inline void appendUtf8(std::string& out, unsigned long code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xc0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3f));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xe0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (code & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (code & 0x3f));
  }
}

/// The text an HCL quoted string with body `body` (quotes excluded) stands for.
/// @throws CheckFailure where HCL would not read `body` as literal text.
inline std::string readHclQuoted(std::string_view body) {
  std::string out;
  for (std::size_t i = 0; i < body.size(); ++i) {
    const auto c = static_cast<unsigned char>(body[i]);
    auto require = [&i](bool holds, const char* problem) {
      if (!holds) throw CheckFailure(problem + (" at byte " + std::to_string(i)));
    };
    if (c == '\\') {
      require(i + 1 < body.size(), "a lone backslash ends the text");
      const char kind = body[++i];
      const std::size_t digits = kind == 'u' ? 4 : kind == 'U' ? 8 : 0;
      if (digits) {
        require(i + digits < body.size(), "a cut-short \\u escape");
        const std::string hex(body.substr(i + 1, digits));
        require(hex.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos,
                "a \\u escape without hex digits");
        appendUtf8(out, std::stoul(hex, nullptr, 16));
        i += digits;
        continue;
      }
      const std::string_view known = "nrt\"\\";
      const std::size_t which = known.find(kind);
      require(which != std::string_view::npos, "an escape HCL does not know");
      out += "\n\r\t\"\\"[which];
    } else if (c == '$' || c == '%') {
      if (i + 2 < body.size() && body[i + 1] == body[i] && body[i + 2] == '{') {
        out += body[i];
        out += '{';
        i += 2;
        continue;
      }
      require(i + 1 >= body.size() || body[i + 1] != '{', "a live template introducer");
      out += body[i];
    } else {
      require(c != '"', "a raw double quote");
      require(c >= 0x20 && c != 0x7f, "a raw control character");
      out += body[i];
    }
  }
  return out;
}

inline void checkHclEscape(std::string_view text) {
  const std::string escaped = collab::hclEscape(text);
  std::string quoted = "=";
  collab::appendHclQuoted(quoted, text);
  expect(quoted == "=\"" + escaped + "\"", "appendHclQuoted differs from hclEscape");
  expect(readHclQuoted(escaped) == text, "the escaped text reads back as another text");
}

}  // namespace kx::fuzz

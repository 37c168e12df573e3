#include "html/html_text.hpp"

#include <algorithm>
#include <cctype>
#include <cstdint>

#include "collab/log_text.hpp"

namespace kxdiscover::html {

namespace {

constexpr std::string_view kEllipsis = "\xE2\x80\xA6";  // U+2026
constexpr std::string_view kFirstStrongIsolate = "\xE2\x81\xA8";
constexpr std::string_view kPopDirectionalIsolate = "\xE2\x81\xA9";

struct CodePoint {
  char32_t value;
  std::size_t length;  // bytes taken; 1 for a byte that is not UTF-8 (value then U+FFFD)
  bool valid;
};

// The code point at `at`, strictly: no overlong form, no surrogate, nothing past U+10FFFF.
CodePoint decode(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return {lead, 1, true};
  std::size_t length = 0;
  char32_t value = 0;
  char32_t least = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, least = 0x10000;
  } else {
    return {0xFFFD, 1, false};
  }
  if (at + length > text.size()) return {0xFFFD, 1, false};
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return {0xFFFD, 1, false};
    value = (value << 6) | (byte(i) & 0x3F);
  }
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
    return {0xFFFD, 1, false};
  return {value, length, true};
}

// The XML/HTML escaping both the page and Graphviz's parsers need.
void appendEscaped(std::string& out, char c) {
  switch (c) {
    case '&':
      out += "&amp;";
      break;
    case '<':
      out += "&lt;";
      break;
    case '>':
      out += "&gt;";
      break;
    case '"':
      out += "&quot;";
      break;
    case '\'':
      out += "&#39;";
      break;
    default:
      out += c;
  }
}

bool plainAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

std::string visibleText(std::string_view text) {
  // The page shows a text as the logs do; the page is UTF-8 throughout.
  return collab::escapeControls(text, collab::NotUtf8::Replace);
}

std::string escape(std::string_view text) {
  const std::string visible = visibleText(text);
  std::string out;
  out.reserve(visible.size() + visible.size() / 8);
  for (const char c : visible) appendEscaped(out, c);
  return out;
}

std::string isolated(std::string_view text) {
  if (plainAscii(text)) return escape(text);
  return "<bdi>" + escape(text) + "</bdi>";
}

std::string shortened(std::string_view text, std::size_t chars) {
  std::size_t at = 0;
  for (std::size_t n = 0; at < text.size() && n < chars; ++n) at += decode(text, at).length;
  if (at >= text.size()) return std::string(text);
  return std::string(text.substr(0, at)) + std::string(kEllipsis);
}

std::string dotLabelText(std::string_view text, std::size_t chars) {
  const std::string shown = shortened(text, chars);
  const std::string visible = visibleText(shown);
  std::string out;
  out.reserve(visible.size() + visible.size() / 8 + 6);
  const bool isolate = !plainAscii(shown);
  if (isolate) out += kFirstStrongIsolate;
  for (const char c : visible) {
    if (c == '\\') {
      out += "\\\\";
    } else {
      appendEscaped(out, c);
    }
  }
  if (isolate) out += kPopDirectionalIsolate;
  return out;
}

std::string dotQuoted(std::string_view text, std::size_t chars) {
  const std::string visible = visibleText(shortened(text, chars));
  std::string out;
  out.reserve(visible.size() + 8);
  for (const char c : visible) {
    if (c == '\\') {
      out += "\\\\\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else {
      appendEscaped(out, c);
    }
  }
  return out;
}

std::string anchor(std::string_view prefix, std::size_t a, std::size_t b, std::size_t c) {
  std::string out(prefix);
  for (const std::size_t part : {a, b, c}) {
    if (part == SIZE_MAX) break;
    out += '-';
    out += std::to_string(part);
  }
  return out;
}

std::string knownWord(std::string_view value, std::initializer_list<std::string_view> known) {
  for (const std::string_view word : known) {
    if (value.size() == word.size() &&
        std::equal(value.begin(), value.end(), word.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) ==
                 std::tolower(static_cast<unsigned char>(b));
        }))
      return std::string(word);
  }
  return "other";
}

std::string textOf(const collab::Json& object, const char* key) {
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

const collab::Json& listOf(const collab::Json& object, const char* key) {
  static const collab::Json kEmpty = collab::Json::array();
  const auto it = object.find(key);
  return it != object.end() && it->is_array() ? *it : kEmpty;
}

}  // namespace kxdiscover::html

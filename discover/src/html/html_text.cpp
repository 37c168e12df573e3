#include "html/html_text.hpp"

#include <cctype>
#include <cstdint>

namespace kxdiscover::html {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD
constexpr std::string_view kWordJoiner = "\xE2\x81\xA0";   // U+2060, invisible

// Whether the `&` at `at` begins what looks like a character reference ("&amp;", "&#60;").
// Graphviz's SVG writer leaves those as they are instead of escaping the `&`, so a name
// holding "&amp;" would show as "&"; an invisible word joiner after the `&` keeps it text.
bool looksLikeReference(std::string_view text, std::size_t at) {
  std::size_t i = at + 1;
  while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '#'))
    ++i;
  return i > at + 1 && i < text.size() && text[i] == ';';
}

bool isControl(unsigned char c) { return (c < 0x20 && c != '\t' && c != '\n') || c == 0x7F; }

// The XML/HTML escaping both the page and Graphviz's label parser need.
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
      if (isControl(static_cast<unsigned char>(c))) {
        out += kReplacement;
      } else {
        out += c;
      }
  }
}

}  // namespace

std::string escape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (const char c : text) appendEscaped(out, c);
  return out;
}

std::string dotLabelText(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n' || c == '\t') {
      out += ' ';
    } else {
      appendEscaped(out, c);
      if (c == '&' && looksLikeReference(text, i)) out += kWordJoiner;
    }
  }
  return out;
}

std::string dotQuoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '&' && looksLikeReference(text, i)) {
      out += '&';
      out += kWordJoiner;
    } else if (c == '\\') {
      out += "\\\\\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n' || c == '\t' || isControl(static_cast<unsigned char>(c))) {
      out += ' ';
    } else {
      out += c;
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

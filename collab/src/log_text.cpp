#include "collab/log_text.hpp"

#include "collab/secret_registry.hpp"

namespace collab {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The code point of the UTF-8 sequence at the start of `text` and its length, or a length of
// 0 when the bytes there are not UTF-8 (a stray continuation byte, a truncated or overlong
// sequence, a surrogate, or beyond U+10FFFF).
struct Decoded {
  char32_t point = 0;
  std::size_t length = 0;
};

Decoded decode(std::string_view text) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  char32_t point = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    point = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    point = lead & 0x07;
  } else {
    return {};
  }
  if (text.size() < length) return {};
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return {};
    point = (point << 6) | (byte(i) & 0x3F);
  }
  const bool overlong = (length == 3 && point < 0x800) || (length == 4 && point < 0x10000);
  if (overlong || (point >= 0xD800 && point <= 0xDFFF) || point > 0x10FFFF) return {};
  return {point, length};
}

// Code points that break or reorder a line: C1 controls, the line and paragraph separators
// and the direction marks, embeddings, overrides and isolates.
constexpr bool escapedPoint(char32_t c) noexcept {
  return (c >= 0x80 && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
         (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

void appendByteEscape(std::string& out, unsigned char c) {
  switch (c) {
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    default: {
      const char esc[4] = {'\\', 'x', kHex[c >> 4], kHex[c & 0xF]};
      out.append(esc, sizeof esc);
    }
  }
}

void appendPointEscape(std::string& out, char32_t c) {
  const char esc[6] = {
      '\\', 'u', kHex[(c >> 12) & 0xF], kHex[(c >> 8) & 0xF], kHex[(c >> 4) & 0xF], kHex[c & 0xF]};
  out.append(esc, sizeof esc);
}

// Walks `text`, calling `plain(from, to)` for the runs copied as they are and
// `escapeByte(byte)` or `escapePoint(point)` for each character escaped.
template <typename Plain, typename Byte, typename Point>
void walk(std::string_view text, Plain&& plain, Byte&& escapeByte, Point&& escapePoint) {
  std::size_t plainFrom = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      ++i;
      continue;
    }
    if (c >= 0x80) {
      const Decoded d = decode(text.substr(i));
      if (d.length != 0 && !escapedPoint(d.point)) {
        i += d.length;
        continue;
      }
      plain(plainFrom, i);
      if (d.length != 0) {
        escapePoint(d.point);
        i += d.length;
      } else {
        escapeByte(c);
        ++i;
      }
      plainFrom = i;
      continue;
    }
    plain(plainFrom, i);
    escapeByte(c);
    plainFrom = ++i;
  }
  plain(plainFrom, text.size());
}

}  // namespace

void appendEscapedControls(std::string& out, std::string_view text, NotUtf8 bytes) {
  walk(
      text, [&](std::size_t from, std::size_t to) { out.append(text.data() + from, to - from); },
      [&](unsigned char c) {
        if (c >= 0x80 && bytes == NotUtf8::Replace)
          out += kReplacement;
        else
          appendByteEscape(out, c);
      },
      [&](char32_t c) { appendPointEscape(out, c); });
}

std::string escapeControls(std::string_view text, NotUtf8 bytes) {
  std::string out;
  out.reserve(text.size());
  appendEscapedControls(out, text, bytes);
  return out;
}

bool isPlainText(std::string_view text) noexcept {
  bool plain = true;
  walk(
      text, [](std::size_t, std::size_t) {}, [&](unsigned char) { plain = false; },
      [&](char32_t) { plain = false; });
  return plain;
}

std::string safeLogText(std::string_view text) {
  return escapeControls(SecretRegistry::instance().redact(text));
}

}  // namespace collab

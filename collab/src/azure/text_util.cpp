#include "text_util.hpp"

namespace collab::azure::detail {

std::string_view trimBlank(std::string_view text) {
  const char* blanks = " \t\r\n";
  std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::string firstLine(std::string_view text) {
  text = trimBlank(text);
  return std::string(trimBlank(text.substr(0, text.find_first_of("\r\n"))));
}

std::string oneLine(std::string_view text, std::size_t limit) {
  bool cut = text.size() > limit;
  if (cut) {
    std::size_t end = limit;
    // Do not split a multi-byte character: back off over continuation bytes.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text = text.substr(0, end);
  }
  std::string out;
  out.reserve(text.size() + 3);
  for (char c : text) {
    out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? ' ' : c;
  }
  if (cut) out += "...";
  return out;
}

}  // namespace collab::azure::detail

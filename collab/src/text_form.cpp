#include "collab/text_form.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <system_error>

namespace collab {

namespace {

std::string quoteText(std::string_view text) {
  const bool hasSingle = text.find('\'') != std::string_view::npos;
  const bool hasDouble = text.find('"') != std::string_view::npos;
  const char quote = (hasSingle && !hasDouble) ? '"' : '\'';
  std::string out;
  out.reserve(text.size() + 2);
  out += quote;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == quote || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (u < 0x20 || u == 0x7f) {
      char buf[5];
      std::snprintf(buf, sizeof buf, "\\x%02x", u);
      out += buf;
    } else {
      out += c;
    }
  }
  out += quote;
  return out;
}

void appendForm(std::string& out, const Json& value, bool quoteTexts) {
  switch (value.type()) {
    case Json::value_t::null:
      out += "None";
      break;
    case Json::value_t::boolean:
      out += value.get<bool>() ? "True" : "False";
      break;
    case Json::value_t::number_integer:
      out += std::to_string(value.get<std::int64_t>());
      break;
    case Json::value_t::number_unsigned:
      out += std::to_string(value.get<std::uint64_t>());
      break;
    case Json::value_t::number_float:
      out += floatForm(value.get<double>());
      break;
    case Json::value_t::string:
      if (quoteTexts)
        out += quoteText(value.get_ref<const std::string&>());
      else
        out += value.get_ref<const std::string&>();
      break;
    case Json::value_t::array: {
      out += '[';
      bool first = true;
      for (const auto& element : value) {
        if (!first) out += ", ";
        first = false;
        appendForm(out, element, true);
      }
      out += ']';
      break;
    }
    case Json::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, element] : value.items()) {
        if (!first) out += ", ";
        first = false;
        out += quoteText(key);
        out += ": ";
        appendForm(out, element, true);
      }
      out += '}';
      break;
    }
    case Json::value_t::binary:
    case Json::value_t::discarded:
      // Never produced by the configuration loader; written the way JSON would write them.
      out += value.dump();
      break;
  }
}

}  // namespace

std::string floatForm(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";

  // Shortest round-trip digits in scientific layout: [-]d[.ddd]e(+|-)XX
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  if (ec != std::errc()) return std::to_string(value);  // cannot happen with 64 bytes
  std::string_view sci(buf, static_cast<std::size_t>(end - buf));

  std::string out;
  if (sci.front() == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  const auto ePos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, ePos))
    if (c != '.') digits += c;
  const int exponent = std::atoi(std::string(sci.substr(ePos + 1)).c_str());
  // Position of the decimal point relative to the digits: value = 0.DIGITS x 10^point.
  const int point = exponent + 1;
  const int n = static_cast<int>(digits.size());

  if (point <= -4 || point > 16) {
    out += digits[0];
    if (n > 1) {
      out += '.';
      out.append(digits, 1);
    }
    char ebuf[16];
    std::snprintf(ebuf, sizeof ebuf, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
    out += ebuf;
  } else if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point < n) {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits, static_cast<std::size_t>(point));
  } else {
    out += digits;
    out.append(static_cast<std::size_t>(point - n), '0');
    out += ".0";
  }
  return out;
}

std::string textForm(const Json& value) {
  std::string out;
  appendForm(out, value, false);
  return out;
}

std::string reprForm(const Json& value) {
  std::string out;
  appendForm(out, value, true);
  return out;
}

}  // namespace collab

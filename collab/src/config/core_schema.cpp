#include "config/core_schema.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>

namespace collab::config {

namespace {

bool isDigits(std::string_view s, bool (*digit)(char)) {
  if (s.empty()) return false;
  for (char c : s)
    if (!digit(c)) return false;
  return true;
}
bool decimalDigit(char c) { return c >= '0' && c <= '9'; }
bool octalDigit(char c) { return c >= '0' && c <= '7'; }
bool hexDigit(char c) {
  return decimalDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

Json makeInteger(std::uint64_t magnitude, bool negative) {
  if (negative) {
    if (magnitude == static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1)
      return Json(std::numeric_limits<std::int64_t>::min());
    return Json(-static_cast<std::int64_t>(magnitude));
  }
  if (magnitude <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
    return Json(static_cast<std::int64_t>(magnitude));
  return Json(magnitude);
}

}  // namespace

std::optional<bool> coreBool(std::string_view s) {
  if (s == "true" || s == "True" || s == "TRUE") return true;
  if (s == "false" || s == "False" || s == "FALSE") return false;
  return std::nullopt;
}

bool coreNull(std::string_view s) {
  return s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL";
}

// [-+]?[0-9]+ | 0o[0-7]+ | 0x[0-9a-fA-F]+
IntParse coreInt(std::string_view s, Json& out) {
  int base = 10;
  bool negative = false;
  std::string_view digits = s;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'o' || s[1] == 'x')) {
    base = s[1] == 'o' ? 8 : 16;
    digits = s.substr(2);
    if (!isDigits(digits, base == 8 ? octalDigit : hexDigit)) return IntParse::kNotInt;
  } else {
    if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) {
      negative = digits[0] == '-';
      digits.remove_prefix(1);
    }
    if (!isDigits(digits, decimalDigit)) return IntParse::kNotInt;
  }
  std::uint64_t magnitude = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
  if (ec == std::errc::result_out_of_range) return IntParse::kOutOfRange;
  if (ec != std::errc() || end != digits.data() + digits.size()) return IntParse::kNotInt;
  if (negative &&
      magnitude > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1)
    return IntParse::kOutOfRange;
  out = makeInteger(magnitude, negative);
  return IntParse::kOk;
}

// [-+]?(\.[0-9]+|[0-9]+(\.[0-9]*)?)([eE][-+]?[0-9]+)? | [-+]?\.(inf|Inf|INF) | \.(nan|NaN|NAN)
std::optional<double> coreFloat(std::string_view s) {
  if (s == ".nan" || s == ".NaN" || s == ".NAN") return std::numeric_limits<double>::quiet_NaN();
  std::string_view body = s;
  bool negative = false;
  if (!body.empty() && (body[0] == '-' || body[0] == '+')) {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  if (body == ".inf" || body == ".Inf" || body == ".INF")
    return negative ? -std::numeric_limits<double>::infinity()
                    : std::numeric_limits<double>::infinity();
  // Check the shape by hand: from_chars alone would also take "inf", "1e" and the like.
  std::size_t i = 0;
  std::size_t mantissaDigits = 0;
  while (i < body.size() && decimalDigit(body[i])) ++i, ++mantissaDigits;
  if (i < body.size() && body[i] == '.') {
    ++i;
    while (i < body.size() && decimalDigit(body[i])) ++i, ++mantissaDigits;
  }
  if (mantissaDigits == 0) return std::nullopt;
  if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
    ++i;
    if (i < body.size() && (body[i] == '-' || body[i] == '+')) ++i;
    std::size_t exponentDigits = 0;
    while (i < body.size() && decimalDigit(body[i])) ++i, ++exponentDigits;
    if (exponentDigits == 0) return std::nullopt;
  }
  if (i != body.size()) return std::nullopt;
  double value = 0;
  auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), value);
  if (ec == std::errc::result_out_of_range) {
    // Past the range of a double: infinity when the value is large, zero when it is tiny.
    // Its decimal magnitude decides: digits before the point (after leading zeros), or the
    // zeros right after the point, plus the exponent.
    const std::size_t e = body.find_first_of("eE");
    const std::string_view mantissa = body.substr(0, e);
    long long magnitude = 0;
    const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
    const std::size_t firstDigit = mantissa.find_first_of("123456789");
    if (firstDigit == std::string_view::npos) {
      magnitude = std::numeric_limits<int>::min();  // all zeros: zero
    } else if (firstDigit < point) {
      magnitude = static_cast<long long>(point - firstDigit);
    } else {
      magnitude = -static_cast<long long>(firstDigit - point - 1);
    }
    if (e != std::string_view::npos) {
      long long exponent = 0;
      std::string_view digits = body.substr(e + 1);
      const bool negativeExponent = !digits.empty() && digits[0] == '-';
      if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) digits.remove_prefix(1);
      auto [p, err] = std::from_chars(digits.data(), digits.data() + digits.size(), exponent);
      if (err == std::errc::result_out_of_range) exponent = 1'000'000;
      (void)p;
      magnitude += negativeExponent ? -exponent : exponent;
    }
    value = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (ec != std::errc() || end != body.data() + body.size()) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

}  // namespace collab::config

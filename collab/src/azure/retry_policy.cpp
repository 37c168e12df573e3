#include "collab/azure/retry_policy.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>

namespace collab::azure {

namespace {

using std::chrono::milliseconds;

// A wait no server hint may exceed; anything longer is as good as "never" for our budgets.
constexpr std::int64_t kLongestHintMs = std::int64_t{24} * 3600 * 1000;

std::string_view trimmed(std::string_view text) {
  const char* blanks = " \t";
  std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// A non-negative whole number, or absent for anything else (signs, fractions, junk).
std::optional<std::int64_t> wholeNumber(std::string_view text) {
  text = trimmed(text);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (end != text.data() + text.size()) return std::nullopt;
  if (error == std::errc::result_out_of_range ||
      value > static_cast<std::uint64_t>(kLongestHintMs)) {
    return kLongestHintMs;
  }
  if (error != std::errc()) return std::nullopt;
  return static_cast<std::int64_t>(value);
}

}  // namespace

bool isRetryableStatus(int status) noexcept {
  return status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

std::optional<milliseconds> serverRetryDelay(const HttpHeaders& headers,
                                             std::chrono::system_clock::time_point now) {
  for (const char* name : {"retry-after-ms", "x-ms-retry-after-ms"}) {
    if (auto value = headers.get(name)) {
      if (auto ms = wholeNumber(*value)) return milliseconds(std::min(*ms, kLongestHintMs));
    }
  }
  auto value = headers.get("Retry-After");
  if (!value) return std::nullopt;
  std::string_view text = trimmed(*value);
  if (text.empty()) return std::nullopt;
  if (std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    auto seconds = wholeNumber(text);
    if (!seconds) return std::nullopt;
    return milliseconds(std::min(*seconds, kLongestHintMs / 1000) * 1000);
  }
  // An HTTP date (IMF-fixdate, or the obsolete RFC 850 and asctime forms).
  std::string date(text);
  time_t when = curl_getdate(date.c_str(), nullptr);
  if (when == -1) return std::nullopt;
  auto target = std::chrono::system_clock::from_time_t(when);
  if (target <= now) return milliseconds(0);
  auto wait = std::chrono::duration_cast<milliseconds>(target - now);
  return std::min(wait, milliseconds(kLongestHintMs));
}

milliseconds backoffDelay(const RetryPolicy& policy, int retry, double unitRandom) noexcept {
  double exponent = std::clamp(retry, 1, 62) - 1;
  double cap = static_cast<double>(policy.maxDelay.count());
  double base =
      std::min(static_cast<double>(policy.baseDelay.count()) * std::pow(2.0, exponent), cap);
  double jitter = 0.8 + 0.4 * std::clamp(unitRandom, 0.0, 1.0);
  double delay = std::min(base * jitter, cap);
  return milliseconds(static_cast<std::int64_t>(std::max(delay, 0.0)));
}

milliseconds retryDelay(const RetryPolicy& policy, int retry, const HttpHeaders* headers,
                        std::chrono::system_clock::time_point now, double unitRandom) {
  if (headers) {
    if (auto hint = serverRetryDelay(*headers, now)) return *hint;
  }
  return backoffDelay(policy, retry, unitRandom);
}

}  // namespace collab::azure

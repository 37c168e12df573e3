#include "run/budget_rules.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace kxdiscover {

namespace {

using std::chrono::nanoseconds;

std::int64_t ticks(SteadyTime time) {
  return std::chrono::duration_cast<nanoseconds>(time.time_since_epoch()).count();
}

nanoseconds secondsToWait(double seconds) {
  return nanoseconds(static_cast<std::int64_t>(std::ceil(seconds * 1e9)));
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// A whole number of the text, and nothing else.
template <class T>
std::optional<T> wholeNumber(std::string_view text) {
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

void noteUse(BudgetEntry& entry, SteadyTime now) { entry.lastUsed = ticks(now); }

// What Azure will have left once every request taken and not answered has spent its share.
double afterOutstanding(const BudgetEntry& entry) { return entry.left - entry.outstanding; }

// Reads: the bucket as last reported, refilled since, up to its size.
void refill(BudgetEntry& entry, std::int64_t t, double perSecond) {
  if (t > entry.at && perSecond > 0) {
    const double refilled = static_cast<double>(t - entry.at) / 1e9 * perSecond;
    entry.left = std::max(entry.left, std::min(entry.capacity, entry.left + refilled));
  }
  entry.at = std::max(entry.at, t);
}

// An answer without a count, or no answer: Azure may have counted the request, so it is taken
// as spent.
void spentUncounted(BudgetEntry& entry) {
  if (entry.known) entry.left -= 1;
}

}  // namespace

nanoseconds takeRead(BudgetEntry& entry, SteadyTime now, const ReadBudgetRules& rules) {
  noteUse(entry, now);
  ++entry.outstanding;
  if (!entry.known) return nanoseconds(0);
  refill(entry, ticks(now), rules.refillPerSecond);
  const double left = afterOutstanding(entry);
  if (left >= rules.reserve || rules.refillPerSecond <= 0) return nanoseconds(0);
  return secondsToWait((rules.reserve - left) / rules.refillPerSecond);
}

void settleRead(BudgetEntry& entry, SteadyTime now, std::optional<int> remaining,
                const ReadBudgetRules& rules) {
  if (entry.outstanding > 0) --entry.outstanding;
  if (!remaining) return spentUncounted(entry);
  noteUse(entry, now);
  entry.capacity = std::max(entry.capacity, static_cast<double>(*remaining) + 1);
  if (entry.known) {
    // An answer overtaken by a later one reports more than is left: the refilled count of
    // the latest stands unless this one says less.
    refill(entry, ticks(now), rules.refillPerSecond);
    entry.left = std::min(entry.left, static_cast<double>(*remaining));
  } else {
    entry.left = *remaining;
    entry.at = ticks(now);
  }
  entry.known = 1;
}

nanoseconds takeQuery(BudgetEntry& entry, SteadyTime now, const QueryQuotaRules& rules) {
  noteUse(entry, now);
  ++entry.outstanding;
  if (!entry.known) return nanoseconds(0);
  const std::int64_t t = ticks(now);
  if (t >= entry.resetAt) {
    // The window known has ended: presume a fresh one starts with this query.  Requests still
    // outstanding (those waiting for this reset among them) count against it.
    entry.left = entry.capacity;
    entry.resetAt = t + entry.window;
    entry.confirmed = 0;
  }
  const double left = afterOutstanding(entry);
  if (left >= rules.reserve) return nanoseconds(0);
  // In debt: the query goes in the window its place in the queue falls into.
  const double perWindow = std::max(entry.capacity - rules.reserve, 1.0);
  const auto windowsAhead =
      static_cast<std::int64_t>(std::ceil((rules.reserve - left) / perWindow)) - 1;
  const std::int64_t window = std::max<std::int64_t>(entry.window, 1'000'000'000);
  const std::int64_t until = entry.resetAt + windowsAhead * window +
                             std::chrono::duration_cast<nanoseconds>(rules.margin).count();
  return nanoseconds(std::max<std::int64_t>(until - t, 0));
}

void settleQuery(BudgetEntry& entry, SteadyTime now, std::optional<int> remaining,
                 std::optional<nanoseconds> resetsAfter) {
  if (entry.outstanding > 0) --entry.outstanding;
  if (!remaining || !resetsAfter) return spentUncounted(entry);
  noteUse(entry, now);
  entry.capacity = std::max(entry.capacity, static_cast<double>(*remaining) + 1);
  entry.window = std::max(entry.window, resetsAfter->count());
  const std::int64_t reset = ticks(now) + resetsAfter->count();
  const std::int64_t half = entry.window / 2;
  if (!entry.known || reset > entry.resetAt + half) {
    // The first answer, or one from a later window than the one known.
    entry.left = *remaining;
    entry.resetAt = reset;
  } else if (reset < entry.resetAt - half) {
    // A late answer of an earlier window says nothing about this one.
    return;
  } else {
    // The same window: its count only goes down, whatever order the answers come back in,
    // and Azure rounds the time to the reset up to whole seconds, so the earliest reset any
    // answer names is the closest.
    entry.left = std::min(entry.left, static_cast<double>(*remaining));
    entry.resetAt = entry.confirmed ? std::min(entry.resetAt, reset) : reset;
  }
  entry.known = 1;
  entry.confirmed = 1;
}

void giveBack(BudgetEntry& entry) {
  if (entry.outstanding > 0) --entry.outstanding;
}

std::optional<int> parseRemaining(std::string_view text) { return wholeNumber<int>(trimmed(text)); }

std::optional<nanoseconds> parseResetsAfter(std::string_view text) {
  text = trimmed(text);
  const std::size_t first = text.find(':');
  const std::size_t second = first == std::string_view::npos ? first : text.find(':', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  const auto hours = wholeNumber<std::int64_t>(text.substr(0, first));
  const auto minutes = wholeNumber<std::int64_t>(text.substr(first + 1, second - first - 1));
  std::string_view secondsText = text.substr(second + 1);
  std::string_view fraction;
  if (const std::size_t dot = secondsText.find('.'); dot != std::string_view::npos) {
    fraction = secondsText.substr(dot + 1);
    secondsText = secondsText.substr(0, dot);
    if (fraction.empty()) return std::nullopt;
  }
  const auto seconds = wholeNumber<std::int64_t>(secondsText);
  if (!hours || !minutes || !seconds || *hours < 0 || *minutes < 0 || *minutes > 59 ||
      *seconds < 0 || *seconds > 59 || *hours > 24 * 365) {
    return std::nullopt;
  }
  std::int64_t total = ((*hours * 60 + *minutes) * 60 + *seconds) * 1'000'000'000;
  std::int64_t scale = 100'000'000;
  for (char c : fraction) {
    if (c < '0' || c > '9') return std::nullopt;
    total += (c - '0') * scale;
    scale /= 10;
  }
  return nanoseconds(total);
}

}  // namespace kxdiscover

#pragma once
// How much is left of Azure's throttling budgets, as the processes of one run see it together,
// and how long a request must wait to stay inside them.  Pure functions of an entry and the
// time, so that they can be tested without waiting; `BudgetLedger` keeps the entries and
// `BudgetTransport` applies them.
//
// Two shapes of budget:
//  - Resource Manager's reads: a bucket per subscription and principal that refills at a
//    steady rate (250 reads, 25 a second), whose content every read's answer reports in
//    `x-ms-ratelimit-remaining-subscription-reads` (`-tenant-reads` for tenant-level reads);
//  - Resource Graph's quota: a number of queries per window and principal (15 per 5 s), with
//    `x-ms-user-quota-remaining` and `x-ms-user-quota-resets-after` on every answer.
//
// A request takes its share before it is sent and its answer (or the failure to get one)
// settles it.  An entry keeps what Azure last reported left (`left`; reads refilled since at
// the documented rate) and the requests taken and not answered yet (`outstanding`); a request
// goes when what is left once every outstanding one has spent its share keeps the reserve, so
// processes taking turns on one entry never spend the same read twice.  A request that finds
// the budget short still takes its share at once (the budget goes into debt) and is told how
// long to wait: requests queue in the order they came, each with one wait, and nothing polls.
// Azure is the judge: a lower count in an answer replaces the estimate at once, so reads spent by
// anyone else (another run of the same principal) show up.  Answers may come back in another
// order than Azure counted them; a count only goes down between refills (reads) and within a
// window (queries), so an answer overtaken by a later one, reporting more, changes nothing.
//
// Costs and limits: an entry is 64 bytes.  Requests in flight that Azure has already counted are
// counted once more until their answers come back, so the estimate errs low by at most the number
// in flight at once: a request may wait a little longer than it had to, never go too early.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>

namespace kxdiscover {

using SteadyTime = std::chrono::steady_clock::time_point;

/// One budget as the run knows it.  Plain data of a fixed layout: the ledger shares it between
/// processes as bytes.  Times are nanoseconds of the steady clock (CLOCK_MONOTONIC, the same
/// for every process of the machine).
struct BudgetEntry {
  std::uint64_t key = 0;
  /// When `left` was last brought up to date (reads: the refill is counted from here).
  std::int64_t at = 0;
  /// Quota windows: when the current window ends, and the window's length as learnt.
  std::int64_t resetAt = 0;
  std::int64_t window = 0;
  std::int64_t lastUsed = 0;
  /// What Azure last reported left (reads: refilled since `at`; quota windows: the lowest count
  /// of the current window).
  double left = 0;
  /// One more than the largest remaining count Azure ever reported: the bucket or quota size.
  double capacity = 0;
  std::int32_t outstanding = 0;
  /// Azure has reported on this budget (before that, requests go unpaced).
  std::uint8_t known = 0;
  /// Quota windows: `resetAt` comes from an answer of the current window, not a presumption.
  std::uint8_t confirmed = 0;
  std::uint8_t unused[2] = {};
};
static_assert(sizeof(BudgetEntry) == 64 && std::is_trivially_copyable_v<BudgetEntry>);

struct ReadBudgetRules {
  /// Reads kept in hand: a read that would leave fewer waits for the refill.  The same as the
  /// ARM pipeline's own pacing, so that the pipeline, seeing as many left, never waits twice.
  int reserve = 20;
  double refillPerSecond = 25;
};

struct QueryQuotaRules {
  /// Queries kept in hand within a window.
  int reserve = 0;
  /// Added to every wait for a window to reset: Azure's count is in whole seconds.
  std::chrono::milliseconds margin{50};
};

/// Takes one read of `entry` at `now`; returns how long to wait before sending it (zero: at
/// once).  A budget Azure has not reported on yet lets the read go.
std::chrono::nanoseconds takeRead(BudgetEntry& entry, SteadyTime now, const ReadBudgetRules& rules);

/// Settles a read taken earlier, with the remaining count of its answer (absent: no answer, or
/// one without the header).
void settleRead(BudgetEntry& entry, SteadyTime now, std::optional<int> remaining,
                const ReadBudgetRules& rules);

/// Takes one Resource Graph query of `entry` at `now`; returns how long to wait before sending.
std::chrono::nanoseconds takeQuery(BudgetEntry& entry, SteadyTime now,
                                   const QueryQuotaRules& rules);

/// Settles a query taken earlier, with the two quota headers of its answer (either absent: no
/// answer, or one without them).
void settleQuery(BudgetEntry& entry, SteadyTime now, std::optional<int> remaining,
                 std::optional<std::chrono::nanoseconds> resetsAfter);

/// A request taken but never sent gives its share back.
void giveBack(BudgetEntry& entry);

/// A remaining count as Azure writes it (a whole number, blanks around it allowed); absent for
/// anything else.
std::optional<int> parseRemaining(std::string_view text);

/// `x-ms-user-quota-resets-after`: "hh:mm:ss", seconds optionally with a fraction; absent for
/// anything else.
std::optional<std::chrono::nanoseconds> parseResetsAfter(std::string_view text);

}  // namespace kxdiscover

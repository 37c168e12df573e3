// The budget rules as sequences of takes and answers at given times: what each request waits,
// and what the estimate holds after each answer.  Reads refill at 25 a second and keep 20 in
// hand; Resource Graph counts queries per window.
#include "run/budget_rules.hpp"

#include <gtest/gtest.h>

#include <variant>
#include <vector>

namespace kxdiscover {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;

SteadyTime at(milliseconds t) { return SteadyTime(t); }

// One step of a sequence: a take (and the wait it must be told), or an answer settling one.
struct Take {
  milliseconds when;
  milliseconds wait;
};
struct Answer {
  milliseconds when;
  std::optional<int> remaining;
  std::optional<milliseconds> resetsAfter = std::nullopt;
  /// What is left afterwards once the requests still out have spent their share.
  double left = 0;
};
struct GiveBack {
  double left;
};
using Step = std::variant<Take, Answer, GiveBack>;

struct Sequence {
  const char* what;
  std::vector<Step> steps;
};

void play(const Sequence& sequence, bool query) {
  SCOPED_TRACE(sequence.what);
  BudgetEntry entry;
  const ReadBudgetRules reads;
  const QueryQuotaRules queries;
  for (std::size_t i = 0; i < sequence.steps.size(); ++i) {
    SCOPED_TRACE("step " + std::to_string(i + 1));
    const Step& step = sequence.steps[i];
    if (const auto* take = std::get_if<Take>(&step)) {
      const nanoseconds wait = query ? takeQuery(entry, at(take->when), queries)
                                     : takeRead(entry, at(take->when), reads);
      EXPECT_EQ(std::chrono::ceil<milliseconds>(wait), take->wait);
    } else if (const auto* answer = std::get_if<Answer>(&step)) {
      if (query) {
        settleQuery(
            entry, at(answer->when), answer->remaining,
            answer->resetsAfter ? std::optional<nanoseconds>(*answer->resetsAfter) : std::nullopt);
      } else {
        settleRead(entry, at(answer->when), answer->remaining, reads);
      }
      EXPECT_DOUBLE_EQ(entry.left - entry.outstanding, answer->left);
    } else {
      giveBack(entry);
      EXPECT_DOUBLE_EQ(entry.left - entry.outstanding, std::get<GiveBack>(step).left);
    }
  }
  EXPECT_EQ(entry.outstanding, 0) << "every take settled";
}

constexpr milliseconds ms(long long n) { return milliseconds(n); }

TEST(BudgetRules, ReadsKeepTheReserveOfTheSharedBucket) {
  const Sequence sequences[] = {
      {"before Azure reports, reads go at once; the first answer counts those still out",
       {Take{ms(0), ms(0)}, Take{ms(0), ms(0)}, Take{ms(0), ms(0)},
        Answer{ms(10), 249, std::nullopt, 247}, Answer{ms(11), 248, std::nullopt, 247},
        Answer{ms(12), 247, std::nullopt, 247}}},
      {"a read that would leave less than the reserve waits for the refill, and the next one "
       "queues behind it",
       {Take{ms(0), ms(0)}, Answer{ms(0), 21, std::nullopt, 21}, Take{ms(0), ms(0)},
        Take{ms(0), ms(40)}, Take{ms(0), ms(80)}, Answer{ms(5), 20, std::nullopt, 18},
        Answer{ms(45), 20, std::nullopt, 19}, Answer{ms(85), 20, std::nullopt, 20}}},
      {"the refill counts the time since the last answer, up to the bucket Azure reported",
       {Take{ms(0), ms(0)}, Answer{ms(0), 30, std::nullopt, 30},
        // 30 left; after 10 s the bucket would hold 280 but was never seen above 31.
        Take{ms(10'000), ms(0)}, Answer{ms(10'000), 30, std::nullopt, 30}}},
      {"reads others spent show in Azure's count at once",
       {Take{ms(0), ms(0)}, Answer{ms(0), 200, std::nullopt, 200}, Take{ms(1), ms(0)},
        Answer{ms(2), 5, std::nullopt, 5}, Take{ms(2), ms(640)},
        Answer{ms(700), 20, std::nullopt, 20}}},
      {"an answer without the header, or no answer, spends the read all the same",
       {Take{ms(0), ms(0)}, Answer{ms(0), 100, std::nullopt, 100}, Take{ms(0), ms(0)},
        Answer{ms(1), std::nullopt, std::nullopt, 99}}},
      {"an answer overtaken by a later one, reporting more, changes nothing",
       {Take{ms(0), ms(0)}, Answer{ms(0), 100, std::nullopt, 100}, Take{ms(10), ms(0)},
        Take{ms(10), ms(0)}, Answer{ms(20), 98, std::nullopt, 97},
        Answer{ms(20), 99, std::nullopt, 98}}},
      {"a read never sent gives its share back",
       {Take{ms(0), ms(0)}, Answer{ms(0), 21, std::nullopt, 21}, Take{ms(0), ms(0)},
        Take{ms(0), ms(40)}, GiveBack{20}, Take{ms(0), ms(40)}, Answer{ms(1), 20, std::nullopt, 19},
        Answer{ms(41), 19, std::nullopt, 19}}},
  };
  for (const auto& sequence : sequences) play(sequence, /*query=*/false);
}

TEST(BudgetRules, ResourceGraphQueriesFillEachWindowAndWaitForTheNext) {
  const Sequence sequences[] = {
      {"a full window's queries go at once; the next waits for the reset, the one after a "
       "full window more",
       {Take{ms(0), ms(0)}, Answer{ms(100), 14, ms(5000), 14},
        // 14 more fill the window...
        Take{ms(100), ms(0)}, Take{ms(100), ms(0)}, Take{ms(100), ms(0)}, Take{ms(100), ms(0)},
        Take{ms(100), ms(0)}, Take{ms(100), ms(0)}, Take{ms(100), ms(0)}, Take{ms(100), ms(0)},
        Take{ms(100), ms(0)}, Take{ms(100), ms(0)}, Take{ms(100), ms(0)}, Take{ms(100), ms(0)},
        Take{ms(100), ms(0)}, Take{ms(100), ms(0)},
        // ...the 16th waits for the reset at 5.1 s (and the margin)...
        Take{ms(100), ms(5050)}, GiveBack{0}, Answer{ms(200), 13, ms(5000), 0},
        Answer{ms(200), 12, ms(5000), 0}, Answer{ms(200), 11, ms(5000), 0},
        Answer{ms(200), 10, ms(5000), 0}, Answer{ms(200), 9, ms(5000), 0},
        Answer{ms(200), 8, ms(5000), 0}, Answer{ms(200), 7, ms(5000), 0},
        Answer{ms(200), 6, ms(5000), 0}, Answer{ms(200), 5, ms(5000), 0},
        Answer{ms(200), 4, ms(5000), 0}, Answer{ms(200), 3, ms(5000), 0},
        Answer{ms(200), 2, ms(5000), 0}, Answer{ms(200), 1, ms(5000), 0},
        Answer{ms(200), 0, ms(5000), 0}}},
      {"answers of one window name its earliest reset; a late answer of an earlier window is "
       "ignored; the first answer of a later window is taken",
       {Take{ms(0), ms(0)}, Answer{ms(200), 14, ms(5000), 14},      // resets by 5.2 s
        Take{ms(900), ms(0)}, Answer{ms(900), 13, ms(5000), 13},    // 5.9 s: no news
        Take{ms(1050), ms(0)}, Answer{ms(1050), 12, ms(4000), 12},  // 5.05 s: closer
        Take{ms(5100), ms(0)},  // the window is over: a fresh one is presumed
        Take{ms(5100), ms(0)}, Answer{ms(5120), 0, ms(1000), 14},       // late, of the old window
        Answer{ms(5300), 13, ms(5000), 13},                             // the new window's count
        Take{ms(9000), ms(0)}, Answer{ms(11'000), 14, ms(5000), 14}}},  // resets by 16 s
      {"answers coming back in another order than Azure counted the queries leave Azure's "
       "count",
       {Take{ms(0), ms(0)}, Take{ms(0), ms(0)}, Take{ms(0), ms(0)}, Take{ms(0), ms(0)},
        Answer{ms(100), 13, ms(5000), 10}, Answer{ms(100), 14, ms(5000), 11},
        Answer{ms(100), 11, ms(5000), 10}, Answer{ms(100), 12, ms(5000), 11}}},
      {"without both headers a query only ends (nothing known yet to spend it from)",
       {Take{ms(0), ms(0)}, Answer{ms(0), 14, std::nullopt, 0}, Take{ms(0), ms(0)},
        Answer{ms(0), std::nullopt, ms(5000), 0}}},
  };
  for (const auto& sequence : sequences) play(sequence, /*query=*/true);
}

TEST(BudgetRules, ReadsAzuresHeaders) {
  const std::pair<const char*, std::optional<long long>> resets[] = {
      {"00:00:05", 5'000},        {"00:01:02.5", 62'500},   {" 01:00:00 ", 3'600'000},
      {"00:00:00.125", 125},      {"5", std::nullopt},      {"00:60:00", std::nullopt},
      {"aa:bb:cc", std::nullopt}, {"00:00:", std::nullopt}, {"00:00:05.", std::nullopt},
      {"-1:00:00", std::nullopt}, {"", std::nullopt},       {"00:00:05x", std::nullopt},
  };
  for (const auto& [text, millis] : resets) {
    SCOPED_TRACE(text);
    const auto parsed = parseResetsAfter(text);
    ASSERT_EQ(parsed.has_value(), millis.has_value());
    if (millis) {
      EXPECT_EQ(std::chrono::duration_cast<milliseconds>(*parsed).count(), *millis);
    }
  }
  const std::pair<const char*, std::optional<int>> counts[] = {
      {"249", 249},       {" 12 ", 12},          {"0", 0},
      {"", std::nullopt}, {"12a", std::nullopt}, {"1.5", std::nullopt},
  };
  for (const auto& [text, count] : counts) EXPECT_EQ(parseRemaining(text), count) << text;
}

}  // namespace
}  // namespace kxdiscover

#include "core/conflict.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace kavex {

void PrintTo(const RetryDecision& d, std::ostream* os) { *os << d.repr(); }

namespace {

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

struct Range {
  std::uint64_t lo, hi;
};

// Draws the same conflict sequence for many fresh keys and checks that the
// k-th conflict always waits within ranges[k] and that the jitter spreads over
// the whole range (narrow ranges must hit both ends exactly).
void expect_wait_ranges(ConflictCounters& c, const std::vector<Range>& ranges) {
  constexpr int kKeys = 2000;
  std::vector<std::uint64_t> lo(ranges.size(), kMax64), hi(ranges.size(), 0);
  for (int k = 0; k < kKeys; ++k) {
    const std::string key = "key" + std::to_string(k);
    for (std::size_t i = 0; i < ranges.size(); ++i) {
      const RetryDecision d = c.report_conflict(key);
      ASSERT_TRUE(d.should_retry);
      ASSERT_GE(d.wait_ms, ranges[i].lo) << "conflict " << i + 1;
      ASSERT_LE(d.wait_ms, ranges[i].hi) << "conflict " << i + 1;
      lo[i] = std::min(lo[i], d.wait_ms);
      hi[i] = std::max(hi[i], d.wait_ms);
    }
    c.report_success(key);
  }
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    const std::uint64_t width = ranges[i].hi - ranges[i].lo;
    if (width <= 16) {
      EXPECT_EQ(lo[i], ranges[i].lo) << "conflict " << i + 1;
      EXPECT_EQ(hi[i], ranges[i].hi) << "conflict " << i + 1;
    } else {
      EXPECT_GE(hi[i] - lo[i], width * 9 / 10) << "conflict " << i + 1;
    }
  }
}

TEST(ConflictCounters, DefaultBackoffDoublesThenKeyBecomesHolder) {
  ConflictCounters c;
  EXPECT_EQ(c.max_retries(), 5u);
  EXPECT_EQ(c.base_backoff_ms(), 2u);
  expect_wait_ranges(c, {{1, 2}, {3, 4}, {6, 9}, {12, 19}, {25, 38}});

  for (int i = 0; i < 5; ++i) c.report_conflict("k");
  EXPECT_EQ(c.failure_count("k"), 5u);
  EXPECT_FALSE(c.is_blocked(std::nullopt));
  EXPECT_EQ(c.report_conflict("k"), (RetryDecision{true, 1}));
  EXPECT_EQ(c.failure_count("k"), 5u);
  EXPECT_TRUE(c.is_blocked(std::nullopt));
  EXPECT_FALSE(c.is_blocked("k"));
  // Further conflicts by the holder keep the same answer.
  EXPECT_EQ(c.report_conflict("k"), (RetryDecision{true, 1}));
}

TEST(ConflictCounters, BackoffExponentIsCappedAtTen) {
  ConflictCounters c(20, 1);
  std::vector<Range> ranges;
  for (int n = 0; n < 20; ++n) {
    const std::uint64_t b = std::uint64_t{1} << std::min(n, 10);
    ranges.push_back({static_cast<std::uint64_t>(0.8 * b),
                      static_cast<std::uint64_t>(std::nextafter(1.2 * b, 0.0))});
  }
  ASSERT_EQ(ranges[10].lo, 819u);
  ASSERT_EQ(ranges[10].hi, 1228u);
  expect_wait_ranges(c, ranges);
}

TEST(ConflictCounters, ZeroBaseWaitsZeroAndZeroRetriesMakesHolderAtOnce) {
  ConflictCounters zero_base(3, 0);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(zero_base.report_conflict("k"), (RetryDecision{true, 0}));
  }
  EXPECT_EQ(zero_base.report_conflict("k"), (RetryDecision{true, 1}));

  ConflictCounters no_retries(0, 2);
  EXPECT_EQ(no_retries.report_conflict("k"), (RetryDecision{true, 1}));
  EXPECT_EQ(no_retries.failure_count("k"), 0u);
  EXPECT_TRUE(no_retries.is_blocked("other"));
  EXPECT_FALSE(no_retries.is_blocked("k"));
}

TEST(ConflictCounters, HolderMakesEveryOtherKeyWaitAndIsClearedOnlyByItsOwnSuccess) {
  ConflictCounters c(1, 2);
  c.report_conflict("other");  // counted before the holder appears
  c.report_conflict("waiting");
  c.report_conflict("vip");
  ASSERT_EQ(c.report_conflict("vip"), (RetryDecision{true, 1}));

  // Others are told to wait, and their counts do not move.
  EXPECT_EQ(c.report_conflict("other"), (RetryDecision{true, 50}));
  EXPECT_EQ(c.report_conflict("fresh"), (RetryDecision{true, 50}));
  EXPECT_EQ(c.failure_count("other"), 1u);
  EXPECT_EQ(c.failure_count("fresh"), 0u);

  struct Case {
    std::optional<std::string_view> requester;
    bool blocked;
  };
  const Case cases[] = {
      {std::nullopt, true},
      {"vip", false},
      {"other", true},
      {"", true},
      {std::string_view("vip\0", 4), true},  // compared byte-wise
      {"VIP", true},
  };
  for (const auto& [requester, blocked] : cases) {
    EXPECT_EQ(c.is_blocked(requester), blocked)
        << (requester ? std::string(*requester) : "<none>");
  }

  c.report_success("other");
  c.report_success("never-seen");
  EXPECT_TRUE(c.is_blocked(std::nullopt));
  EXPECT_EQ(c.failure_count("other"), 0u);

  c.report_success("vip");
  EXPECT_FALSE(c.is_blocked(std::nullopt));
  EXPECT_EQ(c.failure_count("vip"), 0u);
  EXPECT_EQ(c.report_conflict("waiting"), (RetryDecision{true, 1}))
      << "a key still at its limit becomes the next holder";
  EXPECT_FALSE(c.is_blocked("waiting"));
}

TEST(ConflictCounters, SuccessResetsTheBackoff) {
  ConflictCounters c(5, 100);
  c.report_conflict("k");
  c.report_conflict("k");
  c.report_success("k");
  EXPECT_EQ(c.failure_count("k"), 0u);
  const RetryDecision d = c.report_conflict("k");
  EXPECT_GE(d.wait_ms, 80u);
  EXPECT_LT(d.wait_ms, 120u);
}

// Huge bases must saturate or lose high bits as plain unsigned arithmetic
// does, never run into an out-of-range float-to-integer conversion.
TEST(ConflictCounters, HugeBaseSaturates) {
  const std::uint64_t at_least_08_of_2_64 = static_cast<std::uint64_t>(0.8 * 0x1p64);
  {
    ConflictCounters c(3, kMax64);
    for (int i = 0; i < 3; ++i) {  // base, base << 1, base << 2 are all ~2^64
      const RetryDecision d = c.report_conflict("k");
      EXPECT_GE(d.wait_ms, at_least_08_of_2_64);
    }
  }
  {
    ConflictCounters c(3, std::uint64_t{1} << 63);
    const RetryDecision first = c.report_conflict("k");
    EXPECT_GE(first.wait_ms, static_cast<std::uint64_t>(0.8 * 0x1p63));
    EXPECT_LT(first.wait_ms, static_cast<std::uint64_t>(1.2 * 0x1p63));
    EXPECT_EQ(c.report_conflict("k").wait_ms, 0u) << "the only set bit is shifted out";
  }
}

TEST(ConflictCounters, JitterAndConversionHelpers) {
  EXPECT_EQ(detail::jitter_from_bits(0), 0.8);
  EXPECT_LT(detail::jitter_from_bits(kMax64), 1.2);
  EXPECT_GT(detail::jitter_from_bits(kMax64), 1.1999999);
  EXPECT_LT(detail::jitter_from_bits(kMax64 >> 1), detail::jitter_from_bits(kMax64));

  const struct {
    double in;
    std::uint64_t out;
  } cases[] = {
      {0.0, 0},
      {-0.0, 0},
      {-1.0, 0},
      {-1e300, 0},
      {std::nan(""), 0},
      {1.999, 1},
      {1e6 + 0.5, 1000000},
      {0x1p63, std::uint64_t{1} << 63},
      {std::nextafter(0x1p64, 0.0), kMax64 - 2047},
      {0x1p64, kMax64},
      {1e300, kMax64},
      {std::numeric_limits<double>::infinity(), kMax64},
      {-std::numeric_limits<double>::infinity(), 0},
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(detail::saturating_to_u64(in), out) << in;
  }
}

TEST(ConflictCounters, ReprSpellsTheDecision) {
  EXPECT_EQ((RetryDecision{true, 50}).repr(), "RetryDecision(retry=true, wait=50ms)");
  EXPECT_EQ((RetryDecision{false, 0}).repr(), "RetryDecision(retry=false, wait=0ms)");
  EXPECT_EQ((RetryDecision{true, kMax64}).repr(),
            "RetryDecision(retry=true, wait=18446744073709551615ms)");
}

TEST(ConflictCounters, CopiesShareState) {
  ConflictCounters a(1, 2);
  ConflictCounters b = a;
  ConflictCounters c(9, 9);
  c = b;
  a.report_conflict("k");
  EXPECT_EQ(b.failure_count("k"), 1u);
  EXPECT_EQ(c.max_retries(), 1u);
  c.report_conflict("k");
  EXPECT_TRUE(a.is_blocked("x"));
  b.report_success("k");
  EXPECT_FALSE(c.is_blocked("x"));
  EXPECT_EQ(a.failure_count("k"), 0u);
}

TEST(ConflictCounters, ConcurrentConflictsAreCountedOnceEachAndElectOneHolder) {
  constexpr int kThreads = 4;
  {
    // No update may be lost on a shared key.
    constexpr int kPerThread = 5000;
    ConflictCounters c(kThreads * kPerThread, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([c]() mutable {
        for (int i = 0; i < kPerThread; ++i) c.report_conflict("shared");
      });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(c.failure_count("shared"), std::uint32_t{kThreads * kPerThread});
  }
  {
    // Each thread exhausts its own key; exactly one becomes the holder and
    // from then on the others are told to wait 50 ms.
    constexpr std::uint32_t kMaxRetries = 50;
    ConflictCounters c(kMaxRetries, 0);
    std::atomic<int> became_holder{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([c, t, &became_holder]() mutable {
        const std::string key = "writer" + std::to_string(t);
        for (int i = 0; i < 200; ++i) {
          const RetryDecision d = c.report_conflict(key);
          if (d.wait_ms == 1 && !c.is_blocked(key)) {
            became_holder.fetch_add(1);
            break;
          }
          EXPECT_TRUE(d.wait_ms == 0 || d.wait_ms == 50 || d.wait_ms == 1) << d.wait_ms;
          EXPECT_LE(c.failure_count(key), c.max_retries());
        }
      });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(became_holder.load(), 1);
    int holders = 0;
    for (int t = 0; t < kThreads; ++t) {
      holders += c.is_blocked("writer" + std::to_string(t)) ? 0 : 1;
    }
    EXPECT_EQ(holders, 1);
  }
}

}  // namespace
}  // namespace kavex

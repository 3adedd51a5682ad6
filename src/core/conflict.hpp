// Backoff and priority-holder bookkeeping for optimistic writers that lost a
// write race on a key.
//
// Guarantees:
//  * A key's failure count grows by one per backed-off conflict, never exceeds
//    max_retries, and is removed by report_success.
//  * There is at most one priority holder ("VIP") at a time. A key becomes the
//    holder only after max_retries counted conflicts and only while there is
//    none; the holder is cleared only by its own report_success. While a
//    holder exists every other key is told to wait 50 ms.
//  * Every RetryDecision says to retry.
//
// Thread safety: ConflictCounters is a cheap copyable handle; all copies share
// the same state, and every member may be called from any thread.
//
// Locks: the failure counts and the holder each have their own mutex. When
// both are needed the counts lock is taken first, then the holder lock.
// is_blocked takes only the holder lock, failure_count only the counts lock.
// Neither is held outside these members, and nothing else is called under them
// (apart from the map's own allocation).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kavex {

struct RetryDecision {
  bool should_retry;
  std::uint64_t wait_ms;

  // "RetryDecision(retry=true, wait=50ms)"
  std::string repr() const;
  friend bool operator==(const RetryDecision&, const RetryDecision&) = default;
};

class ConflictCounters {
 public:
  static constexpr std::uint32_t kDefaultMaxRetries = 5;
  static constexpr std::uint64_t kDefaultBaseBackoffMs = 2;
  // Wait told to every key other than the holder while a holder exists.
  static constexpr std::uint64_t kBlockedWaitMs = 50;
  // Wait told to a key that has used up its retries.
  static constexpr std::uint64_t kExhaustedWaitMs = 1;
  // The backoff doubles per conflict up to base << kMaxBackoffShift.
  static constexpr unsigned kMaxBackoffShift = 10;

  explicit ConflictCounters(std::uint32_t max_retries = kDefaultMaxRetries,
                            std::uint64_t base_backoff_ms = kDefaultBaseBackoffMs);

  RetryDecision report_conflict(std::string_view key);
  void report_success(std::string_view key);
  std::uint32_t failure_count(std::string_view key) const;
  bool is_blocked(std::optional<std::string_view> requester) const;

  std::uint32_t max_retries() const noexcept { return max_retries_; }
  std::uint64_t base_backoff_ms() const noexcept { return base_backoff_ms_; }

 private:
  struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>{}(s);
    }
  };
  struct Counts {
    mutable std::mutex mu;
    std::unordered_map<std::string, std::uint32_t, StringHash, std::equal_to<>> by_key;
  };
  struct Holder {
    mutable std::mutex mu;
    std::optional<std::string> key;
  };

  std::shared_ptr<Counts> counts_;
  std::shared_ptr<Holder> vip_;
  std::uint32_t max_retries_;
  std::uint64_t base_backoff_ms_;
};

namespace detail {

// Maps 64 random bits to a jitter factor in [0.8, 1.2); never 1.2 itself.
double jitter_from_bits(std::uint64_t bits) noexcept;

// Truncates toward zero, saturating: NaN and negatives give 0, values of 2^64
// and above give UINT64_MAX.
std::uint64_t saturating_to_u64(double value) noexcept;

}  // namespace detail
}  // namespace kavex

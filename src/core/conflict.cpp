#include "core/conflict.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

namespace kavex {

namespace detail {

double jitter_from_bits(std::uint64_t bits) noexcept {
  constexpr double kLow = 0.8;
  constexpr double kHigh = 1.2;
  // 53 random bits give a uniform u in [0, 1) exactly representable.
  const double u = static_cast<double>(bits >> 11) * 0x1p-53;
  const double j = kLow + (kHigh - kLow) * u;
  // Rounding of the sum can land on kHigh for u close to 1; keep it open.
  return j < kHigh ? j : std::nextafter(kHigh, 0.0);
}

std::uint64_t saturating_to_u64(double value) noexcept {
  if (!(value >= 0.0)) return 0;  // negative or NaN
  if (value >= 0x1p64) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(value);
}

}  // namespace detail

namespace {

double draw_jitter() {
  // One generator per thread, seeded once, so no lock is needed to draw.
  thread_local std::mt19937_64 gen = [] {
    std::random_device rd;
    const std::uint64_t seed =
        (static_cast<std::uint64_t>(rd()) << 32) ^ static_cast<std::uint64_t>(rd());
    return std::mt19937_64(seed);
  }();
  return detail::jitter_from_bits(gen());
}

}  // namespace

std::string RetryDecision::repr() const {
  std::string out = "RetryDecision(retry=";
  out += should_retry ? "true" : "false";
  out += ", wait=";
  out += std::to_string(wait_ms);
  out += "ms)";
  return out;
}

ConflictCounters::ConflictCounters(std::uint32_t max_retries,
                                   std::uint64_t base_backoff_ms)
    : counts_(std::make_shared<Counts>()),
      vip_(std::make_shared<Holder>()),
      max_retries_(max_retries),
      base_backoff_ms_(base_backoff_ms) {}

RetryDecision ConflictCounters::report_conflict(std::string_view key) {
  std::uint32_t n;
  {
    std::lock_guard counts_lock(counts_->mu);
    auto it = counts_->by_key.find(key);
    n = it == counts_->by_key.end() ? 0 : it->second;

    std::lock_guard vip_lock(vip_->mu);
    if (vip_->key && *vip_->key != key) {
      return {true, kBlockedWaitMs};
    }
    if (n >= max_retries_) {
      if (!vip_->key) vip_->key.emplace(key);
      return {true, kExhaustedWaitMs};
    }
    if (it == counts_->by_key.end()) {
      counts_->by_key.emplace(std::string(key), n + 1);
    } else {
      it->second = n + 1;
    }
  }
  // Shifting an unsigned 64-bit value drops the bits pushed past the top.
  const unsigned shift = std::min<std::uint32_t>(n, kMaxBackoffShift);
  const std::uint64_t backoff = base_backoff_ms_ << shift;
  const double wait = static_cast<double>(backoff) * draw_jitter();
  return {true, detail::saturating_to_u64(wait)};
}

void ConflictCounters::report_success(std::string_view key) {
  std::lock_guard counts_lock(counts_->mu);
  if (auto it = counts_->by_key.find(key); it != counts_->by_key.end()) {
    counts_->by_key.erase(it);
  }
  std::lock_guard vip_lock(vip_->mu);
  if (vip_->key && *vip_->key == key) vip_->key.reset();
}

std::uint32_t ConflictCounters::failure_count(std::string_view key) const {
  std::lock_guard lock(counts_->mu);
  auto it = counts_->by_key.find(key);
  return it == counts_->by_key.end() ? 0 : it->second;
}

bool ConflictCounters::is_blocked(std::optional<std::string_view> requester) const {
  std::lock_guard lock(vip_->mu);
  if (!vip_->key) return false;
  return !requester || *requester != *vip_->key;
}

}  // namespace kavex

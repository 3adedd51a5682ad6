#include "core/meta_log.hpp"

#include <algorithm>

namespace kavex {

MetaLog::MetaLog(std::size_t reserve) : ring_(reserve) { slots_.reserve(reserve); }

void MetaLog::append(std::size_t capacity, std::string_view key, std::string_view message, double timestamp) {
  if (capacity == 0) return;
  std::lock_guard lock(mutex_);
  while (count_ >= capacity) {  // drop the oldest entries
    head_ = (head_ + 1) % ring_;
    --count_;
  }
  if (count_ == ring_) {
    // Only reachable when logging with a larger capacity than the one the
    // log was built with: unroll the ring, oldest first, into a larger one.
    std::size_t grown = std::min(capacity, std::max(ring_ * 2, std::size_t{8}));
    std::vector<MetaEntry> unrolled;
    unrolled.reserve(grown);
    for (std::size_t i = 0; i < count_; ++i) unrolled.push_back(std::move(slots_[(head_ + i) % ring_]));
    slots_ = std::move(unrolled);
    ring_ = grown;
    head_ = 0;
  }
  // Slots fill in ring order, so the tail is either a used slot to overwrite
  // (reusing its string buffers) or the next one to create.
  const std::size_t tail = (head_ + count_) % ring_;
  if (tail < slots_.size()) {
    MetaEntry& slot = slots_[tail];
    slot.key.assign(key);
    slot.message.assign(message);
    slot.timestamp = timestamp;
  } else {
    slots_.push_back(MetaEntry{std::string(key), std::string(message), timestamp});
  }
  ++count_;
}

std::vector<MetaEntry> MetaLog::snapshot() const {
  std::lock_guard lock(mutex_);
  std::vector<MetaEntry> out;
  out.reserve(count_);
  for (std::size_t i = 0; i < count_; ++i) out.push_back(slots_[(head_ + i) % ring_]);
  return out;
}

}  // namespace kavex

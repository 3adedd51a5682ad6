// The meta log: a bounded, mutex-guarded first-in first-out log of system
// events shared by every version of one state lineage.
//
// Guarantees:
//  - Storage for the construction capacity is reserved up front, so appends
//    within it never allocate for the ring itself (entries reuse the string
//    buffers of the slots they overwrite).
//  - `append(capacity, ...)` keeps at most `capacity` entries, dropping the
//    oldest; a capacity of 0 stores nothing.
//  - All operations are thread-safe; the mutex is held only for the copy or
//    the append, never while calling out.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kavex {

struct MetaEntry {
  std::string key;
  std::string message;
  double timestamp = 0.0;
};

class MetaLog {
 public:
  // Throws std::bad_alloc or std::length_error when `reserve` entries cannot
  // be reserved.
  explicit MetaLog(std::size_t reserve);

  void append(std::size_t capacity, std::string_view key, std::string_view message, double timestamp);

  // The entries, oldest first.
  std::vector<MetaEntry> snapshot() const;

 private:
  // Ring of `ring_` positions; `count_` live entries start at `head_`.
  // `slots_` grows up to `ring_` as positions are first used.
  mutable std::mutex mutex_;
  std::vector<MetaEntry> slots_;
  std::size_t ring_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
};

}  // namespace kavex

// A mutex-guarded growable list shared by handle: the outbox message list.
//
// Every holder of the same `std::shared_ptr<GuardedList<T>>` sees one list.
// The mutex is held only for the short append, copy, take or insert; callers
// never hold it while running other code. Where two lists are locked together
// the caller keeps a fixed order (see `move_all_to`).
#pragma once

#include <iterator>
#include <mutex>
#include <vector>

namespace kavex {

template <class T>
class GuardedList {
 public:
  void push_back(T item) {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(item));
  }

  std::vector<T> snapshot() const {
    std::lock_guard lock(mutex_);
    return items_;
  }

  // Moves every item out, in order, leaving the list empty.
  std::vector<T> take_all() {
    std::lock_guard lock(mutex_);
    std::vector<T> out;
    out.swap(items_);
    return out;
  }

  // Puts `batch` back in front of whatever the list holds now, in order.
  void push_front(std::vector<T> batch) {
    std::lock_guard lock(mutex_);
    batch.insert(batch.end(), std::make_move_iterator(items_.begin()), std::make_move_iterator(items_.end()));
    items_.swap(batch);
  }

  // Moves every item of this list to the end of `target`, in order. Locks
  // this list first, then `target`: the one order used for any two lists.
  void move_all_to(GuardedList& target) {
    std::lock_guard mine(mutex_);
    std::lock_guard theirs(target.mutex_);
    target.items_.reserve(target.items_.size() + items_.size());
    for (T& item : items_) target.items_.push_back(std::move(item));
    items_.clear();
  }

  bool empty() const {
    std::lock_guard lock(mutex_);
    return items_.empty();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<T> items_;
};

}  // namespace kavex

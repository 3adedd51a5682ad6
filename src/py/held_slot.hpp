// Locks that may stay held while Python code runs, and the object slots
// built on them (the engine's worker slot while the worker runs, its schema
// slot while the validator runs, its commit lock while a transaction
// validates and installs its state).
//
// - Another thread that needs the lock waits for it with the interpreter lock
//   released, so the holder (which needs the interpreter lock to run Python
//   code) can finish.
// - The holder's own thread asking again (a worker re-attaching itself, a
//   validator replacing the schema) raises RuntimeError at once instead of
//   deadlocking.
// - A slot's reference is read and written only with the interpreter lock
//   held and the slot locked; a replaced object is released after unlocking,
//   since its finaliser may run Python code.
#pragma once

#include <atomic>
#include <mutex>

#include "py/ref.hpp"

namespace kavex::py {

class HeldLock {
 public:
  explicit HeldLock(const char* what) noexcept : what_(what) {}
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;

  class Guard {
   public:
    explicit Guard(HeldLock& lock);
    ~Guard();
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    HeldLock& lock_;
  };

 private:
  const char* what_;  // for the re-entry message
  std::mutex mutex_;
  std::atomic<unsigned long> owner_{0};
};

class HeldSlot {
 public:
  explicit HeldSlot(const char* what) noexcept : lock_(what) {}

  class Guard {
   public:
    explicit Guard(HeldSlot& slot) : slot_(slot), held_(slot.lock_) {}
    // The stored object, or null when the slot is empty.
    PyObject* get() const noexcept { return slot_.value_.get(); }
    // Stores `value` (null empties the slot) and returns the previous one,
    // for the caller to release after the guard.
    Ref replace(Ref value) noexcept {
      slot_.value_.swap(value);
      return value;
    }

   private:
    HeldSlot& slot_;
    HeldLock::Guard held_;
  };

  // Replaces the stored object; the old one is released after unlocking.
  void set(Ref value);

  // For the cycle collector and tp_clear, which run with the interpreter
  // lock held and never while the slot is used by a live call chain.
  PyObject* peek() const noexcept { return value_.get(); }
  Ref steal_for_clear() noexcept { return std::move(value_); }

 private:
  HeldLock lock_;
  Ref value_;
};

}  // namespace kavex::py

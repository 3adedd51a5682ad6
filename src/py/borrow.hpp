// Borrow flags: refuse re-entrant use of an object from its own call chain.
//
// A method takes shared use (`SharedBorrow`) or exclusive use
// (`ExclusiveBorrow`) of its object for the duration of the call. A
// conflicting request further down the same thread's call chain (re-entry
// through a Python callback) raises RuntimeError: "Already borrowed" for an
// exclusive request, "Already mutably borrowed" for a shared one, and changes
// nothing.
//
// The flags serialise nothing across threads: the interpreter lock and the
// objects' own locks do that. So a borrow held by one thread never makes
// another thread wait or fail, and a borrow can never be part of a deadlock.
// A flag records, per thread that currently uses the object, how it does;
// all bookkeeping runs with the interpreter lock held. Two threads' records
// fit in the flag itself; more (Python code running inside a borrow on
// several threads at once) spill into a list.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <deque>

#include "py/ref.hpp"

namespace kavex::py {

class BorrowFlag {
 public:
  BorrowFlag() noexcept = default;
  BorrowFlag(const BorrowFlag&) = delete;
  BorrowFlag& operator=(const BorrowFlag&) = delete;
  // Flags move with the value that holds them; a value is only moved while
  // nothing borrows it (at construction).
  BorrowFlag(BorrowFlag&&) noexcept {}

 private:
  friend class SharedBorrow;
  friend class ExclusiveBorrow;
  friend void refuse_reentry(const BorrowFlag& flag);

  struct Holder {
    unsigned long thread = 0;  // 0: free record
    std::uint32_t shared = 0;  // nested shared borrows of that thread
    bool exclusive = false;
  };
  const Holder* find(unsigned long thread) const noexcept {
    for (const Holder& h : inline_) {
      if (h.thread == thread) return &h;
    }
    return more_ ? find_more(thread) : nullptr;
  }
  // The thread's record, created if needed.
  Holder& acquire(unsigned long thread) {
    if (const Holder* h = find(thread)) return const_cast<Holder&>(*h);
    for (Holder& h : inline_) {
      if (h.thread == 0) {
        h.thread = thread;
        return h;
      }
    }
    return acquire_more(thread);
  }
  // Frees the thread's record once it holds nothing.
  void release(Holder& h) noexcept {
    if (h.shared == 0 && !h.exclusive) h.thread = 0;
  }
  const Holder* find_more(unsigned long thread) const noexcept;
  Holder& acquire_more(unsigned long thread);

  std::array<Holder, 2> inline_{};
  std::unique_ptr<std::deque<Holder>> more_;
};

// Raises "Already borrowed" when the calling thread already uses `flag`
// (shared or exclusive): what an exclusive borrow would raise. Callers that
// must take a lock before the exclusive borrow check first, so that a
// re-entrant call fails before it waits for anything.
void refuse_reentry(const BorrowFlag& flag);

[[noreturn]] void raise_borrowed(bool exclusive_request);

class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
    const unsigned long thread = PyThread_get_thread_ident();
    const BorrowFlag::Holder* held = flag.find(thread);
    if (held != nullptr && held->exclusive) raise_borrowed(false);
    holder_ = &flag.acquire(thread);  // may throw bad_alloc before anything changed
    ++holder_->shared;
  }
  ~SharedBorrow() {
    --holder_->shared;
    flag_.release(*holder_);
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  BorrowFlag& flag_;
  BorrowFlag::Holder* holder_;  // records never move while held
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
    const unsigned long thread = PyThread_get_thread_ident();
    if (flag.find(thread) != nullptr) raise_borrowed(true);
    holder_ = &flag.acquire(thread);
    holder_->exclusive = true;
  }
  ~ExclusiveBorrow() {
    holder_->exclusive = false;
    flag_.release(*holder_);
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  BorrowFlag& flag_;
  BorrowFlag::Holder* holder_;
};

}  // namespace kavex::py

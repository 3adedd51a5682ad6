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
// several threads at once) spill into a vector.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

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
  const Holder* find(unsigned long thread) const noexcept;
  Holder& acquire(unsigned long thread);  // the thread's record, created if needed
  void release(unsigned long thread) noexcept;  // frees the record once unused

  std::array<Holder, 2> inline_{};
  std::unique_ptr<std::vector<Holder>> more_;
};

// Raises "Already borrowed" when the calling thread already uses `flag`
// (shared or exclusive): what an exclusive borrow would raise. Callers that
// must take a lock before the exclusive borrow check first, so that a
// re-entrant call fails before it waits for anything.
void refuse_reentry(const BorrowFlag& flag);

class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag);
  ~SharedBorrow();
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  BorrowFlag& flag_;
  unsigned long thread_;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag);
  ~ExclusiveBorrow();
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  BorrowFlag& flag_;
  unsigned long thread_;
};

}  // namespace kavex::py

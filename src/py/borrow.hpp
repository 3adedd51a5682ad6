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
// Each thread keeps the short list of borrows it holds; a flag is only an
// identity and borrowing allocates nothing once a thread's list has grown.
#pragma once

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
  char identity_ = 0;  // a flag is identified by its address
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
  const BorrowFlag& flag_;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag);
  ~ExclusiveBorrow();
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  const BorrowFlag& flag_;
};

}  // namespace kavex::py

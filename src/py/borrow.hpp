// Borrow flags: refuse re-entrant use of an object from its own call chain.
//
// A method takes shared use (`SharedBorrow`) or exclusive use
// (`ExclusiveBorrow`) of its object for the duration of the call. Within one
// thread, a conflicting request means re-entry through a Python callback and
// raises RuntimeError ("Already borrowed" for an exclusive request,
// "Already mutably borrowed" for a shared one) without changing anything.
// A conflicting request from *another* thread is not re-entry: that thread
// waits, with the interpreter lock released, until the holder is done.
//
// All bookkeeping happens with the interpreter lock held; the flag itself
// needs no lock. Each thread keeps a short list of the flags it holds shared,
// so a flag is a few words and borrowing allocates nothing on the fast path.
#pragma once

#include <cstdint>

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
  unsigned long exclusive_owner_ = 0;  // thread ident, 0 when not held
  std::uint32_t shared_ = 0;           // shared holders, all threads
};

// Raises "Already borrowed" when the calling thread already uses `flag`
// (shared or exclusive). Callers that must take another lock before the
// exclusive borrow check re-entry first, so that a thread already using the
// object never waits for that lock.
void refuse_reentry(const BorrowFlag& flag);

class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag);
  ~SharedBorrow();
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  BorrowFlag& flag_;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag);
  ~ExclusiveBorrow();
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  BorrowFlag& flag_;
};

}  // namespace kavex::py

#include "py/borrow.hpp"

#include <algorithm>
#include <vector>

#include "py/errors.hpp"

namespace kavex::py {

namespace {

struct Held {
  const BorrowFlag* flag;
  bool exclusive;
};

// The borrows this thread holds, innermost last.
thread_local std::vector<Held> t_held;

const Held* find_held(const BorrowFlag* flag) noexcept {
  auto it = std::find_if(t_held.rbegin(), t_held.rend(), [&](const Held& h) { return h.flag == flag; });
  return it == t_held.rend() ? nullptr : &*it;
}

void release(const BorrowFlag* flag) noexcept {
  auto it = std::find_if(t_held.rbegin(), t_held.rend(), [&](const Held& h) { return h.flag == flag; });
  if (it != t_held.rend()) t_held.erase(std::next(it).base());
}

}  // namespace

void refuse_reentry(const BorrowFlag& flag) {
  if (find_held(&flag) != nullptr) raise(PyExc_RuntimeError, "Already borrowed");
}

SharedBorrow::SharedBorrow(BorrowFlag& flag) : flag_(flag) {
  const Held* held = find_held(&flag);
  if (held != nullptr && held->exclusive) raise(PyExc_RuntimeError, "Already mutably borrowed");
  t_held.push_back({&flag, false});  // may throw bad_alloc before anything changed
}

SharedBorrow::~SharedBorrow() { release(&flag_); }

ExclusiveBorrow::ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
  refuse_reentry(flag);
  t_held.push_back({&flag, true});
}

ExclusiveBorrow::~ExclusiveBorrow() { release(&flag_); }

}  // namespace kavex::py

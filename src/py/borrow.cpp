#include "py/borrow.hpp"

#include "py/errors.hpp"

namespace kavex::py {

const BorrowFlag::Holder* BorrowFlag::find_more(unsigned long thread) const noexcept {
  for (const Holder& h : *more_) {
    if (h.thread == thread) return &h;
  }
  return nullptr;
}

BorrowFlag::Holder& BorrowFlag::acquire_more(unsigned long thread) {
  // A vector could move its records while other threads' borrows point at
  // them, so the spill-over records live in a list of fixed nodes.
  if (!more_) more_ = std::make_unique<std::deque<Holder>>();
  for (Holder& h : *more_) {
    if (h.thread == 0) {
      h.thread = thread;
      return h;
    }
  }
  return more_->emplace_back(Holder{thread, 0, false});
}

void raise_borrowed(bool exclusive_request) {
  raise(PyExc_RuntimeError, exclusive_request ? "Already borrowed" : "Already mutably borrowed");
}

void refuse_reentry(const BorrowFlag& flag) {
  if (flag.find(PyThread_get_thread_ident()) != nullptr) raise_borrowed(true);
}

}  // namespace kavex::py

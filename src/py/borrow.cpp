#include "py/borrow.hpp"

#include "py/errors.hpp"

namespace kavex::py {

const BorrowFlag::Holder* BorrowFlag::find(unsigned long thread) const noexcept {
  for (const Holder& h : inline_) {
    if (h.thread == thread) return &h;
  }
  if (more_) {
    for (const Holder& h : *more_) {
      if (h.thread == thread) return &h;
    }
  }
  return nullptr;
}

BorrowFlag::Holder& BorrowFlag::acquire(unsigned long thread) {
  if (const Holder* h = find(thread)) return const_cast<Holder&>(*h);
  for (Holder& h : inline_) {
    if (h.thread == 0) {
      h.thread = thread;
      return h;
    }
  }
  if (!more_) more_ = std::make_unique<std::vector<Holder>>();
  for (Holder& h : *more_) {
    if (h.thread == 0) {
      h.thread = thread;
      return h;
    }
  }
  return more_->emplace_back(Holder{thread, 0, false});
}

void BorrowFlag::release(unsigned long thread) noexcept {
  Holder& h = const_cast<Holder&>(*find(thread));
  if (h.shared == 0 && !h.exclusive) h.thread = 0;
}

void refuse_reentry(const BorrowFlag& flag) {
  if (flag.find(PyThread_get_thread_ident()) != nullptr) raise(PyExc_RuntimeError, "Already borrowed");
}

SharedBorrow::SharedBorrow(BorrowFlag& flag) : flag_(flag), thread_(PyThread_get_thread_ident()) {
  const BorrowFlag::Holder* held = flag.find(thread_);
  if (held != nullptr && held->exclusive) raise(PyExc_RuntimeError, "Already mutably borrowed");
  ++flag.acquire(thread_).shared;  // acquire may throw bad_alloc before anything changed
}

SharedBorrow::~SharedBorrow() {
  --const_cast<BorrowFlag::Holder*>(flag_.find(thread_))->shared;
  flag_.release(thread_);
}

ExclusiveBorrow::ExclusiveBorrow(BorrowFlag& flag) : flag_(flag), thread_(PyThread_get_thread_ident()) {
  refuse_reentry(flag);
  flag.acquire(thread_).exclusive = true;
}

ExclusiveBorrow::~ExclusiveBorrow() {
  const_cast<BorrowFlag::Holder*>(flag_.find(thread_))->exclusive = false;
  flag_.release(thread_);
}

}  // namespace kavex::py

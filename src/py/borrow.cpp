#include "py/borrow.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "py/errors.hpp"

namespace kavex::py {

namespace {

// Flags this thread holds shared, innermost last.
thread_local std::vector<const BorrowFlag*> t_shared_held;

bool this_thread_holds_shared(const BorrowFlag* flag) noexcept {
  return std::find(t_shared_held.begin(), t_shared_held.end(), flag) != t_shared_held.end();
}

// Cross-thread waits. A waiter reads the generation with the interpreter
// lock held, so a release (which also runs with the interpreter lock) cannot
// slip between its check of the flag and its wait: the release bumps the
// generation after the waiter read it.
std::mutex g_wait_mutex;
std::condition_variable g_wait_cv;
std::uint64_t g_generation = 0;
std::atomic<int> g_waiters{0};

void wait_for_release() noexcept {
  std::uint64_t seen;
  {
    std::lock_guard lock(g_wait_mutex);
    seen = g_generation;
  }
  g_waiters.fetch_add(1);
  Py_BEGIN_ALLOW_THREADS {
    std::unique_lock lock(g_wait_mutex);
    g_wait_cv.wait(lock, [&] { return g_generation != seen; });
  }
  Py_END_ALLOW_THREADS
  g_waiters.fetch_sub(1);
}

void notify_release() noexcept {
  if (g_waiters.load() == 0) return;
  {
    std::lock_guard lock(g_wait_mutex);
    ++g_generation;
  }
  g_wait_cv.notify_all();
}

}  // namespace

void refuse_reentry(const BorrowFlag& flag) {
  if (flag.exclusive_owner_ == PyThread_get_thread_ident() || this_thread_holds_shared(&flag)) {
    raise(PyExc_RuntimeError, "Already borrowed");
  }
}

SharedBorrow::SharedBorrow(BorrowFlag& flag) : flag_(flag) {
  const unsigned long me = PyThread_get_thread_ident();
  while (flag.exclusive_owner_ != 0) {
    if (flag.exclusive_owner_ == me) raise(PyExc_RuntimeError, "Already mutably borrowed");
    wait_for_release();
  }
  t_shared_held.push_back(&flag);  // may throw bad_alloc before anything changed
  ++flag.shared_;
}

SharedBorrow::~SharedBorrow() {
  auto it = std::find(t_shared_held.rbegin(), t_shared_held.rend(), &flag_);
  if (it != t_shared_held.rend()) t_shared_held.erase(std::next(it).base());
  if (--flag_.shared_ == 0) notify_release();
}

ExclusiveBorrow::ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
  const unsigned long me = PyThread_get_thread_ident();
  refuse_reentry(flag);
  while (flag.exclusive_owner_ != 0 || flag.shared_ != 0) wait_for_release();
  flag.exclusive_owner_ = me;
}

ExclusiveBorrow::~ExclusiveBorrow() {
  flag_.exclusive_owner_ = 0;
  notify_release();
}

}  // namespace kavex::py

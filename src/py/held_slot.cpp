#include "py/held_slot.hpp"

#include <string>

#include "py/errors.hpp"

namespace kavex::py {

HeldLock::Guard::Guard(HeldLock& lock) : lock_(lock) {
  const unsigned long me = PyThread_get_thread_ident();
  if (lock.owner_.load(std::memory_order_relaxed) == me) {
    raise(PyExc_RuntimeError, std::string(lock.what_) + " is in use by this thread (re-entrant call)");
  }
  if (!lock.mutex_.try_lock()) {
    Py_BEGIN_ALLOW_THREADS lock.mutex_.lock();
    Py_END_ALLOW_THREADS
  }
  lock.owner_.store(me, std::memory_order_relaxed);
}

HeldLock::Guard::~Guard() {
  lock_.owner_.store(0, std::memory_order_relaxed);
  lock_.mutex_.unlock();
}

void HeldSlot::set(Ref value) {
  Ref old;
  {
    Guard guard(*this);
    old = guard.replace(std::move(value));
  }
}

}  // namespace kavex::py

#include "core/signal_channel.hpp"

#include <atomic>
#include <bit>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

namespace kavex {
namespace {

// About 7 microseconds on current x86 cores.
constexpr int kSpinRounds = 256;

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace

// Shared state of one channel. Message number p (counting from 0 since the
// channel was created) lives in slots_[p & mask_] while p >= tail_ - capacity.
class ChannelCore {
 public:
  explicit ChannelCore(std::size_t capacity)
      : slots_(capacity), mask_(capacity - 1) {}

  std::size_t capacity() const noexcept { return slots_.size(); }

  std::size_t publish(std::string_view text) {
    // No receiver, no work: a receiver subscribing at this very moment starts
    // after the current tail anyway, so skipping the lock loses nothing.
    if (receivers_.load(std::memory_order_relaxed) == 0) return 0;
    std::size_t receivers;
    bool wake;
    {
      std::lock_guard lock(mu_);
      receivers = receivers_.load(std::memory_order_relaxed);
      // Nobody could ever read it: a later subscriber starts after tail_.
      if (receivers == 0) return 0;
      // Assigning into the existing string reuses its buffer.
      const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
      slots_[tail & mask_].assign(text);
      tail_.store(tail + 1, std::memory_order_relaxed);
      wake = waiters_ != 0;
    }
    if (wake) data_cv_.notify_all();
    return receivers;
  }

  std::uint64_t subscribe() {
    std::lock_guard lock(mu_);
    receivers_.fetch_add(1, std::memory_order_relaxed);
    return tail_.load(std::memory_order_relaxed);
  }

  void unsubscribe() noexcept {
    std::lock_guard lock(mu_);
    receivers_.fetch_sub(1, std::memory_order_relaxed);
  }

  std::size_t receiver_count() {
    std::lock_guard lock(mu_);
    return receivers_.load(std::memory_order_relaxed);
  }

  bool has_receivers() const noexcept { return receivers_.load(std::memory_order_relaxed) != 0; }

  void close() noexcept {
    bool wake;
    {
      std::lock_guard lock(mu_);
      closed_.store(true, std::memory_order_relaxed);
      wake = waiters_ != 0;
    }
    if (wake) data_cv_.notify_all();
  }

  // Fills `out` with the outcome for a reader at `position` and advances it.
  void receive(std::uint64_t& position, RecvResult& out, bool block) {
    std::unique_lock lock(mu_);
    bool spun = false;
    for (;;) {
      const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
      const bool closed = closed_.load(std::memory_order_relaxed);
      if (position < tail) {
        const std::uint64_t capacity = slots_.size();
        if (tail - position > capacity) {
          // The slot was reused: skip to the oldest message still held.
          const std::uint64_t oldest = tail - capacity;
          out.kind = RecvResult::Kind::Lagged;
          out.missed = oldest - position;
          out.text.clear();
          position = oldest;
          return;
        }
        out.kind = RecvResult::Kind::Message;
        out.missed = 0;
        out.text.assign(slots_[position & mask_]);
        ++position;
        return;
      }
      if (closed || !block) {
        out.kind = closed ? RecvResult::Kind::Closed : RecvResult::Kind::Empty;
        out.missed = 0;
        out.text.clear();
        return;
      }
      if (!spun) {
        // Poll for a few microseconds before sleeping: a busy publisher
        // usually publishes again within that time, and not sleeping saves
        // both the wake-up latency here and the publisher's wake-up system
        // call. The poll is only a hint; the state is re-read under the lock.
        spun = true;
        lock.unlock();
        for (int i = 0; i < kSpinRounds; ++i) {
          if (tail_.load(std::memory_order_relaxed) != tail ||
              closed_.load(std::memory_order_relaxed)) {
            break;
          }
          cpu_relax();
        }
        lock.lock();
        continue;
      }
      ++waiters_;
      data_cv_.wait(lock);
      --waiters_;
    }
  }

 private:
  std::mutex mu_;
  std::condition_variable data_cv_;
  std::vector<std::string> slots_;  // size is a power of two
  const std::uint64_t mask_;
  // Written only under mu_; atomic only so that receive() can poll them
  // without the lock (relaxed: the lock orders the ring contents).
  std::atomic<std::uint64_t> tail_{0};  // number of the next message to publish
  std::atomic<bool> closed_{false};
  // Live ReceiverState objects; changed under mu_, atomic so that publish
  // can skip the lock when there are none.
  std::atomic<std::size_t> receivers_{0};
  std::size_t waiters_ = 0;    // threads blocked in data_cv_
};

// ---------------------------------------------------------------------------
// Receiver

// Holds this receiver's turn: waits in ticket order for it on construction and
// passes it to the next ticket on destruction (also when receive() throws).
class ReceiverState::Turn {
 public:
  // With `wait` false, takes the turn only if nobody holds or awaits it.
  Turn(ReceiverState& r, bool wait) : r_(r) {
    std::unique_lock lock(r_.mu_);
    if (r_.next_ticket_ != r_.now_serving_ && !wait) return;
    const std::uint64_t ticket = r_.next_ticket_++;
    r_.turn_cv_.wait(lock, [&] { return r_.now_serving_ == ticket; });
    held_ = true;
  }
  ~Turn() {
    if (!held_) return;
    bool others;
    {
      std::lock_guard lock(r_.mu_);
      ++r_.now_serving_;
      others = r_.next_ticket_ != r_.now_serving_;
    }
    if (others) r_.turn_cv_.notify_all();
  }
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;

  bool held() const noexcept { return held_; }

 private:
  ReceiverState& r_;
  bool held_ = false;
};

// Registering is the last step of construction, so a receiver is counted
// exactly when its destructor will run.
ReceiverState::ReceiverState(Key, std::shared_ptr<ChannelCore> core)
    : core_(std::move(core)), position_(core_->subscribe()) {}

ReceiverState::~ReceiverState() { core_->unsubscribe(); }

void ReceiverState::recv(RecvResult& out) {
  Turn turn(*this, true);
  core_->receive(position_, out, true);
}

RecvResult ReceiverState::recv() {
  RecvResult out;
  recv(out);
  return out;
}

void ReceiverState::try_recv(RecvResult& out) {
  Turn turn(*this, false);
  if (!turn.held()) {
    out.kind = RecvResult::Kind::Empty;
    out.missed = 0;
    out.text.clear();
    return;
  }
  core_->receive(position_, out, false);
}

RecvResult ReceiverState::try_recv() {
  RecvResult out;
  try_recv(out);
  return out;
}

std::size_t ReceiverState::pending() const {
  std::lock_guard lock(mu_);
  return static_cast<std::size_t>(next_ticket_ - now_serving_);
}

// ---------------------------------------------------------------------------
// Sender

// One object per channel, shared by every SignalSender copy. Its destruction
// (the last share going away) closes the channel.
struct SignalSender::Share {
  explicit Share(std::shared_ptr<ChannelCore> c) : core(std::move(c)) {}
  ~Share() { core->close(); }
  Share(const Share&) = delete;
  Share& operator=(const Share&) = delete;

  std::shared_ptr<ChannelCore> core;
};

namespace {

std::size_t round_capacity(std::size_t requested) {
  if (requested == 0) {
    throw std::invalid_argument("signal channel capacity must be positive");
  }
  constexpr std::size_t largest = std::size_t{1}
                                  << (std::numeric_limits<std::size_t>::digits - 1);
  if (requested > largest) {
    throw std::length_error("signal channel capacity too large");
  }
  return std::bit_ceil(requested);
}

}  // namespace

SignalSender::SignalSender(std::size_t requested_capacity)
    : share_(std::make_shared<Share>(
          std::make_shared<ChannelCore>(round_capacity(requested_capacity)))) {}

ChannelCore& SignalSender::core() const {
  if (!share_) throw std::logic_error("signal sender has been released");
  return *share_->core;
}

std::size_t SignalSender::publish(std::string_view text) const {
  return core().publish(text);
}

std::shared_ptr<ReceiverState> SignalSender::subscribe() const {
  core();  // throws on a released handle
  return std::make_shared<ReceiverState>(ReceiverState::Key{}, share_->core);
}

bool SignalSender::has_receivers() const { return core().has_receivers(); }

std::size_t SignalSender::receiver_count() const {
  return core().receiver_count();
}

std::size_t SignalSender::capacity() const { return core().capacity(); }

}  // namespace kavex

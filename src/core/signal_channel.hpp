// In-process broadcast channel for short text messages.
//
// Guarantees:
//  * The ring holds `capacity()` messages, the requested capacity rounded up
//    to a power of two. Each message is stored once, however many receivers
//    there are. Publishing never waits for receivers: the oldest message is
//    overwritten when the ring is full.
//  * Every receiver sees every message published after it subscribed, in
//    publish order, except messages that were overwritten before it read them;
//    those are reported as one `Lagged` result carrying their exact number.
//  * The channel closes when the last share of the sender side (every copy of
//    a SignalSender is one share) is released. A receiver still gets every
//    message it has not read, then `Closed` on every later call.
//  * Several threads receiving on the same receiver are served one at a time,
//    in the order they arrived; each message goes to exactly one of them.
//
// Thread safety: every public member may be called from any thread. One
// SignalSender object is like a shared_ptr: its const members may be used
// concurrently, but assigning to or reset() of that same object needs the
// caller's own synchronisation (distinct copies need none). recv() only
// blocks on this channel's own mutexes and condition variables; it calls
// nothing outside this file. A receiver with no data spins for a few
// microseconds before it sleeps.
//
// Locks: the channel lock (ring, positions, counts) and a receiver's own lock
// (its queue of waiting threads) are never held at the same time, so there is
// no lock order to respect. Receiver text is copied out of the ring under the
// channel lock; nothing else is done under it.
//
// Ownership: the channel's shared state lives while any sender share or any
// receiver exists. A receiver is a reference-counted ReceiverState; it stays
// subscribed (and counted by publish) until its last reference is dropped,
// which may be a reference taken for the duration of a blocking recv().
#pragma once

#include <cstddef>
#include <cstdint>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace kavex {

class ChannelCore;  // defined in signal_channel.cpp

struct RecvResult {
  enum class Kind {
    Message,  // `text` holds the next message
    Lagged,   // `missed` messages were overwritten before they were read
    Closed,   // all senders are gone and every retained message was read
    Empty,    // try_recv only: nothing to read right now
  };
  Kind kind = Kind::Empty;
  std::string text;
  std::uint64_t missed = 0;
};

class ReceiverState {
 public:
  // Only SignalSender::subscribe can make the key, so only it creates receivers.
  class Key {
    explicit Key() = default;
    friend class SignalSender;
  };
  ReceiverState(Key, std::shared_ptr<ChannelCore> core);
  ~ReceiverState();
  ReceiverState(const ReceiverState&) = delete;
  ReceiverState& operator=(const ReceiverState&) = delete;

  // Blocks until a message, a lag report or the close is available.
  // Never returns Kind::Empty.
  RecvResult recv();
  // Same, reusing the capacity of `out.text` (no allocation in steady state).
  void recv(RecvResult& out);

  // Does not block. Returns Kind::Empty when nothing is available, and also
  // when another thread is currently inside recv() on this receiver (that
  // thread is first in line for the next message).
  RecvResult try_recv();
  void try_recv(RecvResult& out);

  // Number of threads currently inside recv()/try_recv() on this receiver.
  std::size_t pending() const;

 private:
  class Turn;

  std::shared_ptr<ChannelCore> core_;
  mutable std::mutex mu_;
  std::condition_variable turn_cv_;
  std::uint64_t next_ticket_ = 0;  // guarded by mu_
  std::uint64_t now_serving_ = 0;  // guarded by mu_
  // Position of the next message to read. Only the thread holding the turn
  // (ticket == now_serving_) touches it; the hand-over goes through mu_.
  std::uint64_t position_;
};

class SignalSender {
 public:
  // Creates a channel with no receivers. Throws std::invalid_argument for a
  // capacity of 0 and std::length_error when it cannot be rounded up.
  explicit SignalSender(std::size_t requested_capacity);

  SignalSender(const SignalSender&) = default;
  SignalSender& operator=(const SignalSender&) = default;
  SignalSender(SignalSender&&) noexcept = default;
  SignalSender& operator=(SignalSender&&) noexcept = default;
  ~SignalSender() = default;

  // Queues `text` for every current receiver and returns how many that was.
  // With no receivers the message is dropped and 0 is returned.
  // The members below throw std::logic_error on a released (reset or
  // moved-from) handle.
  std::size_t publish(std::string_view text) const;

  // New receiver that gets only messages published after this call.
  std::shared_ptr<ReceiverState> subscribe() const;

  std::size_t receiver_count() const;
  // A hint without taking the channel lock: a receiver subscribing
  // concurrently starts after any message published now anyway.
  bool has_receivers() const;
  std::size_t capacity() const;

  // Releases this share; the channel closes if it was the last one.
  void reset() noexcept { share_.reset(); }
  explicit operator bool() const noexcept { return share_ != nullptr; }

 private:
  struct Share;
  ChannelCore& core() const;

  std::shared_ptr<Share> share_;
};

}  // namespace kavex

#include "core/signal_channel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kavex {
namespace {

using Kind = RecvResult::Kind;
using namespace std::chrono_literals;

// Polls `cond` until it holds; fails the test after a generous deadline
// instead of hanging.
template <class F>
bool eventually(F cond) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Reads everything currently available, rendered as "m:<text>" / "lag:<n>" /
// "closed", stopping at the first Empty or Closed.
std::vector<std::string> drain(ReceiverState& r) {
  std::vector<std::string> out;
  while (out.size() < 100000) {  // bound: a broken position must not hang
    RecvResult res = r.try_recv();
    switch (res.kind) {
      case Kind::Message: out.push_back("m:" + res.text); break;
      case Kind::Lagged: out.push_back("lag:" + std::to_string(res.missed)); break;
      case Kind::Closed: out.push_back("closed"); return out;
      case Kind::Empty: return out;
    }
  }
  ADD_FAILURE() << "receiver never ran dry";
  return out;
}

std::vector<std::string> messages(int from, int to) {
  std::vector<std::string> out;
  for (int i = from; i <= to; ++i) out.push_back("m:" + std::to_string(i));
  return out;
}

TEST(SignalChannel, CapacityRoundsUpToPowerOfTwo) {
  const std::pair<std::size_t, std::size_t> cases[] = {
      {1, 1}, {2, 2}, {3, 4}, {100, 128}, {128, 128}, {129, 256}};
  for (auto [requested, expected] : cases) {
    EXPECT_EQ(SignalSender(requested).capacity(), expected) << requested;
  }
  EXPECT_THROW(SignalSender(0), std::invalid_argument);
  EXPECT_THROW(SignalSender(std::numeric_limits<std::size_t>::max()),
               std::length_error);
}

struct LagCase {
  int published;
  std::vector<std::string> expected;
};

class IdleReceiver : public ::testing::TestWithParam<LagCase> {};

// An idle receiver with capacity 128 (requested 100) after N publishes.
TEST_P(IdleReceiver, GetsRetainedMessagesAfterOneLagReport) {
  SignalSender tx(100);
  auto rx = tx.subscribe();
  for (int i = 1; i <= GetParam().published; ++i) {
    ASSERT_EQ(tx.publish(std::to_string(i)), 1u);
  }
  EXPECT_EQ(drain(*rx), GetParam().expected);
}

std::vector<std::string> concat(std::vector<std::string> a,
                                const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

INSTANTIATE_TEST_SUITE_P(
    SignalChannel, IdleReceiver,
    ::testing::Values(LagCase{128, messages(1, 128)},
                      LagCase{129, concat({"lag:1"}, messages(2, 129))},
                      LagCase{150, concat({"lag:22"}, messages(23, 150))},
                      LagCase{1000, concat({"lag:872"}, messages(873, 1000))}));

TEST(SignalChannel, TextIsDeliveredVerbatim) {
  SignalSender tx(8);
  auto rx = tx.subscribe();
  const std::string texts[] = {"", std::string("a\0b", 3), "héllo",
                               std::string(1000, 'x'), "short"};
  for (const auto& t : texts) tx.publish(t);
  for (const auto& t : texts) {
    RecvResult r = rx->recv();
    ASSERT_EQ(r.kind, Kind::Message);
    EXPECT_EQ(r.text, t);
  }
}

TEST(SignalChannel, SubscribersSeeOnlyLaterMessagesAndDroppedOnesStopCounting) {
  SignalSender tx(8);
  EXPECT_EQ(tx.publish("before anyone"), 0u);

  auto a = tx.subscribe();
  EXPECT_EQ(tx.publish("1"), 1u);
  auto b = tx.subscribe();
  EXPECT_EQ(tx.receiver_count(), 2u);
  EXPECT_EQ(tx.publish("2"), 2u);

  a.reset();
  EXPECT_EQ(tx.receiver_count(), 1u);
  EXPECT_EQ(tx.publish("3"), 1u);

  EXPECT_EQ(drain(*b), (std::vector<std::string>{"m:2", "m:3"}));
  b.reset();
  EXPECT_EQ(tx.publish("4"), 0u);
}

TEST(SignalChannel, CloseDeliversUnreadMessagesThenClosedForever) {
  auto rx = [] {
    SignalSender tx(2);
    SignalSender copy = tx;
    auto r = tx.subscribe();
    for (int i = 1; i <= 5; ++i) copy.publish(std::to_string(i));
    tx.reset();
    EXPECT_EQ(r->try_recv().kind, Kind::Lagged) << "one share still open";
    EXPECT_EQ(r->try_recv().text, "4");
    EXPECT_EQ(r->try_recv().kind, Kind::Message);
    EXPECT_EQ(r->try_recv().kind, Kind::Empty);
    copy.publish("6");
    copy.publish("7");
    copy.publish("8");
    return r;  // last sender share dropped here
  }();
  EXPECT_EQ(drain(*rx), (std::vector<std::string>{"lag:1", "m:7", "m:8", "closed"}));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(rx->recv().kind, Kind::Closed);
    EXPECT_EQ(rx->try_recv().kind, Kind::Closed);
  }
}

TEST(SignalChannel, ReleasedSenderHandleThrows) {
  SignalSender tx(4);
  SignalSender moved = std::move(tx);
  EXPECT_FALSE(static_cast<bool>(tx));  // NOLINT(bugprone-use-after-move)
  EXPECT_THROW(tx.publish("x"), std::logic_error);
  EXPECT_THROW(tx.subscribe(), std::logic_error);
  EXPECT_EQ(moved.publish("x"), 0u);
}

TEST(SignalChannel, BlockedRecvWakesOnPublishAndOnClose) {
  SignalSender tx(4);
  auto rx = tx.subscribe();
  RecvResult got;
  std::thread t([&] { got = rx->recv(); });
  ASSERT_TRUE(eventually([&] { return rx->pending() == 1; }));
  tx.publish("hello");
  t.join();
  EXPECT_EQ(got.kind, Kind::Message);
  EXPECT_EQ(got.text, "hello");

  t = std::thread([&] { got = rx->recv(); });
  ASSERT_TRUE(eventually([&] { return rx->pending() == 1; }));
  tx.reset();
  t.join();
  EXPECT_EQ(got.kind, Kind::Closed);
}

// The binding keeps the receiver alive with an extra reference only for the
// length of a blocking recv; the receiver must stay subscribed until then.
TEST(SignalChannel, ReceiverKeptAliveOnlyByInProgressRecv) {
  SignalSender tx(4);
  auto rx = tx.subscribe();
  RecvResult got;
  std::thread t([held = rx, &got]() mutable {
    got = held->recv();
    held.reset();  // last reference goes away here
  });
  ASSERT_TRUE(eventually([&] { return rx->pending() == 1; }));
  rx.reset();
  EXPECT_EQ(tx.receiver_count(), 1u);
  EXPECT_EQ(tx.publish("late"), 1u);
  t.join();
  EXPECT_EQ(got.text, "late");
  EXPECT_EQ(tx.receiver_count(), 0u);
}

// A receiver outliving every sender keeps the channel state alive.
TEST(SignalChannel, ReceiverOutlivesAllSenders) {
  std::shared_ptr<ReceiverState> rx;
  {
    SignalSender tx(4);
    rx = tx.subscribe();
    tx.publish("kept");
  }
  EXPECT_EQ(rx->recv().text, "kept");
  EXPECT_EQ(rx->recv().kind, Kind::Closed);
}

TEST(SignalChannel, ThreadsOnOneReceiverAreServedInArrivalOrder) {
  constexpr int kThreads = 4;
  SignalSender tx(8);
  auto rx = tx.subscribe();
  std::vector<std::string> got(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] { got[i] = rx->recv().text; });
    ASSERT_TRUE(eventually([&] { return rx->pending() == std::size_t(i) + 1; }));
  }
  // A caller that would have to wait its turn does not jump the queue.
  EXPECT_EQ(rx->try_recv().kind, Kind::Empty);
  for (int i = 0; i < kThreads; ++i) tx.publish(std::to_string(i));
  for (auto& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(got[i], std::to_string(i)) << i;
}

TEST(SignalChannel, ThreadsOnOneReceiverGetEachMessageExactlyOnce) {
  constexpr int kThreads = 4;
  constexpr int kMessages = 20000;
  SignalSender tx(1 << 15);  // larger than the whole run: nothing is lost
  auto rx = tx.subscribe();

  std::vector<std::vector<int>> seen(kThreads);
  std::vector<std::thread> readers;
  for (int t = 0; t < kThreads; ++t) {
    readers.emplace_back([&, t] {
      RecvResult r;
      for (;;) {
        rx->recv(r);
        if (r.kind == Kind::Closed) return;
        ASSERT_EQ(r.kind, Kind::Message);
        seen[t].push_back(std::stoi(r.text));
      }
    });
  }
  for (int i = 0; i < kMessages; ++i) tx.publish(std::to_string(i));
  tx.reset();
  for (auto& th : readers) th.join();

  std::vector<bool> delivered(kMessages, false);
  std::size_t total = 0;
  for (const auto& s : seen) {
    for (std::size_t i = 0; i < s.size(); ++i) {
      if (i > 0) {
        EXPECT_LT(s[i - 1], s[i]) << "out of order within a thread";
      }
      ASSERT_FALSE(delivered[s[i]]) << "delivered twice: " << s[i];
      delivered[s[i]] = true;
    }
    total += s.size();
  }
  EXPECT_EQ(total, static_cast<std::size_t>(kMessages));
}

// Several publishers and receivers at full speed on the default ring size.
// Each receiver must account for every message (received or reported missed),
// keep each publisher's order, and see consecutive sequence numbers from a
// publisher unless a lag report came in between.
TEST(SignalChannel, StressManyPublishersManyReceivers) {
  constexpr int kPublishers = 4;
  constexpr int kReceivers = 4;
  constexpr int kPerPublisher = 10000;
  constexpr std::uint64_t kTotal = std::uint64_t{kPublishers} * kPerPublisher;

  SignalSender tx(100);
  std::vector<std::shared_ptr<ReceiverState>> rxs;
  for (int i = 0; i < kReceivers; ++i) rxs.push_back(tx.subscribe());

  struct Tally {
    std::uint64_t received = 0;
    std::uint64_t missed = 0;
    std::uint64_t lag_reports = 0;
  };
  std::vector<Tally> tallies(kReceivers);
  std::vector<std::thread> threads;
  for (int i = 0; i < kReceivers; ++i) {
    threads.emplace_back([&, i] {
      Tally& tally = tallies[i];
      // Per publisher: last sequence seen and the lag count at that time.
      std::vector<long> last_seq(kPublishers, -1);
      std::vector<std::uint64_t> last_epoch(kPublishers, 0);
      RecvResult r;
      for (;;) {
        rxs[i]->recv(r);
        if (r.kind == Kind::Closed) return;
        if (r.kind == Kind::Lagged) {
          ASSERT_GT(r.missed, 0u);
          tally.missed += r.missed;
          ++tally.lag_reports;
          continue;
        }
        ASSERT_EQ(r.kind, Kind::Message);
        ++tally.received;
        const auto colon = r.text.find(':');
        ASSERT_NE(colon, std::string::npos) << r.text;
        const int pub = std::stoi(r.text.substr(0, colon));
        const long seq = std::stol(r.text.substr(colon + 1));
        ASSERT_TRUE(pub >= 0 && pub < kPublishers);
        if (last_epoch[pub] == tally.lag_reports) {
          ASSERT_EQ(seq, last_seq[pub] + 1) << "publisher " << pub;
        } else {
          ASSERT_GT(seq, last_seq[pub]) << "publisher " << pub;
        }
        last_seq[pub] = seq;
        last_epoch[pub] = tally.lag_reports;
      }
    });
  }
  {
    std::vector<std::thread> publishers;
    for (int p = 0; p < kPublishers; ++p) {
      publishers.emplace_back([tx, p] {
        std::string text;
        for (int s = 0; s < kPerPublisher; ++s) {
          text = std::to_string(p) + ":" + std::to_string(s);
          EXPECT_EQ(tx.publish(text), static_cast<std::size_t>(kReceivers));
        }
      });  // each publisher's copy of the sender is released when it ends
    }
    for (auto& th : publishers) th.join();
  }
  tx.reset();  // last share: receivers drain and see Closed
  for (auto& th : threads) th.join();

  for (int i = 0; i < kReceivers; ++i) {
    EXPECT_EQ(tallies[i].received + tallies[i].missed, kTotal) << "receiver " << i;
  }
}

}  // namespace
}  // namespace kavex

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "core/guarded_list.hpp"
#include "core/meta_log.hpp"

namespace kavex {
namespace {

std::vector<std::string> messages(const MetaLog& log) {
  std::vector<std::string> out;
  for (const MetaEntry& e : log.snapshot()) out.push_back(e.message);
  return out;
}

TEST(MetaLog, KeepsTheNewestEntriesOldestFirst) {
  MetaLog log(3);
  for (int i = 0; i < 7; ++i) log.append(3, "k", std::to_string(i), i);
  EXPECT_EQ(messages(log), (std::vector<std::string>{"4", "5", "6"}));
  EXPECT_EQ(log.snapshot().front().timestamp, 4.0);
}

TEST(MetaLog, ZeroCapacityStoresNothing) {
  MetaLog log(0);
  log.append(0, "k", "m", 1);
  EXPECT_TRUE(log.snapshot().empty());
}

TEST(MetaLog, CapacityIsThatOfTheCaller) {
  MetaLog log(2);
  log.append(2, "k", "a", 0);
  log.append(2, "k", "b", 0);
  log.append(4, "k", "c", 0);  // grows past the reserved ring
  log.append(4, "k", "d", 0);
  log.append(4, "k", "e", 0);
  EXPECT_EQ(messages(log), (std::vector<std::string>{"b", "c", "d", "e"}));
  log.append(2, "k", "f", 0);  // a smaller capacity trims from the front
  EXPECT_EQ(messages(log), (std::vector<std::string>{"e", "f"}));
}

TEST(MetaLog, ImpossibleReservationThrows) {
  EXPECT_ANY_THROW(MetaLog(static_cast<std::size_t>(-1) / 2));
}

TEST(MetaLog, ConcurrentAppendsKeepTheBound) {
  MetaLog log(100);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) log.append(100, "k", "message that is not short", i);
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(log.snapshot().size(), 100u);
}

TEST(GuardedList, TakePushFrontAndMoveKeepOrder) {
  GuardedList<int> a, b;
  for (int i = 0; i < 3; ++i) a.push_back(i);
  std::vector<int> taken = a.take_all();
  EXPECT_TRUE(a.empty());
  a.push_back(10);
  a.push_front({taken.begin() + 1, taken.end()});
  EXPECT_EQ(a.snapshot(), (std::vector<int>{1, 2, 10}));
  b.push_back(-1);
  a.move_all_to(b);
  EXPECT_TRUE(a.empty());
  EXPECT_EQ(b.snapshot(), (std::vector<int>{-1, 1, 2, 10}));
}

}  // namespace
}  // namespace kavex

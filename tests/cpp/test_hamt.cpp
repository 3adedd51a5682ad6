#include "core/hamt.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <cstdint>
#include <map>
#include <new>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

using kavex::HamtNodeInfo;
using kavex::PersistentMap;
using kavex::SeededStringHash;

// ---------------------------------------------------------------------------
// Hash policies that force deep paths and full collisions.

struct MaskLowHash {  // low 4 bits zero: the root splits only 2 ways
  std::uint64_t operator()(std::string_view k) const noexcept { return SeededStringHash{}(k) & ~15ULL; }
};
struct FewBitsHash {  // 1024 distinct hashes: long single-child chains, small collision nodes
  std::uint64_t operator()(std::string_view k) const noexcept { return SeededStringHash{}(k) & 0x3FFULL; }
};
struct HighBitsHash {  // only the top 4 bits vary: 12 levels of chain, then a 16-way split
  std::uint64_t operator()(std::string_view k) const noexcept {
    return SeededStringHash{}(k) & 0xF000000000000000ULL;
  }
};
struct ConstantHash {  // everything in one collision node at the bottom
  std::uint64_t operator()(std::string_view) const noexcept { return 0x5eed; }
};
// Deterministic layouts: the hash is spelled out in the key, "<hash>:<name>".
struct EncodedHash {
  std::uint64_t operator()(std::string_view k) const noexcept {
    std::uint64_t h = 0;
    std::from_chars(k.data(), k.data() + k.size(), h);
    return h;
  }
};

// ---------------------------------------------------------------------------
// Node allocator that counts, and can fail on the n-th allocation.

struct CountingAlloc {
  static inline long allocations = 0;
  static inline long live_blocks = 0;
  static inline long live_bytes = 0;
  static inline long fail_at = -1;  // index of the allocation that throws

  static void* allocate(std::size_t bytes, std::size_t align) {
    if (fail_at >= 0 && allocations == fail_at) {
      fail_at = -1;
      throw std::bad_alloc();
    }
    ++allocations;
    ++live_blocks;
    live_bytes += static_cast<long>(bytes);
    return kavex::DefaultNodeAllocator::allocate(bytes, align);
  }
  static void deallocate(void* p, std::size_t bytes, std::size_t align) noexcept {
    --live_blocks;
    live_bytes -= static_cast<long>(bytes);
    kavex::DefaultNodeAllocator::deallocate(p, bytes, align);
  }
};

// Value that counts live objects and copies; a copy can be made to throw.
struct Counted {
  static inline long live = 0;
  static inline long copies = 0;
  static inline long throw_after = -1;  // copies allowed before one throws

  int v;
  explicit Counted(int x) : v(x) { ++live; }
  Counted(const Counted& o) : v(o.v) {
    if (throw_after == 0) {
      throw_after = -1;
      throw std::runtime_error("copy failed");
    }
    if (throw_after > 0) --throw_after;
    ++copies;
    ++live;
  }
  Counted(Counted&& o) noexcept : v(o.v) { ++live; }
  Counted& operator=(const Counted&) = delete;
  ~Counted() { --live; }
};

// ---------------------------------------------------------------------------
// Helpers

std::vector<std::string> make_key_pool(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> keys;
  std::set<std::string> seen;
  keys.emplace_back("");
  keys.emplace_back(std::string("nul\0inside", 10));
  seen.insert(keys[0]);
  seen.insert(keys[1]);
  while (keys.size() < n) {
    const std::size_t len = rng() % 41;  // covers short-string and heap keys
    std::string k;
    for (std::size_t i = 0; i < len; ++i) k.push_back(static_cast<char>('a' + rng() % 26));
    if (seen.insert(k).second) keys.push_back(std::move(k));
  }
  return keys;
}

template <class Map>
std::vector<HamtNodeInfo> nodes_of(const Map& m) {
  std::vector<HamtNodeInfo> out;
  m.visit_nodes([&](const HamtNodeInfo& n) { out.push_back(n); });
  return out;
}

// Shape invariants: depth bound, collision nodes only at the bottom with >= 2
// entries, no node that could be inlined into its parent, entry total = size.
template <class Map>
void expect_well_formed(const Map& m) {
  std::size_t total = 0;
  for (const HamtNodeInfo& n : nodes_of(m)) {
    total += n.entries;
    ASSERT_LE(n.depth, 13u);
    ASSERT_EQ(n.collision, n.depth == 13);
    if (n.collision) {
      ASSERT_GE(n.entries, 2u);
      ASSERT_EQ(n.children, 0u);
    } else {
      ASSERT_GT(n.entries + n.children, 0u);
      if (n.parent) {
        ASSERT_FALSE(n.entries == 1 && n.children == 0) << "single entry not inlined";
      }
    }
  }
  ASSERT_EQ(total, m.size());
}

template <class Map, class Model>
void expect_equal(const Map& m, const Model& model) {
  ASSERT_EQ(m.size(), model.size());
  ASSERT_EQ(m.empty(), model.empty());
  Model seen;
  m.for_each([&](const std::string& k, const auto& v) {
    ASSERT_TRUE(seen.emplace(k, v).second) << "key visited twice: " << k;
  });
  for (const auto& [k, v] : model) {
    const auto it = seen.find(k);
    ASSERT_TRUE(it != seen.end()) << "missing " << k;
    ASSERT_EQ(it->second, v) << k;
  }
  ASSERT_EQ(seen.size(), model.size());
  std::vector<std::string> order_fe;
  m.for_each([&](const std::string& k, const auto&) { order_fe.push_back(k); });
  std::vector<std::string> order_it;
  for (const auto& [k, v] : m) order_it.push_back(k);
  ASSERT_EQ(order_fe, order_it);
  ASSERT_EQ(static_cast<std::size_t>(std::distance(m.begin(), m.end())), m.size());
  for (const auto& [k, v] : model) {
    const auto* found = m.find(k);
    ASSERT_NE(found, nullptr) << k;
    ASSERT_EQ(*found, v);
  }
  expect_well_formed(m);
}

// ---------------------------------------------------------------------------
// Hash

TEST(SeededStringHash, DistinctAndWellSpreadOnShortKeys) {
  SeededStringHash h;
  std::set<std::uint64_t> hashes;
  std::vector<int> low5(32, 0);
  constexpr int kN = 200000;
  for (int i = 0; i < kN; ++i) {
    const std::uint64_t v = h("k" + std::to_string(i));
    hashes.insert(v);
    ++low5[v & 31];
  }
  EXPECT_EQ(hashes.size(), static_cast<std::size_t>(kN));
  for (int c : low5) {
    EXPECT_GT(c, kN / 32 * 9 / 10);
    EXPECT_LT(c, kN / 32 * 11 / 10);
  }
}

TEST(SeededStringHash, EveryLengthAndByteMatters) {
  // Lengths 0..130 cross every code path (<4, 4..16, 17..48, >48, tails).
  std::string buf;
  for (int i = 0; i < 131; ++i) buf.push_back(static_cast<char>(i * 7 + 1));
  SeededStringHash h;
  std::set<std::uint64_t> prefixes;
  double flipped_bits = 0;
  int flips = 0;
  for (std::size_t len = 0; len <= buf.size(); ++len) {
    const std::string_view key(buf.data(), len);
    prefixes.insert(h(key));
    // Unaligned copy hashes the same.
    std::string shifted = "x" + std::string(key);
    EXPECT_EQ(h(key), h(std::string_view(shifted).substr(1)));
    for (std::size_t byte = 0; byte < len; ++byte) {
      std::string mutated(key);
      mutated[byte] ^= 1;
      const std::uint64_t d = h(mutated) ^ h(key);
      EXPECT_NE(d, 0u) << "len " << len << " byte " << byte;
      flipped_bits += std::popcount(d);
      ++flips;
    }
  }
  EXPECT_EQ(prefixes.size(), buf.size() + 1);
  const double avg = flipped_bits / flips;
  EXPECT_GT(avg, 28.0);
  EXPECT_LT(avg, 36.0);
}

TEST(SeededStringHash, DependsOnTheSecret) {
  kavex::detail::HashSecret a{{1, 2, 3, 4}};
  kavex::detail::HashSecret b{{1, 2, 3, 5}};
  int same = 0;
  for (int i = 0; i < 1000; ++i) {
    const std::string k(static_cast<std::size_t>(i % 70), 'q');
    same += kavex::detail::hash_bytes(k.data(), k.size(), a) == kavex::detail::hash_bytes(k.data(), k.size(), b);
  }
  EXPECT_EQ(same, 0);
  // The process secret is drawn once and is not trivially zero.
  const auto& s = kavex::detail::process_hash_secret();
  EXPECT_EQ(&s, &kavex::detail::process_hash_secret());
  EXPECT_TRUE(s.k[0] | s.k[1] | s.k[2] | s.k[3]);
}

// ---------------------------------------------------------------------------
// Randomized model test, over hash policies that force deep paths and
// collisions. Versions (copies) are kept, branched and dropped; each must keep
// its contents no matter what happens to the others.

template <class H>
class ModelTest : public ::testing::Test {};
using HashPolicies = ::testing::Types<SeededStringHash, MaskLowHash, FewBitsHash, HighBitsHash, ConstantHash>;
TYPED_TEST_SUITE(ModelTest, HashPolicies);

TYPED_TEST(ModelTest, MatchesUnorderedMapAndVersionsNeverChange) {
  using Map = PersistentMap<std::string, TypeParam>;
  using Model = std::unordered_map<std::string, std::string>;
  const bool constant = std::is_same_v<TypeParam, ConstantHash>;
  const int steps = constant ? 3000 : 12000;
  const auto pool = make_key_pool(constant ? 1500 : 4000, 7);
  std::mt19937 rng(12345);
  auto random_value = [&] { return std::string(rng() % 24, static_cast<char>('A' + rng() % 26)); };

  Map m;
  Model model;
  std::vector<std::pair<Map, Model>> versions;
  for (int step = 0; step < steps; ++step) {
    const unsigned r = rng() % 100;
    if (r < 55) {
      const std::string& k = pool[rng() % pool.size()];
      std::string v = random_value();
      const bool added = m.set(k, v);
      ASSERT_EQ(added, model.insert_or_assign(k, std::move(v)).second);
    } else if (r < 80) {
      const std::string& k = pool[rng() % pool.size()];
      const auto* got = m.find(k);
      const auto it = model.find(k);
      ASSERT_EQ(got != nullptr, it != model.end()) << k;
      if (got) {
        ASSERT_EQ(*got, it->second);
      }
      ASSERT_EQ(m.contains(k), got != nullptr);
    } else if (r < 85) {
      versions.emplace_back(m, model);
      ASSERT_TRUE(versions.back().first.identical_to(m));
    } else if (r < 89 && !versions.empty()) {
      versions.erase(versions.begin() + static_cast<long>(rng() % versions.size()));
    } else if (r < 95 && !versions.empty()) {
      // Branch: modify an old version; the current map must not notice.
      auto& [vm, vmodel] = versions[rng() % versions.size()];
      const std::string& k = pool[rng() % pool.size()];
      std::string v = random_value();
      const bool added = vm.set(k, v);
      ASSERT_EQ(added, vmodel.insert_or_assign(k, std::move(v)).second);
    } else if (r < 96) {
      ASSERT_NO_FATAL_FAILURE(expect_equal(m, model));
    } else if (r < 97 && !versions.empty()) {
      // Continue from an old version (assignment drops the current one).
      const auto& [vm, vmodel] = versions[rng() % versions.size()];
      m = vm;
      model = vmodel;
    }
  }
  ASSERT_NO_FATAL_FAILURE(expect_equal(m, model));
  for (const auto& [vm, vmodel] : versions) ASSERT_NO_FATAL_FAILURE(expect_equal(vm, vmodel));
  if constexpr (constant) {
    // All keys in one collision node at the bottom of a 13-node chain.
    const auto nodes = nodes_of(m);
    ASSERT_EQ(nodes.size(), 14u);
    EXPECT_EQ(nodes.back().entries, m.size());
  }
}

TEST(PersistentMap, EmptyCopyMoveAndIteration) {
  PersistentMap<int> m;
  EXPECT_TRUE(m.empty());
  EXPECT_EQ(m.find(""), nullptr);
  EXPECT_EQ(m.begin(), m.end());
  int calls = 0;
  m.for_each([&](const std::string&, const int&) { ++calls; });
  EXPECT_EQ(calls, 0);

  EXPECT_TRUE(m.set("a", 1));
  EXPECT_FALSE(m.set("a", 2));
  EXPECT_TRUE(m.set("", 3));
  PersistentMap<int> copy = m;
  EXPECT_TRUE(copy.identical_to(m));
  PersistentMap<int> moved = std::move(copy);
  EXPECT_TRUE(copy.empty());  // a moved-from map is empty
  EXPECT_EQ(copy.begin(), copy.end());
  EXPECT_EQ(*moved.find("a"), 2);
  EXPECT_EQ(*moved.find(""), 3);
  moved = moved;  // self-assignment keeps contents
  EXPECT_EQ(moved.size(), 2u);
  auto it = moved.begin();
  auto first = it++;
  EXPECT_NE(first, it);
  EXPECT_EQ(++it, moved.end());
}

// The key argument may be a view into an entry of the same map. Rebuilding
// the node that holds that entry moves it (and empties a short string), so
// the stored key must be copied first. Hashes are spelled out in the keys so
// that the viewed entry sits exactly where the new key goes.
TEST(PersistentMap, KeyViewIntoTheMapItself) {
  struct Case {
    const char* what;
    std::vector<std::string> keys;
    std::size_t prefix;  // the key set is keys[0].substr(0, prefix)
  };
  const Case cases[] = {
      {"free slot in the viewed entry's node", {"1234:abc", "7:x"}, 2},  // hash 12
      {"slot split down to a collision node", {"1234:abc", "7:x"}, 7},   // same hash 1234
      {"collision node", {"1234:abc", "1234:zzz", "7:x"}, 7},
      {"replacement", {"1234:abc", "7:x"}, 8},
  };
  for (const Case& tc : cases) {
    for (const bool shared : {false, true}) {
      SCOPED_TRACE(std::string(tc.what) + (shared ? ", shared" : ", sole owner"));
      PersistentMap<int, EncodedHash> m;
      std::map<std::string, int> model;
      for (const auto& k : tc.keys) {
        m.set(k, 1);
        model[k] = 1;
      }
      PersistentMap<int, EncodedHash> snapshot;
      if (shared) snapshot = m;
      std::string_view view;
      for (const auto& e : m) {
        if (e.key == tc.keys[0]) view = e.key;
      }
      ASSERT_EQ(view, tc.keys[0]);
      m.set(view.substr(0, tc.prefix), 2);
      model[tc.keys[0].substr(0, tc.prefix)] = 2;
      std::map<std::string, int> seen;
      for (const auto& [k, v] : m) seen[k] = v;
      EXPECT_EQ(seen, model);
      if (shared) {
        EXPECT_EQ(snapshot.size(), tc.keys.size());
        EXPECT_EQ(*snapshot.find(tc.keys[0]), 1);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Structural sharing: one set() on a copy of a large map allocates exactly the
// nodes on the path to the key, and every other node stays shared.

TEST(PersistentMap, SetOnACopyRebuildsOnlyThePath) {
  using Map = PersistentMap<std::uint64_t, SeededStringHash, CountingAlloc>;
  Map big;
  for (std::uint64_t i = 0; i < 200000; ++i) big.set("key" + std::to_string(i), i);
  const auto before = nodes_of(big);
  std::set<const void*> old_ids;
  for (const auto& n : before) old_ids.insert(n.id);

  for (const char* key : {"key123", "key199999", "a-new-key", "another-new-key"}) {
    SCOPED_TRACE(key);
    const long allocs_before = CountingAlloc::allocations;
    Map v = big;
    v.set(key, 42);
    const long allocs = CountingAlloc::allocations - allocs_before;

    std::vector<HamtNodeInfo> fresh;
    std::set<const void*> new_ids;
    for (const auto& n : nodes_of(v)) {
      new_ids.insert(n.id);
      if (!old_ids.count(n.id)) fresh.push_back(n);
    }
    // The fresh nodes form one root-to-key path: one per depth, each the
    // child of the previous one, the last one holding the key.
    ASSERT_FALSE(fresh.empty());
    EXPECT_EQ(static_cast<long>(fresh.size()), allocs);
    for (std::size_t d = 0; d < fresh.size(); ++d) {
      EXPECT_EQ(fresh[d].depth, d);
      EXPECT_EQ(fresh[d].parent, d == 0 ? nullptr : fresh[d - 1].id);
    }
    const auto* val = reinterpret_cast<const char*>(v.find(key));
    const auto* last = static_cast<const char*>(fresh.back().id);
    EXPECT_TRUE(val >= last && val < last + fresh.back().bytes);
    std::size_t dropped = 0;
    for (const void* id : old_ids) dropped += !new_ids.count(id);
    // Old nodes left out of the new version: exactly the replaced path (one
    // shorter than the fresh path when a slot was split).
    EXPECT_LE(dropped, fresh.size());
    EXPECT_GE(dropped + 1, fresh.size());
    // The original is untouched.
    EXPECT_TRUE(big.find(key) == nullptr || *big.find(key) != 42);
    EXPECT_EQ(big.size(), 200000u);
  }
  const auto after = nodes_of(big);
  ASSERT_EQ(after.size(), before.size());
  for (std::size_t i = 0; i < after.size(); ++i) EXPECT_EQ(after[i].id, before[i].id);
}

TEST(PersistentMap, SoleOwnerUpdatesInPlace) {
  using Map = PersistentMap<std::uint64_t, SeededStringHash, CountingAlloc>;
  Map m;
  for (std::uint64_t i = 0; i < 50000; ++i) m.set("key" + std::to_string(i), i);
  const long live = CountingAlloc::live_blocks;
  long allocs = CountingAlloc::allocations;
  m.set("key77", 7);
  EXPECT_EQ(CountingAlloc::allocations, allocs);  // replaced without allocating
  EXPECT_EQ(*m.find("key77"), 7u);
  allocs = CountingAlloc::allocations;
  m.set("brand-new", 1);
  // One node regrown, plus any new node(s) to split a clashing slot.
  const long grew = CountingAlloc::live_blocks - live;
  EXPECT_EQ(CountingAlloc::allocations - allocs, 1 + grew);
  {
    Map snapshot = m;  // now shared: the next set must copy, not mutate
    m.set("key77", 8);
    EXPECT_EQ(*snapshot.find("key77"), 7u);
  }
  EXPECT_EQ(*m.find("key77"), 8u);
}

// ---------------------------------------------------------------------------
// Value lifetime and the strong guarantee.

TEST(PersistentMap, ValueCopiesOnlyForRebuiltEntriesAndNothingLeaks) {
  const long live0 = Counted::live;
  const long blocks0 = CountingAlloc::live_blocks;
  {
    using Map = PersistentMap<Counted, SeededStringHash, CountingAlloc>;
    Map m;
    for (int i = 0; i < 5000; ++i) m.set("k" + std::to_string(i), Counted(i));
    EXPECT_EQ(Counted::live - live0, 5000);  // built in place: moves only
    std::vector<Map> versions;
    for (int i = 0; i < 200; ++i) {
      versions.push_back(m);
      std::set<const void*> old_ids;
      for (const auto& n : nodes_of(m)) old_ids.insert(n.id);
      const long copies0 = Counted::copies;
      m.set("k" + std::to_string(i * 13 % 6000), Counted(-i));  // replaces or inserts
      std::size_t rebuilt_entries = 0;
      for (const auto& n : nodes_of(m)) {
        if (!old_ids.count(n.id)) rebuilt_entries += n.entries;
      }
      // Every entry of a rebuilt node is a copy except the one set.
      EXPECT_EQ(static_cast<std::size_t>(Counted::copies - copies0), rebuilt_entries - 1);
    }
    const long copies0 = Counted::copies;
    versions.clear();  // m is sole owner again: in-place replacement copies nothing
    m.set("k1", Counted(1));
    EXPECT_EQ(Counted::copies, copies0);
  }
  EXPECT_EQ(Counted::live, live0);
  EXPECT_EQ(CountingAlloc::live_blocks, blocks0);
  EXPECT_EQ(CountingAlloc::live_bytes, 0);
}

// Every allocation and every value copy inside set() is made to fail in turn;
// each failure must leave the map as it was and leak nothing. Covers keys that
// replace, land in a free slot, or split a slot, with the map sole owner of
// its nodes (in-place path) and shared with a snapshot (copying path).
// `pool`: the first 300 keys fill the map, every 9th key of the pool is set.
template <class Hash>
void check_strong_guarantee(const std::vector<std::string>& pool) {
  using Map = PersistentMap<Counted, Hash, CountingAlloc>;
  using Model = std::map<std::string, int>;
  std::size_t longest_split = 0;  // most nodes added by one insertion
  auto contents = [](const Map& map) {
    Model out;
    map.for_each([&](const std::string& k, const Counted& c) { out[k] = c.v; });
    return out;
  };
  for (std::size_t ki = 0; ki < pool.size(); ki += 9) {
    const std::string& key = pool[ki];
    for (const bool shared : {false, true}) {
      for (const bool copy_fault : {false, true}) {
        SCOPED_TRACE("key '" + key + "' shared " + std::to_string(shared) + " copy_fault " +
                     std::to_string(copy_fault));
        Map m;
        Model model;
        for (int i = 0; i < 300; ++i) {
          m.set(pool[static_cast<std::size_t>(i)], Counted(i));
          model[pool[static_cast<std::size_t>(i)]] = i;
        }
        const std::size_t filled_nodes = nodes_of(m).size();
        Map snapshot;
        if (shared) snapshot = m;
        for (long n = 0;; ++n) {
          const long live = Counted::live;
          const long blocks = CountingAlloc::live_blocks;
          const long bytes = CountingAlloc::live_bytes;
          if (copy_fault) {
            Counted::throw_after = n;
          } else {
            CountingAlloc::fail_at = CountingAlloc::allocations + n;
          }
          bool threw = false;
          try {
            m.set(key, Counted(-1));
          } catch (const std::bad_alloc&) {
            threw = !copy_fault;
          } catch (const std::runtime_error&) {
            threw = copy_fault;
          }
          CountingAlloc::fail_at = -1;
          Counted::throw_after = -1;
          if (!threw) break;
          ASSERT_EQ(contents(m), model) << "failure " << n;
          if (shared) {
            ASSERT_TRUE(m.identical_to(snapshot));
          }
          ASSERT_EQ(Counted::live, live);
          ASSERT_EQ(CountingAlloc::live_blocks, blocks);
          ASSERT_EQ(CountingAlloc::live_bytes, bytes);
        }
        model[key] = -1;
        ASSERT_EQ(contents(m), model);
        longest_split = std::max(longest_split, nodes_of(m).size() - filled_nodes);
        if (shared) {  // the snapshot still has the old state
          const Counted* old = snapshot.find(key);
          ASSERT_EQ(old ? old->v : -2, ki < 300 ? static_cast<int>(ki) : -2);
        }
      }
    }
  }
  EXPECT_EQ(CountingAlloc::live_blocks, 0);
  if (std::is_same_v<Hash, EncodedHash>) {
    EXPECT_GE(longest_split, 12u) << "no insertion split a slot down to a collision node";
  }
}

// 10-bit hashes: many keys share their full hash with another one, so
// insertions add 12-node chains ending in collision nodes (fixed layout).
std::vector<std::string> encoded_key_pool(std::size_t n) {
  std::mt19937 rng(99);
  std::vector<std::string> keys;
  for (std::size_t i = 0; i < n; ++i) keys.push_back(std::to_string(rng() & 0x3FF) + ":" + std::to_string(i));
  return keys;
}

TEST(PersistentMap, StrongGuaranteeSeededHash) { check_strong_guarantee<SeededStringHash>(make_key_pool(400, 11)); }
TEST(PersistentMap, StrongGuaranteeChainsAndCollisions) { check_strong_guarantee<EncodedHash>(encoded_key_pool(400)); }
TEST(PersistentMap, StrongGuaranteeOneCollisionNode) { check_strong_guarantee<ConstantHash>(make_key_pool(400, 11)); }

// A value destructor may run arbitrary code (a Python finalizer) that reads the
// map: by then the map must already show its new state.
struct Observed {
  static inline void (*on_destroy)(int) = nullptr;
  int v;
  explicit Observed(int x) : v(x) {}
  Observed(const Observed&) = default;
  Observed(Observed&& o) noexcept : v(std::exchange(o.v, 0)) {}
  ~Observed() {
    if (v != 0 && on_destroy) on_destroy(v);
  }
};

TEST(PersistentMap, DestructorsSeeTheNewState) {
  using Map = PersistentMap<Observed>;
  static Map* watched = nullptr;
  static std::vector<std::pair<int, int>> observations;  // (destroyed value, value seen for "key")
  Map m;
  watched = &m;
  for (int i = 1; i <= 2000; ++i) m.set("k" + std::to_string(i), Observed(i));
  m.set("key", Observed(100000));
  Observed::on_destroy = [](int v) {
    const Observed* seen = watched->find("key");
    std::size_t n = 0;
    watched->for_each([&](const std::string&, const Observed&) { ++n; });
    observations.emplace_back(v, n == watched->size() && seen ? seen->v : -1);
  };
  m.set("key", Observed(200000));  // sole owner: old value swapped out in place
  ASSERT_EQ(observations.size(), 1u);
  EXPECT_EQ(observations[0], std::make_pair(100000, 200000));
  observations.clear();
  {
    Map other = m;
    other.set("key", Observed(300000));
    m = std::move(other);  // the old path's nodes die with their entries
  }
  ASSERT_GT(observations.size(), 1u);
  bool saw_old = false;
  for (const auto& [destroyed, seen] : observations) {
    EXPECT_EQ(seen, 300000);
    saw_old |= destroyed == 200000;
  }
  EXPECT_TRUE(saw_old);
  Observed::on_destroy = nullptr;
}

// Versions shared across threads: copies, sets and destruction run
// concurrently on maps that share nodes.
TEST(PersistentMap, VersionsSharedAcrossThreads) {
  using Map = PersistentMap<std::uint64_t>;
  Map base;
  for (std::uint64_t i = 0; i < 20000; ++i) base.set("k" + std::to_string(i), i);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t));
      Map mine = base;
      std::vector<Map> kept;
      for (int i = 0; i < 3000; ++i) {
        const std::string k = "k" + std::to_string(rng() % 25000);
        mine.set(k, 1000000u * static_cast<unsigned>(t + 1) + static_cast<unsigned>(i));
        if (i % 10 == 0) kept.push_back(mine);
        if (kept.size() > 20) kept.erase(kept.begin());
        if (*mine.find(k) != 1000000u * static_cast<unsigned>(t + 1) + static_cast<unsigned>(i)) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  ASSERT_EQ(base.size(), 20000u);
  for (std::uint64_t i = 0; i < 20000; ++i) ASSERT_EQ(*base.find("k" + std::to_string(i)), i);
}

}  // namespace

// Maps whose users serialise every operation (the state's maps, under the
// interpreter lock) count node references without atomic instructions; the
// counts must stay exact: versions keep their contents and every value is
// released once all versions are gone.
TEST(PersistentMap, SerializedCountsKeepVersionsAndReleaseEverything) {
  struct Counted {
    explicit Counted(int v, int* live) : value(v), live(live) { ++*live; }
    Counted(const Counted& o) : value(o.value), live(o.live) { ++*live; }
    Counted(Counted&& o) noexcept : value(o.value), live(o.live) { ++*live; }
    ~Counted() { --*live; }
    int value;
    int* live;
  };
  using Map = PersistentMap<Counted, MaskLowHash, kavex::SerializedNodeAllocator>;
  int live = 0;
  {
    const auto pool = make_key_pool(2000, 3);
    std::mt19937 rng(7);
    std::vector<std::pair<Map, std::unordered_map<std::string, int>>> versions(1);
    for (int step = 0; step < 6000; ++step) {
      auto base = versions[rng() % versions.size()];
      const std::string& key = pool[rng() % pool.size()];
      const int value = static_cast<int>(rng() % 1000);
      base.first.set(key, Counted(value, &live));
      base.second[key] = value;
      versions.push_back(std::move(base));
      if (versions.size() > 40) versions.erase(versions.begin() + static_cast<long>(rng() % versions.size()));
    }
    for (const auto& [map, model] : versions) {
      ASSERT_EQ(map.size(), model.size());
      for (const auto& [key, value] : model) ASSERT_EQ(map.find(key)->value, value);
    }
  }
  EXPECT_EQ(live, 0);
}

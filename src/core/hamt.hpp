// PersistentMap<V>: an immutable-by-sharing map from std::string keys to V.
//
// What it guarantees
//   * Value semantics with structural sharing. Copying a map is O(1) (one
//     atomic increment); set() on one map never changes any other map, even
//     one copied from it. Only the nodes on the path to the changed entry are
//     rebuilt; every other node stays shared between the versions.
//   * When a map is the sole owner of the nodes on that path (no copy of it
//     was taken since they were built), set() updates them in place instead.
//     So several set() calls on one fresh copy pay for each shared node once.
//   * Strong exception guarantee for set(): if it throws (allocation failure,
//     V's copy constructor), the map is unchanged and nothing leaks.
//   * Old values and dropped nodes are destroyed only after set() has put the
//     map in its new, consistent state, so a V destructor that runs arbitrary
//     code (e.g. releasing a Python object) may read the map.
//   * Thread safety: const operations (find, iteration, copying) on one map
//     object may run concurrently; set() on a map object must not overlap any
//     other use of that object. Distinct map objects that share nodes may be
//     used freely on different threads (node reference counts are atomic).
//   * Key order is the order of the seeded hash: stable for a given set of
//     keys within one process, different between processes.
//
// Complexity (n entries, k = key length)
//   copy, move, assignment, size, empty       O(1)
//   find                                       O(k + log32 n)
//   set on a shared map                        O(k + 32 * log32 n): copies
//                                              the path (one node per level,
//                                              plus the node splitting a slot
//                                              when a new key lands on
//                                              another key's slot)
//   set, sole owner of the path                O(k + log32 n); no allocation
//                                              to replace, one or two to add
//   for_each, full iteration                   O(n)
//   destruction                                O(nodes no longer shared)
// find() results and iterators stay valid until set() on, or destruction of,
// the map they came from.
// Keys with identical 64-bit hashes share one collision node and are found by
// linear scan; with the default seeded hash this practically never happens.
//
// Layout: a hash array mapped trie in CHAMP form (see hamt_node.hpp). Each
// bitmap node covers 5 bits of the 64-bit key hash (low bits first) with two
// 32-bit bitmaps, `datamap` for slots holding an entry inline and `nodemap`
// for slots holding a child. A slot's position in the exact-size entry or
// child array is popcount(bitmap & (slot_bit - 1)). Depth is at most 13
// bitmap levels; keys whose hashes agree in all 64 bits go to a collision
// node below the last level. No node is ever emptied (there is no erase), and
// an entry sits at the shallowest level where its hash prefix is unique.
//
// Requirements on V: copy constructible, nothrow move constructible, nothrow
// destructible. V's copy constructor runs only when an entry is copied into a
// rebuilt path node; V's destructor runs when the last node holding a copy
// dies (or, for a value replaced in place, at the end of set()).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "hamt_iterator.hpp"
#include "hamt_node.hpp"
#include "string_hash.hpp"

namespace kavex {

// One node as reported by PersistentMap::visit_nodes().
struct HamtNodeInfo {
  const void* id;      // node address; equal ids in two maps = shared node
  const void* parent;  // nullptr for the root
  unsigned depth;      // root = 0; collision nodes are at depth 13
  bool collision;
  std::uint32_t entries;
  std::uint32_t children;
  std::size_t bytes;   // size of the node's block
  std::uint32_t refs;  // parents + map objects pointing at it
};

template <class V, class Hash = SeededStringHash, class NodeAlloc = DefaultNodeAllocator>
class PersistentMap {
  static_assert(std::is_copy_constructible_v<V>, "PersistentMap values must be copy constructible");
  static_assert(std::is_nothrow_move_constructible_v<V>, "PersistentMap values must be nothrow move constructible");
  static_assert(std::is_nothrow_destructible_v<V>, "PersistentMap values must be nothrow destructible");
  static_assert(std::is_nothrow_invocable_r_v<std::uint64_t, const Hash&, std::string_view>,
                "Hash must be callable as noexcept uint64_t(std::string_view)");
  static_assert(std::is_nothrow_default_constructible_v<Hash> && std::is_nothrow_copy_constructible_v<Hash>);

  using N = detail::Node<V, NodeAlloc>;
  using Builder = detail::NodeBuilder<N>;
  using Entry = MapEntry<V>;
  static constexpr unsigned kBits = detail::kHamtBits;

 public:
  using key_type = std::string;
  using mapped_type = V;
  using value_type = MapEntry<V>;
  using size_type = std::size_t;
  using hasher = Hash;
  using const_iterator = detail::HamtIterator<V, NodeAlloc>;
  using iterator = const_iterator;

  PersistentMap() noexcept = default;

  PersistentMap(const PersistentMap& other) noexcept : root_(other.root_), size_(other.size_), hash_(other.hash_) {
    if (root_) root_->add_ref();
  }

  PersistentMap(PersistentMap&& other) noexcept
      : root_(std::exchange(other.root_, nullptr)), size_(std::exchange(other.size_, 0)), hash_(other.hash_) {}

  // The previous contents are released after the new ones are in place.
  PersistentMap& operator=(const PersistentMap& other) noexcept {
    PersistentMap tmp(other);
    swap(tmp);
    return *this;
  }
  PersistentMap& operator=(PersistentMap&& other) noexcept {
    PersistentMap tmp(std::move(other));
    swap(tmp);
    return *this;
  }

  ~PersistentMap() {
    if (root_) N::release(std::exchange(root_, nullptr), 0);
  }

  void swap(PersistentMap& other) noexcept {
    std::swap(root_, other.root_);
    std::swap(size_, other.size_);
    std::swap(hash_, other.hash_);
  }
  friend void swap(PersistentMap& a, PersistentMap& b) noexcept { a.swap(b); }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // True when both maps share the same root, hence hold the same entries.
  // (False does not imply the contents differ.)
  bool identical_to(const PersistentMap& other) const noexcept { return root_ == other.root_; }

  // Pointer to the value for `key`, or nullptr. Valid until this map is
  // modified or destroyed.
  const V* find(std::string_view key) const noexcept {
    const N* n = root_;
    if (!n) return nullptr;
    const std::uint64_t h = hash_(key);
    for (unsigned shift = 0;; shift += kBits) {
      if (detail::is_collision_shift(shift)) {
        const Entry* e = n->entries();
        for (std::uint32_t i = 0; i < n->ncoll; ++i) {
          if (key_eq(e[i].key, key)) return &e[i].value;
        }
        return nullptr;
      }
      const std::uint32_t bit = std::uint32_t{1} << detail::hamt_fragment(h, shift);
      if (n->datamap & bit) {
        const Entry& e = n->entries()[detail::slot_index(n->datamap, bit)];
        return key_eq(e.key, key) ? &e.value : nullptr;
      }
      if (!(n->nodemap & bit)) return nullptr;
      n = n->children()[detail::slot_index(n->nodemap, bit)];
    }
  }

  bool contains(std::string_view key) const noexcept { return find(key) != nullptr; }

  // Inserts `key` or replaces its value. Returns true when the key was new.
  // Other maps sharing nodes with this one are unaffected. Strong guarantee:
  // on exception this map is unchanged (the `value` argument is consumed
  // either way). Invalidates iterators and find() results of this map.
  bool set(std::string_view key, V value) {
    const std::uint64_t h = hash_(key);
    if (!root_) {
      Builder b(std::uint32_t{1} << detail::hamt_fragment(h, 0), 0);
      b.skip_hole();
      b.fill_hole(std::string(key), std::move(value));
      root_ = b.finish();
      size_ = 1;
      return true;
    }
    std::optional<V> displaced;  // a value replaced in place; dies last
    InsertCtx c{key, h, value, displaced};
    root_ = insert(root_, 0, true, c);
    size_ += c.added ? 1 : 0;
    c.garbage.collect();
    return c.added;
  }

  // Calls f(const std::string& key, const V& value) once per entry, in
  // iteration order. f must not modify this map.
  template <class F>
  void for_each(F&& f) const {
    if (root_) for_each_rec(root_, 0, f);
  }

  const_iterator begin() const noexcept { return const_iterator(root_); }
  const_iterator end() const noexcept { return const_iterator(); }
  const_iterator cbegin() const noexcept { return begin(); }
  const_iterator cend() const noexcept { return end(); }

  // Introspection (tests, memory accounting): calls f(const HamtNodeInfo&)
  // for every node of this map, parents before children.
  template <class F>
  void visit_nodes(F&& f) const {
    if (root_) visit_rec(root_, nullptr, 0, f);
  }

 private:
  // Nodes replaced during set(); freed once the map is in its new state.
  struct Garbage {
    struct Item {
      N* node;
      unsigned shift;
      bool shell;  // contents were moved out: free the block only
    };
    Item items[detail::kHamtMaxDepth + 1];
    unsigned count = 0;

    void collect() noexcept {
      for (unsigned i = 0; i < count; ++i) {
        if (items[i].shell) {
          N::free_shell(items[i].node, items[i].shift);
        } else {
          N::release(items[i].node, items[i].shift);
        }
      }
      count = 0;
    }
  };

  struct InsertCtx {
    std::string_view key;
    std::uint64_t hash;
    V& value;
    std::optional<V>& displaced;
    std::optional<std::string> new_key{};
    bool added = false;
    Garbage garbage{};

    // The stored copy of the key, made before anything is modified (the
    // caller's view may point into an entry of this very map).
    std::string& materialize_key() {
      if (!new_key) new_key.emplace(key);
      return *new_key;
    }
  };

  static bool key_eq(const std::string& stored, std::string_view key) noexcept {
    return std::string_view(stored) == key;
  }

  // `node` has been replaced by a new node. If `node` was ours to modify
  // (mut), its contents were moved into the new node and only its block is
  // left to free. If just its parent is ours, the parent's reference to it is
  // dropped. Otherwise its (shared) parent still points at it: nothing to do.
  static void retire(InsertCtx& c, N* node, unsigned shift, bool mut, bool parent_mut) noexcept {
    if (mut) {
      c.garbage.items[c.garbage.count++] = {node, shift, true};
    } else if (parent_mut) {
      c.garbage.items[c.garbage.count++] = {node, shift, false};
    }
  }

  static void replace_in_place(V& slot, InsertCtx& c) noexcept {
    c.displaced.emplace(std::move(slot));
    std::destroy_at(&slot);
    std::construct_at(&slot, std::move(c.value));
  }

  // Returns the node that replaces `node` in its parent (`node` itself when
  // it was modified in place). `parent_mut`: the parent may be modified in
  // place (the map object counts as a modifiable parent of the root). In-place
  // modification happens only once every allocation and copy has succeeded.
  N* insert(N* node, unsigned shift, bool parent_mut, InsertCtx& c) {
    const bool mut = parent_mut && node->unique();
    if (detail::is_collision_shift(shift)) return insert_collision(node, shift, mut, parent_mut, c);
    const std::uint32_t bit = std::uint32_t{1} << detail::hamt_fragment(c.hash, shift);
    if (node->datamap & bit) {
      const unsigned i = detail::slot_index(node->datamap, bit);
      Entry& e = node->entries()[i];
      if (!key_eq(e.key, c.key)) return push_down(node, shift, mut, parent_mut, bit, c);
      if (mut) {
        replace_in_place(e.value, c);
        return node;
      }
      return copy_with_value(node, shift, parent_mut, i, c);
    }
    if (node->nodemap & bit) {
      const unsigned j = detail::slot_index(node->nodemap, bit);
      if (!mut) {
        // This node will be copied, which takes a reference to each child.
        // Start fetching their headers now so the misses overlap with the
        // descent instead of following it.
        N* const* ch = node->children();
        const unsigned nc = detail::popcount32(node->nodemap);
        for (unsigned k = 0; k < nc; ++k) detail::prefetch_for_write(ch[k]);
      }
      N* fresh = insert(node->children()[j], shift + kBits, mut, c);
      if (mut) {
        node->children()[j] = fresh;
        return node;
      }
      return copy_with_child(node, shift, parent_mut, j, fresh, c);
    }
    return insert_entry(node, shift, mut, parent_mut, bit, c);
  }

  // New key into the empty slot `bit` of a bitmap node.
  N* insert_entry(N* node, unsigned shift, bool mut, bool parent_mut, std::uint32_t bit, InsertCtx& c) {
    std::string& key = c.materialize_key();
    const unsigned i = detail::slot_index(node->datamap, bit);
    const unsigned ne = detail::popcount32(node->datamap);
    Entry* es = node->entries();
    Builder b(node->datamap | bit, node->nodemap);
    b.transfer(es, 0, i, mut);
    b.skip_hole();
    b.transfer(es, i, ne, mut);
    Builder::copy_children(b.node()->children(), node->children(), detail::popcount32(node->nodemap), mut);
    b.fill_hole(std::move(key), std::move(c.value));
    c.added = true;
    retire(c, node, shift, mut, parent_mut);
    return b.finish();
  }

  // Slot `bit` holds an entry with another key: replace it with a subtree
  // holding both entries. The subtree is a chain of single-child nodes down to
  // the first level where the two hashes differ (or a collision node).
  N* push_down(N* node, unsigned shift, bool mut, bool parent_mut, std::uint32_t bit, InsertCtx& c) {
    const unsigned i = detail::slot_index(node->datamap, bit);
    const unsigned ne = detail::popcount32(node->datamap);
    Entry* es = node->entries();
    const std::uint64_t old_hash = hash_(es[i].key);
    std::string& key = c.materialize_key();

    const unsigned sub = shift + kBits;  // shift of the new subtree's root
    unsigned leaf = sub;
    while (!detail::is_collision_shift(leaf) &&
           detail::hamt_fragment(old_hash, leaf) == detail::hamt_fragment(c.hash, leaf)) {
      leaf += kBits;
    }
    const unsigned nchain = (leaf - sub) / kBits;

    // Allocate everything first: in-place mode moves entries out of `node`,
    // which must not happen before the last allocation has succeeded.
    Builder repl(node->datamap & ~bit, node->nodemap | bit);
    std::optional<Builder> leaf_b;
    bool old_first = true;
    if (detail::is_collision_shift(leaf)) {
      leaf_b.emplace(typename Builder::CollisionTag{}, 2);
    } else {
      const std::uint32_t ob = std::uint32_t{1} << detail::hamt_fragment(old_hash, leaf);
      const std::uint32_t nb = std::uint32_t{1} << detail::hamt_fragment(c.hash, leaf);
      leaf_b.emplace(ob | nb, 0);
      old_first = ob < nb;
    }
    std::optional<Builder> chain[detail::kHamtMaxDepth];
    for (unsigned d = 0; d < nchain; ++d) {
      chain[d].emplace(0, std::uint32_t{1} << detail::hamt_fragment(c.hash, sub + d * kBits));
    }

    if (old_first) {
      leaf_b->transfer(es, i, i + 1, mut);
      leaf_b->skip_hole();
    } else {
      leaf_b->skip_hole();
      leaf_b->transfer(es, i, i + 1, mut);
    }
    repl.transfer(es, 0, i, mut);
    repl.transfer(es, i + 1, ne, mut);

    // Nothing below can fail.
    leaf_b->fill_hole(std::move(key), std::move(c.value));
    N* subtree = leaf_b->finish();
    for (unsigned d = nchain; d-- > 0;) {
      chain[d]->node()->children()[0] = subtree;
      subtree = chain[d]->finish();
    }
    const unsigned j = detail::slot_index(node->nodemap, bit);
    const unsigned nc = detail::popcount32(node->nodemap);
    N** dst = repl.node()->children();
    N* const* src = node->children();
    Builder::copy_children(dst, src, j, mut);
    dst[j] = subtree;
    Builder::copy_children(dst + j + 1, src + j, nc - j, mut);
    c.added = true;
    retire(c, node, shift, mut, parent_mut);
    return repl.finish();
  }

  // Shared bitmap node whose entry `i` gets the new value.
  N* copy_with_value(N* node, unsigned shift, bool parent_mut, unsigned i, InsertCtx& c) {
    std::string& key = c.materialize_key();
    const unsigned ne = detail::popcount32(node->datamap);
    Entry* es = node->entries();
    Builder b(node->datamap, node->nodemap);
    b.transfer(es, 0, i, false);
    b.skip_hole();
    b.transfer(es, i + 1, ne, false);
    Builder::copy_children(b.node()->children(), node->children(), detail::popcount32(node->nodemap), false);
    b.fill_hole(std::move(key), std::move(c.value));
    retire(c, node, shift, false, parent_mut);
    return b.finish();
  }

  // Shared bitmap node whose child `j` is replaced by `fresh` (owned).
  N* copy_with_child(N* node, unsigned shift, bool parent_mut, unsigned j, N* fresh, InsertCtx& c) {
    detail::NodeRef<N> guard(fresh, shift + kBits);
    Builder b(node->datamap, node->nodemap);
    b.transfer(node->entries(), 0, detail::popcount32(node->datamap), false);
    guard.dismiss();
    const unsigned nc = detail::popcount32(node->nodemap);
    N** dst = b.node()->children();
    N* const* src = node->children();
    Builder::copy_children(dst, src, j, false);
    dst[j] = fresh;
    Builder::copy_children(dst + j + 1, src + j + 1, nc - j - 1, false);
    retire(c, node, shift, false, parent_mut);
    return b.finish();
  }

  N* insert_collision(N* node, unsigned shift, bool mut, bool parent_mut, InsertCtx& c) {
    Entry* es = node->entries();
    const std::uint32_t n = node->ncoll;
    for (std::uint32_t i = 0; i < n; ++i) {
      if (!key_eq(es[i].key, c.key)) continue;
      if (mut) {
        replace_in_place(es[i].value, c);
        return node;
      }
      std::string& key = c.materialize_key();
      Builder b(typename Builder::CollisionTag{}, n);
      b.transfer(es, 0, i, false);
      b.skip_hole();
      b.transfer(es, i + 1, n, false);
      b.fill_hole(std::move(key), std::move(c.value));
      retire(c, node, shift, false, parent_mut);
      return b.finish();
    }
    std::string& key = c.materialize_key();
    Builder b(typename Builder::CollisionTag{}, n + 1);
    b.transfer(es, 0, n, mut);
    b.skip_hole();
    b.fill_hole(std::move(key), std::move(c.value));
    c.added = true;
    retire(c, node, shift, mut, parent_mut);
    return b.finish();
  }

  template <class F>
  static void for_each_rec(const N* n, unsigned shift, F& f) {
    const bool collision = detail::is_collision_shift(shift);
    const Entry* es = n->entries();
    const std::uint32_t ne = n->entry_count(collision);
    for (std::uint32_t i = 0; i < ne; ++i) f(std::as_const(es[i].key), std::as_const(es[i].value));
    if (collision) return;
    N* const* ch = n->children();
    const std::uint32_t nc = detail::popcount32(n->nodemap);
    for (std::uint32_t i = 0; i < nc; ++i) for_each_rec(ch[i], shift + kBits, f);
  }

  template <class F>
  static void visit_rec(const N* n, const N* parent, unsigned depth, F& f) {
    const bool collision = detail::is_collision_shift(depth * kBits);
    f(HamtNodeInfo{n, parent, depth, collision, n->entry_count(collision), n->child_count(collision),
                   n->bytes(collision), n->refs.load(std::memory_order_relaxed)});
    if (collision) return;
    N* const* ch = n->children();
    const std::uint32_t nc = detail::popcount32(n->nodemap);
    for (std::uint32_t i = 0; i < nc; ++i) visit_rec(ch[i], n, depth + 1, f);
  }

  N* root_ = nullptr;
  std::size_t size_ = 0;
  [[no_unique_address]] Hash hash_{};
};

}  // namespace kavex

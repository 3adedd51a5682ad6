// Node layout, allocation and reference counting for PersistentMap.
//
// A node is one heap block:
//
//   [ header: refs | datamap | nodemap | ncoll ]  16 bytes
//   [ Node*       x child count ]                 in slot order
//   [ MapEntry<V> x entry count ]                 key + value, in slot order
//
// Bitmap node (depth 0..12, hash shift 0..60): 32 slots addressed by 5 hash
// bits. Bit s of `datamap` set: slot s holds an entry; bit s of `nodemap`
// set: slot s holds a child (never both). The array index of slot s is the
// number of set bits below s: popcount(map & ((1 << s) - 1)). Arrays are
// sized exactly; any change reallocates the node.
//
// Collision node (depth 13, all 64 hash bits consumed): `ncoll` entries whose
// keys share the full hash, compared by key; no children.
//
// Whether a node is a collision node follows from its depth, which every
// traversal knows, so the header carries no kind tag.
//
// `refs` counts parent pointers plus map objects pointing at the node. A node
// with refs == 1 reached through nodes that all have refs == 1 is owned by a
// single map object and may be modified in place by that map. The count is
// 32 bits wide: a node can have at most 2^32 - 1 such owners.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

namespace kavex {

// Stored element of a PersistentMap; iteration yields `const MapEntry<V>&`
// (usable with structured bindings: `for (const auto& [key, value] : map)`).
template <class V>
struct MapEntry {
  std::string key;
  V value;
};

// Node memory source. A replacement must provide the same two static
// functions; it is stateless by design (nodes do not store an allocator).
struct DefaultNodeAllocator {
  static void* allocate(std::size_t bytes, std::size_t align) {
    if (align > __STDCPP_DEFAULT_NEW_ALIGNMENT__) return ::operator new(bytes, std::align_val_t{align});
    return ::operator new(bytes);
  }
  static void deallocate(void* p, std::size_t bytes, std::size_t align) noexcept {
    if (align > __STDCPP_DEFAULT_NEW_ALIGNMENT__) {
      ::operator delete(p, bytes, std::align_val_t{align});
    } else {
      ::operator delete(p, bytes);
    }
  }
};

// Node memory for maps whose every copy, update and destruction happens under
// one external lock (the Python interpreter lock, for the state's maps).
// Reference counts then need no atomic read-modify-write: copying a node
// touches each of its children's counts, and on a hot path those locked
// instructions cost more than the rest of the copy.
struct SerializedNodeAllocator : DefaultNodeAllocator {
  static constexpr bool kAtomicRefs = false;
};

namespace detail {

inline constexpr unsigned kHamtBits = 5;
inline constexpr std::uint64_t kHamtMask = 31;
// Bitmap nodes live at shifts 0, 5, ..., 60 (13 levels; the last one uses the
// remaining 4 bits). Shift 65 is where collision nodes live.
inline constexpr unsigned kCollisionShift = 65;
// Longest root-to-leaf path: 13 bitmap nodes + 1 collision node.
inline constexpr unsigned kHamtMaxDepth = 14;

inline constexpr unsigned hamt_fragment(std::uint64_t hash, unsigned shift) noexcept {
  return static_cast<unsigned>((hash >> shift) & kHamtMask);
}

inline constexpr bool is_collision_shift(unsigned shift) noexcept { return shift >= kCollisionShift; }

// Without the POPCNT instruction in the target, std::popcount becomes a libgcc
// call on x86-64; the bit-twiddling version is inline and branch-free.
inline unsigned popcount32(std::uint32_t x) noexcept {
#if defined(__x86_64__) && !defined(__POPCNT__)
  x = x - ((x >> 1) & 0x55555555u);
  x = (x & 0x33333333u) + ((x >> 2) & 0x33333333u);
  x = (x + (x >> 4)) & 0x0f0f0f0fu;
  return (x * 0x01010101u) >> 24;
#else
  return static_cast<unsigned>(std::popcount(x));
#endif
}

inline void prefetch_for_write(const void* p) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(p, 1);
#else
  (void)p;
#endif
}

inline unsigned slot_index(std::uint32_t bitmap, std::uint32_t bit) noexcept {
  return popcount32(bitmap & (bit - 1));
}

// Fields shared by both node kinds; Node<V, Alloc> adds only functions.
struct NodeHeader {
  std::atomic<std::uint32_t> refs;
  std::uint32_t datamap;
  std::uint32_t nodemap;
  std::uint32_t ncoll;  // entry count of a collision node; 0 in bitmap nodes
};

// Whether an allocator policy asks for atomic reference counts (the default).
template <class Alloc>
constexpr bool atomic_refs() noexcept {
  if constexpr (requires { Alloc::kAtomicRefs; }) {
    return Alloc::kAtomicRefs;
  } else {
    return true;
  }
}

template <class V, class Alloc>
struct Node : NodeHeader {
  using Entry = MapEntry<V>;
  static constexpr bool kAtomicRefs = atomic_refs<Alloc>();

  static constexpr std::size_t round_up(std::size_t n, std::size_t a) noexcept {
    return (n + a - 1) / a * a;
  }
  static constexpr std::size_t kAlign = std::max({alignof(NodeHeader), alignof(Entry), alignof(void*)});
  // Children come first: while descending, the child pointer is then often
  // in the same cache line as the bitmaps.
  static constexpr std::size_t kChildrenOffset = round_up(sizeof(NodeHeader), alignof(void*));

  static constexpr std::size_t entries_offset(std::uint32_t nchildren) noexcept {
    return round_up(kChildrenOffset + std::size_t{nchildren} * sizeof(void*), alignof(Entry));
  }
  static constexpr std::size_t block_bytes(std::uint32_t nentries, std::uint32_t nchildren) noexcept {
    return entries_offset(nchildren) + std::size_t{nentries} * sizeof(Entry);
  }

  Node(std::uint32_t dm, std::uint32_t nm, std::uint32_t nc) noexcept : NodeHeader{{1}, dm, nm, nc} {}

  std::uint32_t entry_count(bool collision) const noexcept { return collision ? ncoll : popcount32(datamap); }
  std::uint32_t child_count(bool collision) const noexcept { return collision ? 0 : popcount32(nodemap); }
  std::size_t bytes(bool collision) const noexcept {
    return block_bytes(entry_count(collision), child_count(collision));
  }

  // Collision nodes have nodemap == 0, so this is right for both kinds.
  Entry* entries() noexcept {
    return reinterpret_cast<Entry*>(reinterpret_cast<std::byte*>(this) + entries_offset(popcount32(nodemap)));
  }
  const Entry* entries() const noexcept {
    return reinterpret_cast<const Entry*>(reinterpret_cast<const std::byte*>(this) +
                                          entries_offset(popcount32(nodemap)));
  }
  // Only meaningful for bitmap nodes.
  Node** children() noexcept { return reinterpret_cast<Node**>(reinterpret_cast<std::byte*>(this) + kChildrenOffset); }
  Node* const* children() const noexcept {
    return reinterpret_cast<Node* const*>(reinterpret_cast<const std::byte*>(this) + kChildrenOffset);
  }

  void add_ref() noexcept {
    if constexpr (kAtomicRefs) {
      refs.fetch_add(1, std::memory_order_relaxed);
    } else {
      refs.store(refs.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
  }

  // True when the caller holds the only reference. Acquire pairs with the
  // release in drop_ref() of another owner, so everything that owner did with
  // the node happens-before our in-place modification of it.
  bool unique() const noexcept { return refs.load(std::memory_order_acquire) == 1; }

  // Drops one reference; true when it was the last one. When the count is 1
  // no other owner exists that could concurrently take a new reference, so
  // the atomic read-modify-write can be skipped.
  bool drop_ref() noexcept {
    const std::uint32_t count = refs.load(std::memory_order_acquire);
    if (count == 1) return true;
    if constexpr (kAtomicRefs) {
      return refs.fetch_sub(1, std::memory_order_acq_rel) == 1;
    } else {
      refs.store(count - 1, std::memory_order_relaxed);
      return false;
    }
  }

  // --- allocation -----------------------------------------------------------

  // Header initialised (refs = 1); entries and children are raw memory.
  static Node* allocate_bitmap(std::uint32_t dm, std::uint32_t nm) {
    void* p = Alloc::allocate(block_bytes(popcount32(dm), popcount32(nm)), kAlign);
    return ::new (p) Node(dm, nm, 0);
  }
  static Node* allocate_collision(std::uint32_t count) {
    void* p = Alloc::allocate(block_bytes(count, 0), kAlign);
    return ::new (p) Node(0, 0, count);
  }
  // Frees the block only; entries must already be destroyed.
  static void deallocate(Node* n, bool collision) noexcept {
    const std::size_t bytes = n->bytes(collision);
    n->~Node();
    Alloc::deallocate(n, bytes, kAlign);
  }

  // Destroys the entries and frees the block without touching children
  // (used for nodes whose contents were moved into a replacement).
  static void free_shell(Node* n, unsigned shift) noexcept {
    const bool collision = is_collision_shift(shift);
    std::destroy_n(n->entries(), n->entry_count(collision));
    deallocate(n, collision);
  }

  // Drops a reference; destroys the subtree when it was the last one.
  // Recursion depth is bounded by kHamtMaxDepth.
  static void release(Node* n, unsigned shift) noexcept {
    if (!n->drop_ref()) return;
    if (!is_collision_shift(shift)) {
      Node** ch = n->children();
      const unsigned nc = popcount32(n->nodemap);
      // Locked decrements do not overlap their cache misses; fetch first.
      for (unsigned i = 0; i < nc; ++i) prefetch_for_write(ch[i]);
      for (unsigned i = 0; i < nc; ++i) release(ch[i], shift + kHamtBits);
    }
    free_shell(n, shift);
  }
};

// Owns a reference to a node until dismissed.
template <class N>
class NodeRef {
 public:
  NodeRef(N* n, unsigned shift) noexcept : n_(n), shift_(shift) {}
  NodeRef(const NodeRef&) = delete;
  NodeRef& operator=(const NodeRef&) = delete;
  ~NodeRef() {
    if (n_) N::release(n_, shift_);
  }
  N* dismiss() noexcept { return std::exchange(n_, nullptr); }

 private:
  N* n_;
  unsigned shift_;
};

// Builds a node entry by entry, in slot order. If abandoned (exception), it
// destroys the entries constructed so far and frees the block. One slot may be
// left as a hole and filled last, by moves only, so that the caller's new
// entry is consumed only once nothing else can fail.
template <class N>
class NodeBuilder {
 public:
  using Entry = typename N::Entry;
  struct CollisionTag {};

  NodeBuilder(std::uint32_t dm, std::uint32_t nm) : n_(N::allocate_bitmap(dm, nm)), collision_(false) {}
  NodeBuilder(CollisionTag, std::uint32_t count) : n_(N::allocate_collision(count)), collision_(true) {}
  NodeBuilder(const NodeBuilder&) = delete;
  NodeBuilder& operator=(const NodeBuilder&) = delete;

  ~NodeBuilder() {
    if (!n_) return;
    Entry* e = n_->entries();
    for (std::uint32_t i = 0; i < next_; ++i) {
      if (i != hole_) std::destroy_at(e + i);
    }
    N::deallocate(n_, collision_);
  }

  N* node() const noexcept { return n_; }

  // Copies (may throw) or moves (nothrow) src[from, to) into the next slots.
  void transfer(Entry* src, std::uint32_t from, std::uint32_t to, bool move) {
    Entry* dst = n_->entries();
    if (move) {
      for (std::uint32_t i = from; i < to; ++i) {
        std::construct_at(dst + next_, std::move(src[i]));
        ++next_;
      }
    } else {
      for (std::uint32_t i = from; i < to; ++i) {
        std::construct_at(dst + next_, std::as_const(src[i]));
        ++next_;
      }
    }
  }

  void skip_hole() noexcept { hole_ = next_++; }

  template <class VV>
  void fill_hole(std::string&& key, VV&& value) noexcept {
    ::new (static_cast<void*>(n_->entries() + hole_)) Entry{std::move(key), std::forward<VV>(value)};
    hole_ = kNoHole;
  }

  // Writes child pointers, taking a new reference to each unless `adopt`
  // (the caller hands over its references).
  static void copy_children(N** dst, N* const* src, unsigned count, bool adopt) noexcept {
    if (adopt) {
      for (unsigned i = 0; i < count; ++i) dst[i] = src[i];
      return;
    }
    // The children are usually not in cache; touching them all first lets
    // the misses overlap instead of serialising behind the locked increments.
    for (unsigned i = 0; i < count; ++i) prefetch_for_write(src[i]);
    for (unsigned i = 0; i < count; ++i) {
      dst[i] = src[i];
      src[i]->add_ref();
    }
  }

  N* finish() noexcept { return std::exchange(n_, nullptr); }

 private:
  static constexpr std::uint32_t kNoHole = ~std::uint32_t{0};
  N* n_;
  bool collision_;
  std::uint32_t next_ = 0;
  std::uint32_t hole_ = kNoHole;
};

}  // namespace detail
}  // namespace kavex

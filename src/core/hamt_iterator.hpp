// Forward iterator over a PersistentMap: depth-first, a node's entries before
// its children. It holds raw node pointers (no references), so like a
// standard container iterator it is invalidated by set() on the map it came
// from and by that map's destruction. To iterate while modifying, iterate a
// copy of the map (copying is O(1)).
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

#include "hamt_node.hpp"

namespace kavex {
namespace detail {

template <class V, class Alloc>
class HamtIterator {
  using N = Node<V, Alloc>;

 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = MapEntry<V>;
  using difference_type = std::ptrdiff_t;
  using pointer = const value_type*;
  using reference = const value_type&;

  HamtIterator() noexcept = default;  // end

  explicit HamtIterator(const N* root) noexcept {
    if (root) {
      push(root);
      advance();
    }
  }

  reference operator*() const noexcept { return *cur_; }
  pointer operator->() const noexcept { return cur_; }

  HamtIterator& operator++() noexcept {
    advance();
    return *this;
  }
  HamtIterator operator++(int) noexcept {
    HamtIterator old = *this;
    advance();
    return old;
  }

  friend bool operator==(const HamtIterator& a, const HamtIterator& b) noexcept { return a.cur_ == b.cur_; }

 private:
  struct Frame {
    const N* node;
    std::uint32_t pos;  // next item: entries [0, nentries), then children
    std::uint32_t nentries;
    std::uint32_t nchildren;
  };

  void push(const N* n) noexcept {
    const bool collision = is_collision_shift(depth_ * kHamtBits);
    stack_[depth_++] = Frame{n, 0, n->entry_count(collision), n->child_count(collision)};
  }

  void advance() noexcept {
    while (depth_ > 0) {
      Frame& f = stack_[depth_ - 1];
      if (f.pos < f.nentries) {
        cur_ = f.node->entries() + f.pos++;
        return;
      }
      if (f.pos < f.nentries + f.nchildren) {
        const N* child = f.node->children()[f.pos - f.nentries];
        ++f.pos;
        push(child);
        continue;
      }
      --depth_;
    }
    cur_ = nullptr;
  }

  Frame stack_[kHamtMaxDepth]{};
  unsigned depth_ = 0;
  const value_type* cur_ = nullptr;
};

}  // namespace detail
}  // namespace kavex

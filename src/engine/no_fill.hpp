// Vectors for the engine's big buffers, which are written in full right
// after they are made. resize() leaves new elements unset: filling them
// first would be a pass of its own over fresh memory, on one thread, before
// the parallel writes.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace dorvik {

template <class T>
struct NoFill : std::allocator<T> {
  static_assert(std::is_trivially_default_constructible_v<T>);
  template <class U>
  struct rebind {
    using other = NoFill<U>;
  };
  NoFill() = default;
  template <class U>
  NoFill(const NoFill<U>&) noexcept {}

  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;  // default-initialised: left as it is
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

template <class T>
using UnfilledVector = std::vector<T, NoFill<T>>;

// n words for a passing need: those of a caller's `scratch` if it has as
// many, which then hold whatever is left in them, or else unset ones of its own.
class Words {
 public:
  Words(std::span<std::uint64_t> scratch, std::size_t n) {
    if (scratch.size() >= n) {
      words_ = scratch.first(n);
    } else {
      own_ = std::make_unique_for_overwrite<std::uint64_t[]>(n);
      words_ = {own_.get(), n};
    }
  }
  std::uint64_t* data() const { return words_.data(); }
  std::uint64_t& operator[](std::size_t i) const { return words_[i]; }
  // Gives the words back early, if they were its own.
  void release() {
    own_.reset();
    words_ = {};
  }

 private:
  std::unique_ptr<std::uint64_t[]> own_;
  std::span<std::uint64_t> words_;
};

}  // namespace dorvik

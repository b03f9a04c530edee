// Vectors for the engine's big buffers, which are written in full right
// after they are made. resize() leaves new elements unset: filling them
// first would be a pass of its own over fresh memory, on one thread, before
// the parallel writes.
#pragma once

#include <memory>
#include <new>
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

}  // namespace dorvik

// Vectors for the engine's big buffers, which are written in full right
// after they are made. resize() leaves new elements unset: filling them
// first would be a pass of its own over fresh memory, on one thread, before
// the parallel writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/fault_in.hpp"

namespace dorvik {

// Big blocks are mapped afresh by the C library on every request (from 32
// MiB on), and the first write to each of their pages is a page fault: a
// fresh block is therefore mapped in one call before it is handed out,
// which costs the kernel a fraction of what the faults do. In a
// BlockReuse scope, the one big block a thread last freed is kept, and
// handed out again for its next big request of nearly its size: the sort's
// keys, freed just before a dictionary's bytes of about the same size are
// made. The scope's end frees what is kept.
class BlockReuse {
 public:
  BlockReuse() { ++kept_.scopes; }
  ~BlockReuse() {
    if (--kept_.scopes == 0) std::free(std::exchange(kept_.block, nullptr));
  }
  BlockReuse(const BlockReuse&) = delete;
  BlockReuse& operator=(const BlockReuse&) = delete;

  static constexpr std::size_t kBig = std::size_t{32} << 20;
  // Big blocks carry their size before them, so that one handed out again
  // for a smaller request is still known by its own.
  static constexpr std::size_t kHeader = 16;

  static void* allocate(std::size_t bytes) {
    if (void* block = kept_.block; block != nullptr && size_of(block) >= bytes && bytes >= size_of(block) / 4 * 3) {
      kept_.block = nullptr;
      return static_cast<std::byte*>(block) + kHeader;
    }
    void* block = std::malloc(bytes + kHeader);
    if (block == nullptr) throw std::bad_alloc();
    fault_in(block, bytes + kHeader);
    std::memcpy(block, &bytes, sizeof bytes);
    return static_cast<std::byte*>(block) + kHeader;
  }
  static void deallocate(void* p) {
    void* block = static_cast<std::byte*>(p) - kHeader;
    if (kept_.scopes == 0) {
      std::free(block);
      return;
    }
    // Of two, the bigger is kept: it serves more requests.
    if (kept_.block != nullptr && size_of(kept_.block) > size_of(block)) std::swap(block, kept_.block);
    std::free(std::exchange(kept_.block, block));
  }

 private:
  static std::size_t size_of(const void* block) {
    std::size_t bytes;
    std::memcpy(&bytes, block, sizeof bytes);
    return bytes;
  }
  struct Kept {
    void* block;
    int scopes;
  };
  static inline thread_local Kept kept_{nullptr, 0};
};

template <class T>
struct NoFill : std::allocator<T> {
  static_assert(std::is_trivially_default_constructible_v<T>);
  static_assert(alignof(T) <= BlockReuse::kHeader);
  template <class U>
  struct rebind {
    using other = NoFill<U>;
  };
  NoFill() = default;
  template <class U>
  NoFill(const NoFill<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n <= BlockReuse::kBig / sizeof(T)) return std::allocator<T>::allocate(n);
    if (n > (SIZE_MAX - BlockReuse::kHeader) / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(BlockReuse::allocate(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) {
    if (n > BlockReuse::kBig / sizeof(T)) return BlockReuse::deallocate(p);
    std::allocator<T>::deallocate(p, n);
  }

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

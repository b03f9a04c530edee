// Finding the entry a column's earlier cell of the same object got.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "engine/hash.hpp"

namespace dorvik {

// Maps objects, by address, to entry numbers. The address sits in the slot
// itself: a lookup reads the slot and nothing else.
class ObjectIndex {
  struct Slot {
    const void* object;  // nullptr marks an empty slot
    std::uint32_t entry;
  };

 public:
  ObjectIndex() : seed_(random_seed()) { rebuild(16); }

  std::optional<std::uint32_t> find(const void* object) const { return view().find(object); }

  // The index as it stands, for lookups with no insert between them: kept
  // in locals, it is not read again for each one.
  class View {
   public:
    std::optional<std::uint32_t> find(const void* object) const {
      for (std::size_t i = place(object);; i = (i + 1) & mask_) {
        const Slot& s = slots_[i];
        if (s.object == object) return s.entry;
        if (s.object == nullptr) return std::nullopt;
      }
    }
    // Starts loading the slot where a search for `object` begins.
    void prefetch(const void* object) const { __builtin_prefetch(&slots_[place(object)]); }

   private:
    friend class ObjectIndex;
    View(const Slot* slots, std::size_t mask, std::uint64_t seed) : slots_(slots), mask_(mask), seed_(seed) {}
    std::size_t place(const void* object) const {
      return hash_word(reinterpret_cast<std::uintptr_t>(object), seed_) & mask_;
    }
    const Slot* slots_;
    std::size_t mask_;
    std::uint64_t seed_;
  };
  View view() const { return View(slots_.data(), mask_, seed_); }

  // Records an object that find() does not know.
  void insert(const void* object, std::uint32_t entry) {
    put(slots_, mask_, {object, entry});
    if (++size_ * 2 > slots_.size()) rebuild(slots_.size() * 2);
  }

  std::size_t capacity() const { return slots_.size(); }

  void prefetch(const void* object) const { view().prefetch(object); }

 private:
  void put(std::vector<Slot>& slots, std::size_t mask, Slot s) const {
    std::size_t i = hash_word(reinterpret_cast<std::uintptr_t>(s.object), seed_) & mask;
    while (slots[i].object != nullptr) i = (i + 1) & mask;
    slots[i] = s;
  }

  void rebuild(std::size_t capacity) {
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(capacity, Slot{nullptr, 0}));
    mask_ = capacity - 1;
    for (const Slot& s : old) {
      if (s.object != nullptr) put(slots_, mask_, s);
    }
  }

  std::uint64_t seed_;
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

}  // namespace dorvik

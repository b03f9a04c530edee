// Seeded hashing and an open-addressing index over entry numbers.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace dorvik {

// A fresh random seed for every map that holds texts from user data, so that
// crafted inputs cannot force collisions.
std::uint64_t random_seed();

inline std::uint64_t mix(std::uint64_t a, std::uint64_t b) {
  __extension__ using u128 = unsigned __int128;
  const u128 r = static_cast<u128>(a) * b;
  return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

inline constexpr std::uint64_t kHashK0 = 0xa0761d6478bd642full;
inline constexpr std::uint64_t kHashK1 = 0xe7037ed1a0b428dbull;

inline std::uint64_t hash_word(std::uint64_t x, std::uint64_t seed) {
  return mix(x ^ seed ^ kHashK0, kHashK1);
}

inline std::uint64_t load8(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline std::uint64_t load4(const char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// Every byte is read by fixed-size loads, overlapping where the length is not
// a multiple of their size: a copy of a variable length into a word would
// make the word's read wait for the pieces to be stored.
inline std::uint64_t hash_bytes(std::string_view s, std::uint64_t seed) {
  const char* p = s.data();
  const std::size_t len = s.size();
  std::uint64_t h = seed ^ mix(len ^ kHashK0, kHashK1);
  std::uint64_t a = 0, b = 0;
  if (len > 16) {
    std::size_t n = len;
    for (; n > 16; p += 16, n -= 16) h = mix(load8(p) ^ kHashK0 ^ h, load8(p + 8) ^ kHashK1);
    a = load8(p + n - 16);
    b = load8(p + n - 8);
  } else if (len >= 8) {
    a = load8(p);
    b = load8(p + len - 8);
  } else if (len >= 4) {
    a = load4(p);
    b = load4(p + len - 4);
  } else if (len > 0) {
    // With the length, the first, middle and last byte are all of them.
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    a = std::uint64_t{u[0]} | std::uint64_t{u[len / 2]} << 8 | std::uint64_t{u[len - 1]} << 16;
  }
  return mix(a ^ kHashK0 ^ h, b ^ kHashK1 ^ len);
}

// Byte equality, without a library call for the short texts most cells hold.
inline bool same_bytes(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  const std::size_t n = a.size();
  if (n <= 16 && n >= 8) {
    std::uint64_t a0, a1, b0, b1;
    std::memcpy(&a0, a.data(), 8);
    std::memcpy(&b0, b.data(), 8);
    std::memcpy(&a1, a.data() + n - 8, 8);
    std::memcpy(&b1, b.data() + n - 8, 8);
    return a0 == b0 && a1 == b1;
  }
  return std::memcmp(a.data(), b.data(), n) == 0;
}

// Maps hashed keys to entry numbers below 2^32 - 1. The keys live with the
// caller, which answers equality for a candidate entry.
class FlatIndex {
 public:
  explicit FlatIndex(std::size_t expected = 0) { rebuild(capacity_for(expected)); }

  // The entry equal to the key, or `next` after recording it as new.
  template <class Eq>
  std::pair<std::uint32_t, bool> find_or_insert(std::uint64_t hash, std::uint32_t next, Eq&& eq) {
    const auto tag = static_cast<std::uint32_t>(hash);
    for (std::size_t i = tag & mask_;; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.entry == 0) {
        s = {tag, next + 1};
        if (++size_ * 2 > slots_.size()) grow();
        return {next, true};
      }
      if (s.tag == tag && eq(s.entry - 1)) return {s.entry - 1, false};
    }
  }

  template <class Eq>
  std::optional<std::uint32_t> find(std::uint64_t hash, Eq&& eq) const {
    const auto tag = static_cast<std::uint32_t>(hash);
    for (std::size_t i = tag & mask_;; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.entry == 0) return std::nullopt;
      if (s.tag == tag && eq(s.entry - 1)) return s.entry - 1;
    }
  }

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return slots_.size(); }

  // Starts loading the slot where a search for `hash` begins.
  void prefetch(std::uint64_t hash) const {
    __builtin_prefetch(&slots_[static_cast<std::uint32_t>(hash) & mask_]);
  }

 private:
  struct Slot {
    std::uint32_t tag;    // low bits of the hash; they also place the slot
    std::uint32_t entry;  // entry number + 1; 0 marks an empty slot
  };

  static std::size_t capacity_for(std::size_t n) {
    std::size_t c = 16;
    while (c / 2 < n) c *= 2;  // at most half full
    return c;
  }

  void rebuild(std::size_t capacity) {
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(capacity, Slot{0, 0}));
    mask_ = capacity - 1;
    for (const Slot& s : old) {
      if (s.entry == 0) continue;
      std::size_t i = s.tag & mask_;
      while (slots_[i].entry != 0) i = (i + 1) & mask_;
      slots_[i] = s;
    }
  }

  void grow() { rebuild(slots_.size() * 2); }

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

}  // namespace dorvik

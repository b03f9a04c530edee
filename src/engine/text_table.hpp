// Texts stored back to back in one buffer: one allocation for all of them,
// however many there are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

#include "engine/no_fill.hpp"

namespace dorvik {

// Where each text ends takes 32 bits while the texts fit in them: 64 would
// be a third of the table for 16-byte ids. Past that the table moves to 64
// bits, once. (Tests use 8 bits, to get there.)
template <class Narrow>
class BasicTextTable {
 public:
  void reserve(std::size_t count, std::size_t bytes) {
    if (bytes > kNarrowBytes) widen();
    if (wide_) {
      wide_offsets_.reserve(count + 1);
    } else {
      offsets_.reserve(count + 1);
    }
    bytes_.reserve(bytes);
  }
  void push_back(std::string_view text) {
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    if (bytes_.size() > kNarrowBytes) widen();
    if (wide_) {
      wide_offsets_.push_back(bytes_.size());
    } else {
      offsets_.push_back(static_cast<Narrow>(bytes_.size()));
    }
  }
  // Room for `count` texts of `bytes` bytes in all, each then placed once
  // with set(), in any order and from any thread. Until then the room holds
  // whatever the memory did.
  void resize(std::size_t count, std::size_t bytes) {
    if (bytes > kNarrowBytes) widen();
    if (wide_) {
      wide_offsets_.resize(count + 1);
      wide_offsets_[0] = 0;
    } else {
      offsets_.resize(count + 1);
      offsets_[0] = 0;
    }
    bytes_.resize(bytes);
  }
  // Text i, whose bytes start at `at`: where text i - 1 ends.
  void set(std::size_t i, std::size_t at, std::string_view text) {
    text.copy(bytes_.data() + at, text.size());
    if (wide_) {
      wide_offsets_[i + 1] = at + text.size();
    } else {
      offsets_[i + 1] = static_cast<Narrow>(at + text.size());
    }
  }
  std::string_view operator[](std::size_t i) const {
    const std::size_t from = offset(i);
    return std::string_view(bytes_.data() + from, offset(i + 1) - from);
  }
  std::size_t size() const { return (wide_ ? wide_offsets_.size() : offsets_.size()) - 1; }
  std::size_t bytes() const { return bytes_.size(); }

 private:
  static constexpr std::size_t kNarrowBytes = std::numeric_limits<Narrow>::max();
  std::size_t offset(std::size_t i) const { return wide_ ? wide_offsets_[i] : offsets_[i]; }
  void widen() {
    if (wide_) return;
    wide_offsets_.assign(offsets_.begin(), offsets_.end());
    offsets_ = UnfilledVector<Narrow>();
    wide_ = true;
  }

  UnfilledVector<char> bytes_;
  UnfilledVector<Narrow> offsets_{0};
  UnfilledVector<std::size_t> wide_offsets_;  // instead, once wide_
  bool wide_ = false;
};

using TextTable = BasicTextTable<std::uint32_t>;

}  // namespace dorvik

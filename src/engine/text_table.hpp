// Texts stored back to back in one buffer: one allocation for all of them,
// however many there are.
#pragma once

#include <cstddef>
#include <string_view>

#include "engine/no_fill.hpp"

namespace dorvik {

class TextTable {
 public:
  void reserve(std::size_t count, std::size_t bytes) {
    offsets_.reserve(count + 1);
    bytes_.reserve(bytes);
  }
  void push_back(std::string_view text) {
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    offsets_.push_back(bytes_.size());
  }
  // Room for `count` texts of `bytes` bytes in all, each then placed once
  // with set(), in any order and from any thread. Until then the room holds
  // whatever the memory did.
  void resize(std::size_t count, std::size_t bytes) {
    offsets_.resize(count + 1);
    offsets_[0] = 0;
    bytes_.resize(bytes);
  }
  // Text i, whose bytes start at `at`: where text i - 1 ends.
  void set(std::size_t i, std::size_t at, std::string_view text) {
    text.copy(bytes_.data() + at, text.size());
    offsets_[i + 1] = at + text.size();
  }
  std::string_view operator[](std::size_t i) const {
    return std::string_view(bytes_.data() + offsets_[i], offsets_[i + 1] - offsets_[i]);
  }
  std::size_t size() const { return offsets_.size() - 1; }
  std::size_t bytes() const { return bytes_.size(); }

 private:
  UnfilledVector<char> bytes_;
  UnfilledVector<std::size_t> offsets_{0};
};

}  // namespace dorvik

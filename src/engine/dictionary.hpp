// The two dictionaries of one text column. Entries keep the order in which
// they were added; nothing may rely on it, as with any hash map.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/hash.hpp"
#include "engine/text_table.hpp"

namespace dorvik {

// Forward: every distinct text with its optional code (markers have none).
class ForwardDict {
 public:
  void reserve(std::size_t count, std::size_t bytes);
  // The text must not be present yet.
  void push_back(std::string_view text, std::optional<std::uint64_t> code);
  // The same with the entries' places known ahead (see TextTable::set).
  void resize(std::size_t count, std::size_t bytes);
  void set(std::size_t i, std::size_t at, std::string_view text, std::optional<std::uint64_t> code);

  std::size_t size() const { return codes_.size(); }
  std::string_view text(std::size_t i) const { return texts_[i]; }
  std::optional<std::uint64_t> code(std::size_t i) const;
  std::size_t text_bytes() const { return texts_.bytes(); }

 private:
  TextTable texts_;
  std::vector<std::uint64_t> codes_;
  std::vector<std::uint8_t> coded_;  // bytes, not bits: set() runs in parallel
};

// Reverse: code -> text. Lookups are by index when the codes are exactly
// 0..n-1 in order, as encode makes them, and through a hash index otherwise.
class ReverseDict {
 public:
  void reserve(std::size_t count, std::size_t bytes);
  // The code must not be present yet.
  void push_back(std::uint64_t code, std::string_view text);

  std::size_t size() const { return codes_.size(); }
  std::uint64_t code(std::size_t i) const { return codes_[i]; }
  std::string_view text(std::size_t i) const { return texts_[i]; }
  std::size_t text_bytes() const { return texts_.bytes(); }
  // Whether the codes are exactly 0..size() - 1, each the index of its entry.
  bool dense() const { return dense_; }

  // The entry of `code`, if any.
  std::optional<std::size_t> find(std::uint64_t code) const {
    if (dense_) {
      if (code < codes_.size()) return static_cast<std::size_t>(code);
      return std::nullopt;
    }
    return find_indexed(code);
  }

 private:
  std::optional<std::size_t> find_indexed(std::uint64_t code) const;

  TextTable texts_;
  std::vector<std::uint64_t> codes_;
  bool dense_ = true;             // codes_[i] == i for every entry so far
  std::optional<FlatIndex> index_;  // built once the codes stop being dense
  std::uint64_t seed_ = 0;
};

}  // namespace dorvik

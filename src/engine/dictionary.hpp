// The two dictionaries of one text column. Entries keep the order in which
// they were added; nothing may rely on it, as with any hash map.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/hash.hpp"
#include "engine/text_table.hpp"

namespace dorvik {

// Forward: every distinct text with its optional code (markers have none).
class ForwardDict {
 public:
  // A dictionary is built either entry by entry with these two...
  void reserve(std::size_t count, std::size_t bytes);
  // The text must not be present yet.
  void push_back(std::string_view text, std::optional<std::uint64_t> code);
  // ...or, on a new one, with the three below. resize_numbered() makes room
  // for texts whose codes are 0, 1, 2, ... in entry order, skipping the
  // entries later named to set_uncoded(), as numbering sorted texts makes
  // them: such a dictionary keeps no code per entry. Texts are placed with
  // set_text() (see TextTable::set), in any order and from any thread.
  void resize_numbered(std::size_t count, std::size_t bytes);
  void set_text(std::size_t i, std::size_t at, std::string_view text);
  // The entries without a code, ascending; once, after every set_text().
  void set_uncoded(std::vector<std::size_t> entries);

  std::size_t size() const { return texts_ ? texts_->size() : 0; }
  std::string_view text(std::size_t i) const { return (*texts_)[i]; }
  std::optional<std::uint64_t> code(std::size_t i) const;
  std::size_t text_bytes() const { return texts_->bytes(); }
  // Whether the codes are implied (see resize_numbered), and which entries
  // have none then.
  bool numbered() const { return numbered_; }
  const std::vector<std::size_t>& uncoded() const { return uncoded_; }
  // The texts, which a reverse dictionary may share (see ReverseDict::of).
  std::shared_ptr<const TextTable> texts() const { return texts_; }

 private:
  // Copies of a dictionary share the texts until one of them changes.
  TextTable& own_texts();

  std::shared_ptr<TextTable> texts_ = std::make_shared<TextTable>();
  std::vector<std::uint64_t> codes_;
  std::vector<std::uint8_t> coded_;  // unless numbered_, like codes_
  bool numbered_ = false;
  std::vector<std::size_t> uncoded_;  // while numbered_
};

// Reverse: code -> text. Lookups are by index when the codes are exactly
// 0..n-1 in order, as encode makes them, and through a hash index otherwise.
class ReverseDict {
 public:
  // The reverse of `forward` without a copy of its texts, where its coded
  // entries have the codes 0, 1, 2, ... in entry order and at most a few
  // have none (the markers), as encode makes them; nothing otherwise.
  static std::optional<ReverseDict> of(const ForwardDict& forward);

  void reserve(std::size_t count, std::size_t bytes);
  // The code must not be present yet.
  void push_back(std::uint64_t code, std::string_view text);

  std::size_t size() const { return shared_ ? count_ : codes_.size(); }
  std::uint64_t code(std::size_t i) const { return shared_ ? i : codes_[i]; }
  std::string_view text(std::size_t i) const { return shared_ ? (*shared_)[shared_entry(i)] : texts_[i]; }
  std::size_t text_bytes() const { return shared_ ? bytes_ : texts_.bytes(); }
  // Whether the codes are exactly 0..size() - 1, each the index of its entry.
  bool dense() const { return dense_; }

  // The entry of `code`, if any.
  std::optional<std::size_t> find(std::uint64_t code) const {
    if (dense_) {
      if (code < size()) return static_cast<std::size_t>(code);
      return std::nullopt;
    }
    return find_indexed(code);
  }

 private:
  std::optional<std::size_t> find_indexed(std::uint64_t code) const;
  // A shared table is copied before the dictionary changes.
  void own_texts();
  // The shared table's entry of code i: uncoded entries before it are skipped.
  std::size_t shared_entry(std::size_t i) const {
    for (std::size_t s : skipped_) {
      if (s > i) break;
      ++i;
    }
    return i;
  }

  // Either a forward dictionary's texts, shared...
  std::shared_ptr<const TextTable> shared_;
  std::vector<std::size_t> skipped_;  // its uncoded entries, ascending
  std::size_t count_ = 0;
  std::size_t bytes_ = 0;
  // ...or texts and codes of its own.

  TextTable texts_;
  std::vector<std::uint64_t> codes_;
  bool dense_ = true;             // codes_[i] == i for every entry so far
  std::optional<FlatIndex> index_;  // built once the codes stop being dense
  std::uint64_t seed_ = 0;
};

}  // namespace dorvik

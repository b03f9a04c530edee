// Finding a column's earlier entry of the same text while its cells are read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/hash.hpp"

namespace dorvik {

// Maps keys (bytes of a kind: the kind tells how they encode the text) to
// entry numbers. Each slot points straight at its key's record, which holds
// the key's size, kind, entry and bytes together: a hit reads the slot and
// one record, where a slot naming the entry would need the entry's record
// found first, one cache miss after another.
class ContentIndex {
 public:
  ContentIndex() { rebuild(16); }

  // The entry of the key equal to `key` of `kind`, or `next` after recording
  // it as new (unless full()). `hash` is the key's, kind included.
  std::pair<std::uint32_t, bool> find_or_insert(std::uint64_t hash, std::string_view key, unsigned kind,
                                                std::uint32_t next) {
    const View index = view();
    Slot& s = slots_[index.probe(hash, key, kind)];
    if (s.record != 0) return {index.entry_at(s), false};
    const std::uint32_t record = add_record(key, head_of(key, kind), next);
    if (record == 0) return {next, true};
    s = {static_cast<std::uint32_t>(hash), record};
    if (++size_ * 2 > slots_.size()) rebuild(slots_.size() * 2);
    return {next, true};
  }

  // Whether a key could not be recorded: the records' words have outgrown
  // what a slot can point to. Lookups stay correct, but miss new keys.
  bool full() const { return full_; }
  std::size_t capacity() const { return slots_.size(); }

  void prefetch(std::uint64_t hash) const { view().prefetch(hash); }
  void prefetch_record(std::uint64_t hash) const { view().prefetch_record(hash); }

 private:
  struct Slot {
    std::uint32_t tag;     // low bits of the hash; they also place the slot
    std::uint32_t record;  // the record's first word + 1; 0 marks an empty slot
  };

 public:
  // The index as it stands, for lookups with no insert between them: kept
  // in locals, it is not read again for each one.
  class View {
   public:
    // The entry of the key equal to `key` of `kind`, if it has been
    // recorded.
    std::optional<std::uint32_t> find(std::uint64_t hash, std::string_view key, unsigned kind) const {
      const Slot& s = slots_[probe(hash, key, kind)];
      if (s.record == 0) return std::nullopt;
      return entry_at(s);
    }
    // Starts loading the slot where a search for `hash` begins.
    void prefetch(std::uint64_t hash) const { __builtin_prefetch(&slots_[static_cast<std::uint32_t>(hash) & mask_]); }
    // Starts loading the record that slot points to, if its tag matches:
    // once the slot has arrived, the one other place a hit reads.
    void prefetch_record(std::uint64_t hash) const {
      const auto tag = static_cast<std::uint32_t>(hash);
      const Slot& s = slots_[tag & mask_];
      if (s.record != 0 && s.tag == tag) __builtin_prefetch(words_ + (s.record - 1));
    }

   private:
    friend class ContentIndex;
    View(const Slot* slots, std::size_t mask, const std::uint64_t* words) : slots_(slots), mask_(mask), words_(words) {}
    // The slot of the key's record, or the empty slot where it would go.
    std::size_t probe(std::uint64_t hash, std::string_view key, unsigned kind) const {
      const auto tag = static_cast<std::uint32_t>(hash);
      const std::uint64_t head = head_of(key, kind);
      for (std::size_t i = tag & mask_;; i = (i + 1) & mask_) {
        const Slot& s = slots_[i];
        if (s.record == 0) return i;
        if (s.tag != tag) continue;
        const std::uint64_t* r = words_ + (s.record - 1);
        if (r[0] == head && same_bytes({reinterpret_cast<const char*>(r + 2), key.size()}, key)) return i;
      }
    }
    // The entry that a slot's record holds, after its head.
    std::uint32_t entry_at(const Slot& s) const { return static_cast<std::uint32_t>(words_[s.record]); }
    const Slot* slots_;
    std::size_t mask_;
    const std::uint64_t* words_;
  };
  View view() const { return View(slots_.data(), mask_, words_.data()); }

 private:
  // The record's first word: size and kind, compared in one go.
  static std::uint64_t head_of(std::string_view key, unsigned kind) {
    return static_cast<std::uint64_t>(key.size()) << 8 | kind;
  }

  // Appends the record [head, entry, bytes padded to a word] and returns
  // what a slot holds to point to it; 0 if it cannot.
  // Kept out of line, as is rebuild(): lookups, which mostly hit, stay small
  // enough to inline.
  [[gnu::noinline]] std::uint32_t add_record(std::string_view key, std::uint64_t head, std::uint32_t entry) {
    const std::size_t at = words_.size();
    if (at + 1 >= UINT32_MAX) {
      full_ = true;
      return 0;
    }
    words_.resize(at + 2 + (key.size() + 7) / 8);
    words_[at] = head;
    words_[at + 1] = entry;
    if (!key.empty()) std::memcpy(words_.data() + at + 2, key.data(), key.size());
    return static_cast<std::uint32_t>(at + 1);
  }

  [[gnu::noinline]] void rebuild(std::size_t capacity) {
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(capacity, Slot{0, 0}));
    mask_ = capacity - 1;
    for (const Slot& s : old) {
      if (s.record == 0) continue;
      std::size_t i = s.tag & mask_;
      while (slots_[i].record != 0) i = (i + 1) & mask_;
      slots_[i] = s;
    }
  }

  std::vector<Slot> slots_;
  std::vector<std::uint64_t> words_;  // the records, back to back
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
  bool full_ = false;
};

}  // namespace dorvik

// Collecting one text column's entries from its cells, for the engine.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bind/ref.hpp"
#include "convert/cell_text.hpp"
#include "convert/content_index.hpp"
#include "convert/object_index.hpp"
#include "engine/columns.hpp"
#include "engine/hash.hpp"
#include "engine/no_fill.hpp"
#include "engine/text_sort.hpp"

namespace dorvik {

// Thrown where a read that may not run Python code meets a cell whose
// conversion could; nothing observable has happened before it.
struct NeedsPython {};

// Builtin objects whose float conversion and str() run no Python code and
// give the same text on every call.
bool is_inert(PyObject* o);

// How many cells ahead their objects are prefetched: the cells of a column
// lie scattered in memory, and waiting for each in turn dominates reading.
// Lookups by content load two more lines a cell, ahead by a half and a
// quarter of this: at 8 the last of them came too late.
inline constexpr std::size_t kCellsAhead = 16;

// Starts loading a cell's object: its header and, on the next line where the
// object crosses one, a str's length, kind and first bytes. A str of 16
// ASCII bytes takes 57, and starts 16 bytes before a line ends.
[[gnu::always_inline]] inline void prefetch_str(const PyObject* o) {
  __builtin_prefetch(o);
  __builtin_prefetch(reinterpret_cast<const char*>(o) + 48);
}

// Room for the decimal text of any 64-bit integer.
inline constexpr std::size_t kIntTextMax = 24;

// The str() of a cell that needs no interpreter to make it: of None, True,
// False, NaN and infinite floats, and of ints that fit a machine word (written
// into `buf`); nothing for any other object, str included.
std::optional<std::string_view> plain_text(PyObject* o, char (&buf)[kIntTextMax]);

// The float value (as PyFloat_AsDouble gives it) of a float, a bool or an int
// that fits a machine word; nothing for any other object.
std::optional<double> plain_value(PyObject* o);

// A cell as the reader holds it: borrowed from an array while no Python code
// can run, owned otherwise.
struct Cell {
  PyObject* obj;
  Ref owned;

  // Called before Python code runs on the cell's behalf: that code could
  // drop the array's reference to it.
  void hold() {
    if (!owned) owned = Ref::incref(obj);
  }
};

// What reading leaves for the engine, alive until the call ends.
struct CellTexts {
  TextArena arena;
  std::vector<Ref> keep_alive;  // objects whose bytes are viewed or identity cached
  std::vector<PendingColumn> columns;
  std::vector<ColumnResult> encoded;  // columns encoded already, where they were read
  bool python_allowed = true;  // false: give up at the first non-inert cell
  // False where the arrays read hold every cell until the call ends and no
  // Python code runs before then: nothing needs a reference of its own.
  bool hold_objects = true;
};

// Collects the entries of a run of a text column's rows. Three shortcuts
// keep that cheap, each dropped once a sample shows it does not pay, and none
// changes a result: repeats of one object are found by address; equal texts
// of different objects by content, so that the engine sees each text about
// once; and where most texts are distinct, entries are just appended for the
// engine to sort.
class TextColumnBuilder {
 public:
  // `column_rows` is the whole column's length, which the shortcuts are
  // judged by; the entry of each row added goes to the next of the cells
  // `step` apart from `cells` on (see put_entry).
  TextColumnBuilder(CellTexts& store, std::size_t column_rows, double* cells, std::size_t step)
      : store_(store), nrows_(column_rows), cells_(cells), step_(step), seed_(random_seed()) {}

  // Once every further row is sure to add an entry (both shortcuts are
  // dropped), room is made for `entries` in all, at once rather than by
  // doubling: the rows left, or more where the caller appends other entries
  // after these.
  void reserve_when_distinct(std::size_t entries) { distinct_room_ = entries; }
  // From then on, each entry's prefix for the engine's sort is taken as it
  // is added, while its text is at hand (see TextColumn::prefixes).
  void keep_prefixes_when_distinct() { prefixes_wanted_ = true; }

  void add_number(double x);
  void add_cell(Cell& cell);
  // A cell that is_inert(); runs Python code only for one that is neither a
  // str nor has a plain_text().
  void add_inert(PyObject* o);
  // add_inert() in two steps, for a caller that checks the object only
  // when it must: an object seen before in this column (which the column
  // still holds, so that no other has its address) is known to be inert,
  // and found by its address alone, without reading it.
  [[gnu::always_inline]] bool add_if_seen(const PyObject* o) {
    // Early rows repeat few texts of a column with many; only misses that
    // repeat a known text show that its equal texts are separate objects.
    if (by_object_on_ && ++object_probes_ == kObjectTrial && object_hits_ * 4 < content_hits_) {
      drop_object_cache();
    }
    if (by_object_on_) {
      if (const auto hit = by_object_.find(o)) {
        ++object_hits_;
        add_row(*hit);
        return true;
      }
    }
    return false;
  }
  // add_if_seen() for the cells of rows [r, to) of `column`, for as long as
  // each is an object seen before; returns the first row it did not add.
  // The index and the place of the next entry stay in locals for the run,
  // where each add_if_seen() reads them from the builder again after the
  // store of its entry. It stops short of the row that ends the object
  // cache's trial, which add_if_seen() then takes. With kAhead, for an
  // index too big for the nearest caches, the slot of the cell kAhead rows
  // on (below n) is fetched as each cell is looked up.
  template <std::size_t kAhead, class Column>
  std::size_t add_seen_run(const Column& column, std::size_t r, std::size_t to, std::size_t n) {
    if (!by_object_on_) return r;
    if (object_probes_ < kObjectTrial) to = std::min(to, r + (kObjectTrial - 1 - object_probes_));
    const ObjectIndex::View index = by_object_.view();
    const std::size_t from = r;
    double* cells = cells_;
    const std::size_t step = step_;
    for (; r < to; ++r) {
      if (kAhead != 0 && r + kAhead < n) index.prefetch(column.at(r + kAhead));
      const auto hit = index.find(column.at(r));
      if (!hit) break;
      put_entry(cells, *hit);
      cells += step;
    }
    const std::size_t added = r - from;
    end_run(added, cells);
    object_probes_ += added;
    object_hits_ += added;
    return r;
  }
  void add_unseen(PyObject* o);
  // Whether repeats are now found by content alone, every cache trial
  // over: the steady state of a column whose cells are strs of their own.
  // It lasts until the content index is dropped.
  bool by_content_alone() const { return !by_object_on_ && by_content_on_ && content_probes_ >= kContentTrial; }
  // In that state, add_unseen() for the cells of rows [r, to) of `column`,
  // for as long as each is an exact str whose text was seen before; returns
  // the first row it did not add. As in add_seen_run(), the index and the
  // place of the next entry stay in locals, and what the cell-by-cell loop
  // fetches ahead through calls is fetched here inline: each cell's object
  // kCellsAhead rows on; with kSlots, the slot of the cell kSlots rows on,
  // its hash kept for the lookup; with kRecords, the key the slot of the
  // cell kRecords on points to. Fetches stop at row n.
  template <std::size_t kSlots, std::size_t kRecords, class Column>
  std::size_t add_str_run(const Column& column, std::size_t r, std::size_t to, std::size_t n) {
    static_assert(kSlots < kHashesKept && kRecords <= kSlots);
    if (!by_content_alone()) return r;
    const ContentIndex::View index = by_content_.view();
    const std::size_t from = r;
    std::size_t row = rows_;
    double* cells = cells_;
    const std::size_t step = step_;
    for (; r < to; ++r, ++row) {
      if (r + kCellsAhead < n) prefetch_str(column.at(r + kCellsAhead));
      if (kSlots != 0 && r + kSlots < n) {
        PyObject* ahead = column.at(r + kSlots);
        if (PyUnicode_CheckExact(ahead)) {
          const auto [key, kind] = str_key(ahead);
          const std::uint64_t hash = key_hash(key, kind);
          kept_[(row + kSlots) % kHashesKept] = {ahead, hash};
          index.prefetch(hash);
        }
      }
      if (kRecords != 0 && r + kRecords < n) {
        PyObject* ahead = column.at(r + kRecords);
        const KeptHash& k = kept_[(row + kRecords) % kHashesKept];
        if (k.str == ahead) index.prefetch_record(k.hash);
      }
      PyObject* o = column.at(r);
      if (!PyUnicode_CheckExact(o)) break;
      const auto [key, kind] = str_key(o);
      const KeptHash& k = kept_[row % kHashesKept];
      const auto entry = index.find(kSlots != 0 && k.str == o ? k.hash : key_hash(key, kind), key, kind);
      if (!entry) break;
      put_entry(cells, *entry);
      cells += step;
    }
    const std::size_t added = r - from;
    end_run(added, cells);
    content_probes_ += added;
    content_hits_ += added;
    return r;
  }
  // Whether every further row adds an entry of its own: both lookups are
  // dropped, for good.
  bool appends() const { return !by_object_on_ && !by_content_on_; }
  // In that state, add_unseen() for an exact ASCII str whose bytes the
  // entry may view where they lie, kept inline for the hot loop: false, with
  // nothing added, for any other cell, which add_unseen() then takes.
  [[gnu::always_inline]] bool append_str(PyObject* o) {
    if (store_.hold_objects || !PyUnicode_CheckExact(o) || !PyUnicode_IS_ASCII(o)) return false;
    add_entry(ascii_bytes(o));
    return true;
  }
  // Whether the cells' lookups go to an index too big for the nearest
  // caches, so that prefetch() pays. It can change as cells are added.
  bool lookups_far() const;
  // Starts loading the slot that adding `o`, `ahead` cells later, looks
  // up: by its address, or by its text, which this reads and hashes once for
  // the lookup too. For a cell whose object is on its way to the cache
  // already; `ahead` is below kHashesKept.
  void prefetch(PyObject* o, std::size_t ahead);
  // Whether most cells are read beyond their address and type: once
  // repeats of one object are no longer looked up, every str's text is.
  bool reads_contents() const { return !by_object_on_; }
  // Whether the content index is bigger still, so that prefetch_record()
  // pays too.
  bool keys_far() const;
  // Then, once that slot is likely in, starts loading the key it points to.
  void prefetch_record(PyObject* o, std::size_t ahead);
  static constexpr std::size_t kHashesKept = 16;
  // A text whose bytes outlive the call (held by the caller), with no
  // object of its own.
  void add_text(std::string_view text);

  // Whether the rows added so far each named a new entry, the r-th row
  // entry r (see TextColumn::entries_are_rows).
  bool rows_in_order() const { return rows_in_order_; }
  std::vector<std::string_view> finish() { return std::move(texts_); }
  // The prefixes of every entry, if they were kept; else none.
  UnfilledVector<std::uint64_t> finish_prefixes() {
    if (!keeping_prefixes_) return {};
    return std::move(prefixes_);
  }

 private:
  void drop_object_cache();
  void drop_content_cache();
  void reserve_if_distinct();
  void judge_content_cache();
  bool mostly_distinct(std::size_t lookups, std::size_t repeats) const;
  static constexpr unsigned kUtf8 = 0;
  static constexpr std::size_t kObjectTrial = 4096;
  static constexpr std::size_t kContentTrial = 16384;
  template <class Keep>
  std::uint32_t entry_of(std::string_view key, unsigned kind, std::uint64_t hash, Keep&& keep);
  std::uint64_t key_hash(std::string_view key, unsigned kind) const { return hash_bytes(key, seed_ + kind); }
  // The content hash of exact str `o`, added `ahead` cells from now: kept
  // from its prefetch, or worked out.
  std::uint64_t str_hash(PyObject* o, std::string_view key, unsigned kind, std::size_t ahead) {
    // A kept hash is the hash of its str's key whatever row it was kept for:
    // only the object has to match.
    const KeptHash& k = kept_[(rows_ + ahead) % kHashesKept];
    return k.str == o ? k.hash : key_hash(key, kind);
  }
  std::uint32_t entry_by_content(PyObject* o);
  // The key of an exact str in the content index: its UTF-8 where it is
  // ASCII, else its code units with their width as the kind. Lookups and
  // their prefetches must agree on it.
  static std::pair<std::string_view, unsigned> str_key(PyObject* str) {
    const std::string_view units(static_cast<const char*>(PyUnicode_DATA(str)),
                                 static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)) * PyUnicode_KIND(str));
    return {units, PyUnicode_IS_ASCII(str) ? kUtf8 : static_cast<unsigned>(PyUnicode_KIND(str))};
  }
  std::string_view raw_text(PyObject* o);
  std::string_view str_copy(PyObject* cell);
  // After a run of `added` rows, each a repeat: it names the entry of a row
  // before it, not one of its own.
  void end_run(std::size_t added, double* cells) {
    if (added > 0) rows_in_order_ = false;
    rows_ += added;
    cells_ = cells;
  }
  void add_row(std::uint32_t entry) {
    rows_in_order_ = rows_in_order_ && entry == rows_;
    ++rows_;
    put_entry(cells_, entry);
    cells_ += step_;
  }
  std::uint32_t add_entry(std::string_view text) {
    const auto entry = static_cast<std::uint32_t>(texts_.size());
    add_row(entry);
    texts_.push_back(text);
    if (keeping_prefixes_) prefixes_.push_back(prefix_at(text, 0));
    return entry;
  }

  CellTexts& store_;
  const std::size_t nrows_;
  double* cells_;
  const std::size_t step_;
  std::size_t rows_ = 0;
  bool rows_in_order_ = true;
  std::vector<std::string_view> texts_;
  std::size_t distinct_room_ = 0;
  bool prefixes_wanted_ = false;
  bool keeping_prefixes_ = false;
  UnfilledVector<std::uint64_t> prefixes_;
  std::string scratch_;  // texts encoded only to be looked up
  ObjectIndex by_object_;
  ContentIndex by_content_;
  // The content hashes of the strs prefetched, by their row modulo
  // kHashesKept: each is worked out once, where its slot is prefetched.
  struct KeptHash {
    const PyObject* str = nullptr;
    std::uint64_t hash = 0;
  };
  KeptHash kept_[kHashesKept];
  std::uint64_t seed_;
  std::size_t object_probes_ = 0;
  std::size_t object_hits_ = 0;
  std::size_t content_probes_ = 0;
  std::size_t content_added_ = 0;
  std::size_t content_hits_ = 0;
  bool by_object_on_ = true;
  bool by_content_on_ = true;
};

}  // namespace dorvik

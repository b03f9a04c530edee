#include "convert/text_builder.hpp"

#include <charconv>
#include <cmath>
#include <optional>

#include "bind/errors.hpp"
#include "engine/number_text.hpp"

namespace dorvik {

bool is_inert(PyObject* o) {
  return PyUnicode_CheckExact(o) || PyFloat_CheckExact(o) || PyLong_CheckExact(o) ||
         PyBool_Check(o) || o == Py_None;
}

namespace {

bool is_small_int(PyObject* o) {
  return PyLong_CheckExact(o) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o));
}

}  // namespace

std::optional<std::string_view> plain_text(PyObject* o, char (&buf)[kIntTextMax]) {
  if (o == Py_None) return "None";
  if (o == Py_True) return "True";
  if (o == Py_False) return "False";
  if (PyFloat_CheckExact(o)) {
    const double v = PyFloat_AS_DOUBLE(o);
    if (std::isnan(v)) return "nan";  // whatever its sign
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  }
  if (is_small_int(o)) {
    const Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
    const auto done = std::to_chars(buf, buf + kIntTextMax, v);
    return std::string_view(buf, static_cast<std::size_t>(done.ptr - buf));
  }
  return std::nullopt;
}

std::optional<double> plain_value(PyObject* o) {
  if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
  if (PyBool_Check(o)) return o == Py_True ? 1.0 : 0.0;
  // What PyLong_AsDouble gives for an int of one digit group.
  if (is_small_int(o)) return static_cast<double>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o)));
  return std::nullopt;
}

namespace {

// From this many slots (128 KiB of content slots) on, prefetching them pays;
// smaller ones measured slower with it.
constexpr std::size_t kFarSlots = std::size_t{1} << 14;
// From this many (1 MiB of slots, some 64Ki keys) on, prefetching the keys
// too pays for hashing each text a third time; at 32Ki slots it did not.
constexpr std::size_t kFarRecords = std::size_t{1} << 17;

}  // namespace

void TextColumnBuilder::add_number(double x) {
  char buf[kNumberTextMax];
  add_entry(store_.arena.copy({buf, number_text(x, buf)}));
}

void TextColumnBuilder::add_cell(Cell& cell) {
  PyObject* o = cell.obj;
  if (!is_inert(o)) {
    if (!store_.python_allowed) throw NeedsPython{};
    cell.hold();
    add_entry(str_copy(o));
    return;
  }
  add_inert(o);
}

void TextColumnBuilder::add_inert(PyObject* o) {
  if (!add_if_seen(o)) add_unseen(o);
}

void TextColumnBuilder::add_unseen(PyObject* o) {
  judge_content_cache();
  const std::uint32_t entry = by_content_on_ ? entry_by_content(o) : add_entry(raw_text(o));
  if (by_object_on_) {
    // The reference keeps the address from being reused by another object.
    if (store_.hold_objects) store_.keep_alive.push_back(Ref::incref(o));
    by_object_.insert(o, entry);
  }
}

void TextColumnBuilder::add_text(std::string_view text) {
  judge_content_cache();
  if (by_content_on_) {
    entry_of(text, kUtf8, key_hash(text, kUtf8), [](std::string_view t) { return t; });
  } else {
    add_entry(text);
  }
}

void TextColumnBuilder::drop_object_cache() {
  by_object_on_ = false;
  by_object_ = ObjectIndex();
  reserve_if_distinct();
}

void TextColumnBuilder::drop_content_cache() {
  by_content_on_ = false;
  by_content_ = ContentIndex();
  reserve_if_distinct();
}

void TextColumnBuilder::reserve_if_distinct() {
  if (by_object_on_ || by_content_on_) return;
  texts_.reserve(distinct_room_);
  if (prefixes_wanted_) {
    keeping_prefixes_ = true;
    prefixes_.reserve(distinct_room_);
    for (std::string_view t : texts_) prefixes_.push_back(prefix_at(t, 0));
  }
}

void TextColumnBuilder::judge_content_cache() {
  if (!by_content_on_ || ++content_probes_ != kContentTrial) return;
  // With K equally common keys, n lookups repeat about n^2 / 2K of them: few
  // repeats mean K is near the row count, and a cache finds little. The
  // content cache sees only the cells the object cache missed, so it is
  // judged by the texts those repeat; each cache by its own repeats.
  if (mostly_distinct(kContentTrial, kContentTrial - content_added_)) drop_content_cache();
  // A cache of mostly distinct objects would grow as large as the column.
  if (by_object_on_ && mostly_distinct(object_probes_, object_hits_)) drop_object_cache();
}

bool TextColumnBuilder::mostly_distinct(std::size_t lookups, std::size_t repeats) const {
  return lookups * lookups >= nrows_ * repeats;
}

// The entry of `key`, of kind kUtf8 (the text's UTF-8) or a str's kind
// (its code units): an earlier one with the same kind and bytes, or a new one
// whose text `keep(key)` gives, lasting until the call ends. The index keeps
// a copy of the key.
template <class Keep>
std::uint32_t TextColumnBuilder::entry_of(std::string_view key, unsigned kind, std::uint64_t hash, Keep&& keep) {
  const auto next = static_cast<std::uint32_t>(texts_.size());
  const auto [entry, added] = by_content_.find_or_insert(hash, key, kind, next);
  if (!added) {
    ++content_hits_;
    add_row(entry);
    return entry;
  }
  ++content_added_;
  add_entry(keep(key));
  if (by_content_.full()) drop_content_cache();
  return next;
}

// The entry of the cell's text: an earlier one with the same bytes, or new.
std::uint32_t TextColumnBuilder::entry_by_content(PyObject* o) {
  if (PyUnicode_CheckExact(o)) {
    const auto [key, kind] = str_key(o);
    const std::uint64_t hash = str_hash(o, key, kind, 0);
    if (kind == kUtf8) {
      return entry_of(key, kUtf8, hash, [&](std::string_view t) {
        if (store_.hold_objects) store_.keep_alive.push_back(Ref::incref(o));  // viewed in place
        return t;
      });
    }
    // Looked up by its code units, which equal strs share: only a text not
    // seen yet is encoded to UTF-8. (Strs whose units differ but whose UTF-8
    // agrees, lone surrogates, get entries of their own that the engine
    // merges.)
    return entry_of(key, kind, hash, [&](std::string_view) { return str_utf8(o, store_.arena); });
  }
  char buf[kIntTextMax];
  auto copy = [&](std::string_view t) { return store_.arena.copy(t); };
  if (auto text = plain_text(o, buf)) return entry_of(*text, kUtf8, key_hash(*text, kUtf8), copy);
  Ref str = Ref::steal(PyObject_Str(o));
  if (!str) panic_with_error("cant convert to str");
  const std::string_view text = str_utf8(str.get(), scratch_);
  return entry_of(text, kUtf8, key_hash(text, kUtf8), copy);
}

bool TextColumnBuilder::keys_far() const {
  return !by_object_on_ && by_content_on_ && by_content_.capacity() >= kFarRecords;
}

bool TextColumnBuilder::lookups_far() const {
  // A small index stays in cache: its probes need no help, and hashing a
  // text twice would cost more than they wait.
  if (by_object_on_) return by_object_.capacity() >= kFarSlots;
  return by_content_on_ && by_content_.capacity() >= kFarSlots;
}

void TextColumnBuilder::prefetch(PyObject* o, std::size_t ahead) {
  if (by_object_on_) {
    by_object_.prefetch(o);
  } else if (by_content_on_ && PyUnicode_CheckExact(o)) {
    const auto [key, kind] = str_key(o);
    const std::uint64_t hash = key_hash(key, kind);
    kept_[(rows_ + ahead) % kHashesKept] = {o, hash};
    by_content_.prefetch(hash);
  }
}

void TextColumnBuilder::prefetch_record(PyObject* o, std::size_t ahead) {
  if (!by_object_on_ && by_content_on_ && PyUnicode_CheckExact(o)) {
    const auto [key, kind] = str_key(o);
    by_content_.prefetch_record(str_hash(o, key, kind, ahead));
  }
}

std::string_view TextColumnBuilder::raw_text(PyObject* o) {
  char buf[kIntTextMax];
  if (auto text = plain_text(o, buf)) return store_.arena.copy(*text);
  if (!PyUnicode_CheckExact(o)) return str_copy(o);
  return store_.hold_objects ? str_utf8_copy(o, store_.arena) : str_utf8(o, store_.arena);
}

std::string_view TextColumnBuilder::str_copy(PyObject* cell) {
  Ref text = Ref::steal(PyObject_Str(cell));
  if (!text) panic_with_error("cant convert to str");
  return str_utf8_copy(text.get(), store_.arena);
}

}  // namespace dorvik

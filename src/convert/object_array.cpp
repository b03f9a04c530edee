// Encoding a table read cell by cell. Phase 1 reads every cell on the
// calling thread; phase 2 (the engine) encodes the text columns on the pool;
// phase 3 assembles the fit.
#include "convert/object_array.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <optional>

#include <oneapi/tbb/parallel_for.h>

#include "bind/errors.hpp"
#include "bind/numpy.hpp"
#include "bind/text.hpp"
#include "convert/cell_text.hpp"
#include "convert/numeric_array.hpp"
#include "engine/columns.hpp"
#include "engine/hash.hpp"
#include "engine/number_text.hpp"
#include "engine/pool.hpp"

namespace dorvik {

namespace {

// Thrown where a read of column arrays meets a cell whose conversion could
// run Python code; nothing observable has happened before it.
struct NeedsPython {};

// Builtin objects whose float conversion and str() run no Python code and
// give the same text on every call.
bool is_inert(PyObject* o) {
  return PyUnicode_CheckExact(o) || PyFloat_CheckExact(o) || PyLong_CheckExact(o) ||
         PyBool_Check(o) || o == Py_None;
}

// A cell as phase 1 holds it: borrowed from an array while no Python code can
// run, owned otherwise.
struct Cell {
  PyObject* obj;
  Ref owned;

  // Called before Python code runs on the cell's behalf: that code could
  // drop the array's reference to it.
  void hold() {
    if (!owned) owned = Ref::incref(obj);
  }
};

// Any source: the cell is source[(row, col)].
class ItemSource {
 public:
  explicit ItemSource(PyObject* source) : source_(source) {}

  Cell get(std::size_t r, std::size_t c) const {
    Ref key = check(PyTuple_New(2));
    PyTuple_SET_ITEM(key.get(), 0, check(PyLong_FromSize_t(r)).release());
    PyTuple_SET_ITEM(key.get(), 1, check(PyLong_FromSize_t(c)).release());
    Ref cell = Ref::steal(PyObject_GetItem(source_, key.get()));
    if (!cell) panic_with_error(kUnwrapFailed);
    PyObject* obj = cell.get();
    return {obj, std::move(cell)};
  }

  void prefetch(std::size_t, std::size_t) const {}

 private:
  PyObject* source_;
};

// An object ndarray (2-D, or 1-D for one column) read in place: the very
// objects that item access returns.
class ObjectArraySource {
 public:
  explicit ObjectArraySource(PyObject* array)
      : arr_(reinterpret_cast<PyArrayObject*>(array)), items_(array) {}

  Cell get(std::size_t r, std::size_t c) const {
    if (const char* p = address(r, c)) {
      PyObject* cell;
      std::memcpy(&cell, p, sizeof cell);
      return {cell != nullptr ? cell : Py_None, Ref()};  // NumPy reads NULL as None
    }
    return items_.get(r, c);
  }

  // Starts loading the object of a cell to come: the cells of a column lie
  // scattered in memory, and waiting for each in turn dominates the reading.
  void prefetch(std::size_t r, std::size_t c) const {
    if (const char* p = address(r, c)) {
      PyObject* cell;
      std::memcpy(&cell, p, sizeof cell);
      __builtin_prefetch(cell);
    }
  }

 private:
  // Where the cell's pointer lies, or NULL. The layout is read afresh every
  // time: Python code run for an earlier cell may have reshaped the array.
  // Anything unusual goes the slow way, which raises as item access would.
  const char* address(std::size_t r, std::size_t c) const {
    const int nd = PyArray_NDIM(arr_);
    const npy_intp* dims = PyArray_DIMS(arr_);
    if (PyArray_TYPE(arr_) != NPY_OBJECT || r >= static_cast<std::size_t>(dims[0])) return nullptr;
    if (nd == 2 && c < static_cast<std::size_t>(dims[1])) {
      return static_cast<const char*>(PyArray_DATA(arr_)) + static_cast<npy_intp>(r) * PyArray_STRIDES(arr_)[0] +
             static_cast<npy_intp>(c) * PyArray_STRIDES(arr_)[1];
    }
    if (nd == 1 && c == 0) {
      return static_cast<const char*>(PyArray_DATA(arr_)) + static_cast<npy_intp>(r) * PyArray_STRIDES(arr_)[0];
    }
    return nullptr;
  }

  PyArrayObject* arr_;
  ItemSource items_;
};

// One column's own 1-D object array, addressed as its column of the table.
class ColumnSource {
 public:
  explicit ColumnSource(PyObject* array) : cells_(array) {}
  Cell get(std::size_t r, std::size_t) const { return cells_.get(r, 0); }
  void prefetch(std::size_t r, std::size_t) const { cells_.prefetch(r, 0); }

 private:
  ObjectArraySource cells_;
};

// Exact ndarrays and memmaps; subclasses may index differently.
bool reads_like_ndarray(PyObject* obj) {
  if (PyArray_CheckExact(obj)) return true;
  return PyArray_Check(obj) && type_name(obj) == "memmap";
}

// What phase 1 leaves for phase 2, alive until the call ends.
struct CellTexts {
  TextArena arena;
  std::vector<Ref> keep_alive;  // objects whose bytes are viewed or identity cached
  std::vector<PendingColumn> columns;
  bool python_allowed = true;  // false: give up at the first non-inert cell
};

// Collects one text column's entries. Three shortcuts keep that cheap, each
// dropped once a sample shows it does not pay, and none changes a result:
// repeats of one object are found by address; equal texts of different
// objects by content, so that phase 2 sees each text about once; and where
// most texts are distinct, entries are just appended for phase 2 to sort.
class TextColumnBuilder {
 public:
  TextColumnBuilder(CellTexts& store, std::size_t nrows)
      : store_(store), nrows_(nrows), seed_(random_seed()) {
    column_.rows.reserve(nrows);
  }

  void add_number(double x) {
    char buf[kNumberTextMax];
    add_entry(store_.arena.copy({buf, number_text(x, buf)}));
  }

  void add_cell(Cell& cell) {
    PyObject* o = cell.obj;
    if (!is_inert(o)) {
      if (!store_.python_allowed) throw NeedsPython{};
      cell.hold();
      add_entry(str_copy(o));
      return;
    }
    // Early rows repeat few texts of a column with many; only misses that
    // repeat a known text show that its equal texts are separate objects.
    if (by_object_on_ && ++object_probes_ == kObjectTrial && object_hits_ * 4 < content_hits_) {
      drop_object_cache();
    }
    if (by_object_on_) {
      auto hit = by_object_.find(hash_word(address(o), seed_),
                                 [&](std::uint32_t j) { return objects_[j] == o; });
      if (hit) {
        ++object_hits_;
        column_.rows.push_back(object_entry_[*hit]);
        return;
      }
    }
    judge_content_cache();
    const std::uint32_t entry = by_content_on_ ? entry_by_content(o) : add_entry(raw_text(o));
    if (by_object_on_) {
      // The reference keeps the address from being reused by another object.
      store_.keep_alive.push_back(Ref::incref(o));
      by_object_.find_or_insert(hash_word(address(o), seed_), static_cast<std::uint32_t>(objects_.size()),
                                [](std::uint32_t) { return false; });
      objects_.push_back(o);
      object_entry_.push_back(entry);
    }
  }

  // A text whose bytes outlive the call (held by the caller), with no
  // object of its own.
  void add_text(std::string_view text) {
    judge_content_cache();
    if (by_content_on_) {
      entry_of(text, [](std::string_view t) { return t; });
    } else {
      add_entry(text);
    }
  }

  TextColumn finish() { return std::move(column_); }

 private:
  static constexpr std::size_t kObjectTrial = 4096;
  static constexpr std::size_t kContentTrial = 16384;

  static std::uintptr_t address(PyObject* o) { return reinterpret_cast<std::uintptr_t>(o); }

  void drop_object_cache() {
    by_object_on_ = false;
    by_object_ = FlatIndex();
  }

  void judge_content_cache() {
    if (!by_content_on_ || ++content_probes_ != kContentTrial) return;
    // With K equally common texts, n lookups repeat about n^2 / 2K of them:
    // few repeats mean K is near the row count, and hashing finds little.
    const std::size_t repeats = kContentTrial - content_added_;
    if (kContentTrial * kContentTrial >= nrows_ * repeats) {
      by_content_on_ = false;
      by_content_ = FlatIndex();
      // Mostly distinct texts: a cache of objects would grow as large.
      if (by_object_on_ && object_hits_ * 4 < object_probes_) drop_object_cache();
    }
  }

  // The entry of `text`: an earlier one with the same bytes, or a new one
  // whose bytes `keep` makes last until the call ends.
  template <class Keep>
  std::uint32_t entry_of(std::string_view text, Keep&& keep) {
    const auto next = static_cast<std::uint32_t>(column_.texts.size());
    auto [entry, added] = by_content_.find_or_insert(
        hash_bytes(text, seed_), next, [&](std::uint32_t j) { return same_bytes(column_.texts[j], text); });
    if (!added) {
      ++content_hits_;
      column_.rows.push_back(entry);
      return entry;
    }
    ++content_added_;
    return add_entry(keep(text));
  }

  // The entry of the cell's text: an earlier one with the same bytes, or new.
  std::uint32_t entry_by_content(PyObject* o) {
    std::string_view text;
    Ref str;
    if (PyUnicode_CheckExact(o)) {
      text = str_utf8(o, scratch_);
    } else {
      str = Ref::steal(PyObject_Str(o));
      if (!str) panic_with_error("cant convert to str");
      text = str_utf8(str.get(), scratch_);
    }
    return entry_of(text, [&](std::string_view t) {
      if (PyUnicode_CheckExact(o) && PyUnicode_IS_ASCII(o)) {
        store_.keep_alive.push_back(Ref::incref(o));  // viewed in place
        return t;
      }
      return store_.arena.copy(t);
    });
  }

  std::string_view raw_text(PyObject* o) {
    return PyUnicode_CheckExact(o) ? str_utf8_copy(o, store_.arena) : str_copy(o);
  }

  std::string_view str_copy(PyObject* cell) {
    Ref text = Ref::steal(PyObject_Str(cell));
    if (!text) panic_with_error("cant convert to str");
    return str_utf8_copy(text.get(), store_.arena);
  }

  std::uint32_t add_entry(std::string_view text) {
    const auto entry = static_cast<std::uint32_t>(column_.texts.size());
    column_.rows.push_back(entry);
    column_.texts.push_back(text);
    return entry;
  }

  CellTexts& store_;
  const std::size_t nrows_;
  TextColumn column_;
  std::string scratch_;  // texts encoded only to be looked up
  FlatIndex by_object_;
  std::vector<PyObject*> objects_;
  std::vector<std::uint32_t> object_entry_;
  FlatIndex by_content_;
  std::uint64_t seed_;
  std::size_t object_probes_ = 0;
  std::size_t object_hits_ = 0;
  std::size_t content_probes_ = 0;
  std::size_t content_added_ = 0;
  std::size_t content_hits_ = 0;
  bool by_object_on_ = true;
  bool by_content_on_ = true;
};

// How many cells ahead their objects are prefetched.
constexpr std::size_t kCellsAhead = 8;

// Reads one column top to bottom. Numbers go straight into the buffer; at the
// first cell without a float value the column turns to text for good.
template <class Source>
void read_column(const Source& source, std::size_t col, Matrix& m, CellTexts& store) {
  std::size_t r = 0;
  Cell cell{nullptr, Ref()};
  for (; r < m.rows; ++r) {
    source.prefetch(r + kCellsAhead, col);
    cell = source.get(r, col);
    PyObject* o = cell.obj;
    double v;
    if (PyFloat_CheckExact(o)) {
      v = PyFloat_AS_DOUBLE(o);
    } else if (PyUnicode_CheckExact(o)) {
      break;  // a str has no float value
    } else {
      if (!is_inert(o)) {
        if (!store.python_allowed) throw NeedsPython{};
        cell.hold();
      }
      v = PyFloat_AsDouble(o);
      if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        break;
      }
    }
    m.at(r, col) = v;
  }
  if (r == m.rows) return;

  TextColumnBuilder text(store, m.rows);
  for (std::size_t i = 0; i < r; ++i) text.add_number(m.at(i, col));
  text.add_cell(cell);
  cell = Cell{nullptr, Ref()};
  for (++r; r < m.rows; ++r) {
    source.prefetch(r + kCellsAhead, col);
    Cell next = source.get(r, col);
    text.add_cell(next);
  }
  store.columns.push_back({col, text.finish()});
}

std::string_view arrow_bytes(const ArrowTextChunk& chunk, std::size_t k) {
  const std::int64_t from = chunk.offsets[k], to = chunk.offsets[k + 1];
  return {chunk.data + from, static_cast<std::size_t>(to - from)};
}

// An Arrow string column, read as `values` would give its cells: a str for
// each valid row and the float NaN for each null. NaN is a float, so the
// column stays numeric until its first valid row; later nulls read as the
// text "nan". The texts are viewed where Arrow holds them.
void read_arrow_column(const ColumnCells& cells, std::size_t col, Matrix& m, CellTexts& store) {
  std::optional<TextColumnBuilder> text;
  std::size_t r = 0;
  for (const ArrowTextChunk& chunk : cells.chunks) {
    for (std::size_t i = 0; i < chunk.length; ++i, ++r) {
      const std::size_t k = chunk.offset + i;
      const bool valid = chunk.validity == nullptr || ((chunk.validity[k >> 3] >> (k & 7)) & 1);
      if (!text) {
        if (!valid) {
          m.at(r, col) = std::numeric_limits<double>::quiet_NaN();
          continue;
        }
        text.emplace(store, m.rows);
        for (std::size_t j = 0; j < r; ++j) text->add_number(m.at(j, col));
      }
      text->add_text(valid ? arrow_bytes(chunk, k) : std::string_view("nan"));
    }
  }
  if (text) store.columns.push_back({col, text->finish()});
}

// Arrow columns involve no Python object, so they are read on the pool at
// once, each into a store of its own.
std::vector<CellTexts> read_arrow_columns(const std::vector<ColumnCells>& columns,
                                          const std::vector<std::size_t>& which, Matrix& m) {
  std::vector<CellTexts> stores(which.size());
  run_in_pool([&] {
    tbb::parallel_for(std::size_t{0}, which.size(),
                      [&](std::size_t j) { read_arrow_column(columns[which[j]], which[j], m, stores[j]); });
  });
  return stores;
}

void check_capacity(std::size_t nrows, std::size_t ncols) {
  std::size_t cells = 0;
  if (__builtin_mul_overflow(nrows, ncols, &cells) || cells > PTRDIFF_MAX / sizeof(double)) {
    throw Panic("capacity overflow");
  }
  if (cells != 0 && nrows > UINT32_MAX) throw std::bad_alloc();  // row entries are 32-bit
}

// A column-major matrix living in a new Fortran-ordered float64 array.
Encoded new_encoded(std::size_t nrows, std::size_t ncols) {
  Encoded e;
  if (nrows == 0 || ncols == 0) {
    e.matrix = Matrix(nrows, ncols, true);
    return e;
  }
  npy_intp dims[2] = {static_cast<npy_intp>(nrows), static_cast<npy_intp>(ncols)};
  e.backing = check(PyArray_New(&PyArray_Type, 2, dims, NPY_FLOAT64, nullptr, nullptr, 0,
                                NPY_ARRAY_F_CONTIGUOUS, nullptr));
  auto* cells = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(e.backing.get())));
  // The matrix holds a reference of its own; it is released on the calling
  // thread, where every Matrix ends.
  std::shared_ptr<void> owner(Py_NewRef(e.backing.get()), [](void* a) { Py_DECREF(static_cast<PyObject*>(a)); });
  e.matrix = Matrix(nrows, ncols, true, cells, std::move(owner));
  return e;
}

// Phases 2 and 3: the text columns encoded on the pool, then the fit.
EncodingInfo encode_texts(Matrix& m, const CellTexts& store) {
  std::vector<ColumnResult> results =
      encode_text_columns(store.columns, SendPtr{m.begin()}, m.row_step(), m.col_step());
  EncodingInfo info;
  info.text_columns.reserve(results.size());
  info.text_to_code.reserve(results.size());
  info.code_to_text.reserve(results.size());
  for (ColumnResult& r : results) {
    info.text_columns.push_back(r.index);
    info.text_to_code.emplace(r.index, std::move(r.forward));
    info.code_to_text.emplace(r.index, std::move(r.reverse));
  }
  return info;
}

}  // namespace

Encoded encode_object_array(PyObject* source, std::size_t nrows, std::size_t ncols) {
  check_capacity(nrows, ncols);
  Encoded e = new_encoded(nrows, ncols);
  Matrix& m = e.matrix;
  if (m.size() == 0) return e;  // no cell to read

  const bool in_place = reads_like_ndarray(source);
  if (in_place && read_numeric_array(reinterpret_cast<PyArrayObject*>(source), m)) return e;
  CellTexts store;
  if (in_place && PyArray_TYPE(reinterpret_cast<PyArrayObject*>(source)) == NPY_OBJECT) {
    const ObjectArraySource cells(source);
    for (std::size_t col = 0; col < ncols; ++col) read_column(cells, col, m, store);
  } else {
    const ItemSource cells(source);
    for (std::size_t col = 0; col < ncols; ++col) read_column(cells, col, m, store);
  }
  e.info = encode_texts(m, store);
  return e;
}

std::optional<Encoded> encode_column_arrays(const std::vector<ColumnCells>& columns, std::size_t nrows) {
  const std::size_t ncols = columns.size();
  check_capacity(nrows, ncols);
  Encoded e = new_encoded(nrows, ncols);
  Matrix& m = e.matrix;
  if (m.size() == 0) return e;

  CellTexts store;
  store.python_allowed = false;
  std::vector<std::size_t> arrow;
  try {
    for (std::size_t col = 0; col < ncols; ++col) {
      if (columns[col].arrow) {
        arrow.push_back(col);
        continue;
      }
      auto* arr = reinterpret_cast<PyArrayObject*>(columns[col].array.get());
      if (read_numeric_column(arr, m, col)) continue;
      read_column(ColumnSource(columns[col].array.get()), col, m, store);
    }
  } catch (const NeedsPython&) {
    return std::nullopt;
  }
  // Their arenas hold number texts of the columns, until the fit is made.
  std::vector<CellTexts> arrow_stores = read_arrow_columns(columns, arrow, m);
  for (CellTexts& s : arrow_stores) {
    for (PendingColumn& c : s.columns) store.columns.push_back(std::move(c));
  }
  std::sort(store.columns.begin(), store.columns.end(),
            [](const PendingColumn& a, const PendingColumn& b) { return a.index < b.index; });
  e.info = encode_texts(m, store);
  return e;
}

}  // namespace dorvik

// Encoding a table read cell by cell. Phase 1 reads every cell on the
// calling thread; phase 2 (the engine) encodes the text columns on the pool;
// phase 3 assembles the fit.
#include "convert/object_array.hpp"

#include <cstdint>
#include <new>

#include "bind/errors.hpp"
#include "bind/numpy.hpp"
#include "bind/text.hpp"
#include "convert/cell_text.hpp"
#include "convert/numeric_array.hpp"
#include "engine/columns.hpp"
#include "engine/hash.hpp"
#include "engine/number_text.hpp"

namespace dorvik {

namespace {

// Any source: the cell is source[(row, col)].
class ItemSource {
 public:
  explicit ItemSource(PyObject* source) : source_(source) {}

  Ref get(std::size_t r, std::size_t c) const {
    Ref key = check(PyTuple_New(2));
    PyTuple_SET_ITEM(key.get(), 0, check(PyLong_FromSize_t(r)).release());
    PyTuple_SET_ITEM(key.get(), 1, check(PyLong_FromSize_t(c)).release());
    Ref cell = Ref::steal(PyObject_GetItem(source_, key.get()));
    if (!cell) panic_with_error(kUnwrapFailed);
    return cell;
  }

 private:
  PyObject* source_;
};

// An object ndarray read in place: the very objects that item access returns.
class ObjectArraySource {
 public:
  explicit ObjectArraySource(PyObject* array)
      : arr_(reinterpret_cast<PyArrayObject*>(array)), items_(array) {}

  Ref get(std::size_t r, std::size_t c) const {
    // The layout is read afresh for every cell: Python code run for an
    // earlier cell may have reshaped the array. Anything unusual goes the
    // slow way, which raises as item access would.
    if (PyArray_NDIM(arr_) == 2 && PyArray_TYPE(arr_) == NPY_OBJECT &&
        r < static_cast<std::size_t>(PyArray_DIMS(arr_)[0]) &&
        c < static_cast<std::size_t>(PyArray_DIMS(arr_)[1])) {
      const char* p = static_cast<const char*>(PyArray_DATA(arr_)) +
                      static_cast<npy_intp>(r) * PyArray_STRIDES(arr_)[0] +
                      static_cast<npy_intp>(c) * PyArray_STRIDES(arr_)[1];
      PyObject* cell;
      std::memcpy(&cell, p, sizeof cell);
      return Ref::incref(cell != nullptr ? cell : Py_None);  // NumPy reads NULL as None
    }
    return items_.get(r, c);
  }

 private:
  PyArrayObject* arr_;
  ItemSource items_;
};

// Exact ndarrays and memmaps; subclasses may index differently.
bool reads_like_ndarray(PyObject* obj) {
  if (PyArray_CheckExact(obj)) return true;
  return PyArray_Check(obj) && type_name(obj) == "memmap";
}

// What phase 1 leaves for phase 2, alive until the call ends.
struct CellTexts {
  TextArena arena;
  std::vector<Ref> keep_alive;  // every object whose bytes or identity are used
  std::vector<PendingColumn> columns;
};

// Objects whose str() is the same on every call; repeats of one such object
// in a column are read once.
bool str_is_stable(PyObject* o) {
  return PyUnicode_CheckExact(o) || PyFloat_CheckExact(o) || PyLong_CheckExact(o) ||
         PyBool_Check(o) || o == Py_None;
}

class TextColumnBuilder {
 public:
  TextColumnBuilder(CellTexts& store, std::size_t nrows) : store_(store), seed_(random_seed()) {
    column_.rows.reserve(nrows);
  }

  void add_number(double x) {
    char buf[kNumberTextMax];
    add_entry(store_.arena.copy({buf, number_text(x, buf)}), nullptr);
  }

  void add_cell(PyObject* cell) {
    if (!str_is_stable(cell)) {
      add_entry(text_of(cell), nullptr);
      return;
    }
    const auto next = static_cast<std::uint32_t>(column_.texts.size());
    auto [entry, added] = seen_.find_or_insert(
        hash_word(reinterpret_cast<std::uintptr_t>(cell), seed_), next,
        [&](std::uint32_t j) { return keys_[j] == cell; });
    if (!added) {
      column_.rows.push_back(entry);
      return;
    }
    store_.keep_alive.push_back(Ref::incref(cell));
    add_entry(text_of(cell), cell);
  }

  TextColumn finish() { return std::move(column_); }

 private:
  std::string_view text_of(PyObject* cell) {
    if (PyUnicode_CheckExact(cell)) return str_utf8(cell, store_.arena);
    Ref text = Ref::steal(PyObject_Str(cell));
    if (!text) panic_with_error("cant convert to str");
    return str_utf8_copy(text.get(), store_.arena);
  }

  void add_entry(std::string_view text, PyObject* key) {
    column_.rows.push_back(static_cast<std::uint32_t>(column_.texts.size()));
    column_.texts.push_back(text);
    keys_.push_back(key);
  }

  CellTexts& store_;
  TextColumn column_;
  std::vector<PyObject*> keys_;  // the cell object of each entry, if cached
  FlatIndex seen_;
  std::uint64_t seed_;
};

// Reads one column top to bottom. Numbers go straight into the buffer; at the
// first cell without a float value the column turns to text for good.
template <class Source>
void read_column(const Source& source, std::size_t col, Matrix& m, CellTexts& store) {
  double* buf = m.begin();
  const std::size_t ncols = m.cols;
  std::size_t r = 0;
  Ref cell;
  for (; r < m.rows; ++r) {
    cell = source.get(r, col);
    PyObject* o = cell.get();
    double v;
    if (PyFloat_CheckExact(o)) {
      v = PyFloat_AS_DOUBLE(o);
    } else if (PyUnicode_CheckExact(o)) {
      break;  // a str has no float value
    } else {
      v = PyFloat_AsDouble(o);
      if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        break;
      }
    }
    buf[r * ncols + col] = v;
  }
  if (r == m.rows) return;

  TextColumnBuilder text(store, m.rows);
  for (std::size_t i = 0; i < r; ++i) text.add_number(buf[i * ncols + col]);
  text.add_cell(cell.get());
  cell = Ref();
  for (++r; r < m.rows; ++r) text.add_cell(source.get(r, col).get());
  store.columns.push_back({col, text.finish()});
}

template <class Source>
void read_cells(const Source& source, Matrix& m, CellTexts& store) {
  for (std::size_t col = 0; col < m.cols; ++col) read_column(source, col, m, store);
}

}  // namespace

std::pair<Matrix, EncodingInfo> encode_object_array(PyObject* source, std::size_t nrows,
                                                     std::size_t ncols) {
  std::size_t cells = 0;
  if (__builtin_mul_overflow(nrows, ncols, &cells) || cells > PTRDIFF_MAX / sizeof(double)) {
    throw Panic("capacity overflow");
  }
  Matrix m(nrows, ncols);
  EncodingInfo info;
  if (cells == 0) return {std::move(m), std::move(info)};  // no cell to read
  if (nrows > UINT32_MAX) throw std::bad_alloc();  // row entries are 32-bit

  const bool in_place = reads_like_ndarray(source);
  if (in_place && read_numeric_array(reinterpret_cast<PyArrayObject*>(source), m)) {
    return {std::move(m), std::move(info)};
  }
  CellTexts store;
  if (in_place && PyArray_TYPE(reinterpret_cast<PyArrayObject*>(source)) == NPY_OBJECT) {
    read_cells(ObjectArraySource(source), m, store);
  } else {
    read_cells(ItemSource(source), m, store);
  }

  std::vector<ColumnResult> results = encode_text_columns(store.columns, SendPtr{m.begin()}, ncols);

  info.text_columns.reserve(results.size());
  info.text_to_code.reserve(results.size());
  info.code_to_text.reserve(results.size());
  for (ColumnResult& r : results) {
    info.text_columns.push_back(r.index);
    info.text_to_code.emplace(r.index, std::move(r.forward));
    info.code_to_text.emplace(r.index, std::move(r.reverse));
  }
  return {std::move(m), std::move(info)};
}

}  // namespace dorvik

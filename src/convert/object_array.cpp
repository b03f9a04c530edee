// Encoding a table read cell by cell. Phase 1 reads every cell: on the pool
// where no cell needs the interpreter (pool_read), else on the calling
// thread; phase 2 (the engine) encodes the text columns on the pool; phase 3
// assembles the fit.
#include "convert/object_array.hpp"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <optional>

#include "bind/errors.hpp"
#include "bind/numpy.hpp"
#include "bind/text.hpp"
#include "convert/numeric_array.hpp"
#include "engine/columns.hpp"
#include "engine/fault_in.hpp"

namespace dorvik {

namespace {

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

  TextColumn column;
  column.rows = m.rows;
  TextColumnBuilder text(store, m.rows, &m.at(0, col), m.row_step());
  for (std::size_t i = 0; i < r; ++i) text.add_number(m.at(i, col));
  text.add_cell(cell);
  cell = Cell{nullptr, Ref()};
  for (++r; r < m.rows; ++r) {
    source.prefetch(r + kCellsAhead, col);
    Cell next = source.get(r, col);
    text.add_cell(next);
  }
  column.entries_are_rows = text.rows_in_order();
  column.texts = text.finish();
  store.columns.push_back({col, std::move(column)});
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
  double* cells = nullptr;
  e.backing = new_float64_matrix(nrows, ncols, true, cells);
  // Fresh pages that the pool's workers fault in as they write the codes
  // have cost several times what the calling thread pays for them
  // beforehand, in one call: on W1, 35 ms of kernel time a call against 8.
  fault_in(cells, nrows * ncols * sizeof(double));
  // The matrix holds a reference of its own; it is released on the calling
  // thread, where every Matrix ends.
  std::shared_ptr<void> owner(Py_NewRef(e.backing.get()), [](void* a) { Py_DECREF(static_cast<PyObject*>(a)); });
  e.matrix = Matrix(nrows, ncols, true, cells, std::move(owner));
  return e;
}

// Phases 2 and 3: the text columns encoded on the pool (those read there
// are already), then the fit.
EncodingInfo encode_texts(Matrix& m, std::vector<CellTexts>& stores) {
  std::vector<PendingColumn> columns;
  std::vector<ColumnResult> results;
  for (CellTexts& s : stores) {
    for (PendingColumn& c : s.columns) columns.push_back(std::move(c));
    for (ColumnResult& r : s.encoded) results.push_back(std::move(r));
  }
  std::sort(columns.begin(), columns.end(),
            [](const PendingColumn& a, const PendingColumn& b) { return a.index < b.index; });
  for (ColumnResult& r : encode_text_columns(columns, SendPtr{m.begin()}, m.row_step(), m.col_step())) {
    results.push_back(std::move(r));
  }
  std::sort(results.begin(), results.end(),
            [](const ColumnResult& a, const ColumnResult& b) { return a.index < b.index; });
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

// The columns of an object array of the table's shape, for reading on the
// pool; nothing for any other layout.
std::optional<std::vector<PoolColumn>> object_columns(PyArrayObject* arr, std::size_t nrows, std::size_t ncols) {
  const int nd = PyArray_NDIM(arr);
  const npy_intp* dims = PyArray_DIMS(arr);
  const npy_intp* strides = PyArray_STRIDES(arr);
  const char* data = static_cast<const char*>(PyArray_DATA(arr));
  const bool fits = nd == 2 ? static_cast<std::size_t>(dims[0]) == nrows && static_cast<std::size_t>(dims[1]) == ncols
                            : nd == 1 && static_cast<std::size_t>(dims[0]) == nrows && ncols == 1;
  if (PyArray_TYPE(arr) != NPY_OBJECT || !fits) return std::nullopt;
  std::vector<PoolColumn> columns;
  for (std::size_t c = 0; c < ncols; ++c) {
    columns.push_back({c, {data + (nd == 2 ? static_cast<npy_intp>(c) * strides[1] : 0), strides[0]}});
  }
  return columns;
}

}  // namespace

Encoded encode_object_array(PyObject* source, std::size_t nrows, std::size_t ncols) {
  check_capacity(nrows, ncols);
  Encoded e = new_encoded(nrows, ncols);
  Matrix& m = e.matrix;
  if (m.size() == 0) return e;  // no cell to read

  const bool in_place = reads_like_ndarray(source);
  auto* arr = reinterpret_cast<PyArrayObject*>(source);
  if (in_place && read_numeric_array(arr, m)) return e;
  if (in_place) {
    // Tried first: reading on the pool runs no Python code, so the serial
    // read below starts afresh where it gives up.
    if (auto columns = object_columns(arr, nrows, ncols)) {
      if (auto stores = read_on_pool(*columns, m)) {
        e.info = encode_texts(m, *stores);
        return e;
      }
    }
  }
  std::vector<CellTexts> stores(1);
  if (in_place && PyArray_TYPE(arr) == NPY_OBJECT) {
    const ObjectArraySource cells(source);
    for (std::size_t col = 0; col < ncols; ++col) read_column(cells, col, m, stores[0]);
  } else {
    const ItemSource cells(source);
    for (std::size_t col = 0; col < ncols; ++col) read_column(cells, col, m, stores[0]);
  }
  e.info = encode_texts(m, stores);
  return e;
}

std::optional<Encoded> encode_column_arrays(const std::vector<ColumnCells>& columns, std::size_t nrows) {
  const std::size_t ncols = columns.size();
  check_capacity(nrows, ncols);
  Encoded e = new_encoded(nrows, ncols);
  Matrix& m = e.matrix;
  if (m.size() == 0) return e;

  std::vector<PoolColumn> on_pool, arrow;
  std::vector<std::size_t> objects;
  // Numeric columns are read on the pool too, while it reads the others.
  std::vector<std::function<void()>> numbers;
  for (std::size_t col = 0; col < ncols; ++col) {
    if (columns[col].arrow) {
      on_pool.push_back({col, {nullptr, 0}, &columns[col].chunks});
      arrow.push_back(on_pool.back());
      continue;
    }
    auto* arr = reinterpret_cast<PyArrayObject*>(columns[col].array.get());
    if (is_plain_numeric(PyArray_DESCR(arr))) {
      numbers.emplace_back([arr, &m, col] { read_numeric_column(arr, m, col); });
      continue;
    }
    objects.push_back(col);
    on_pool.push_back({col, {static_cast<const char*>(PyArray_DATA(arr)), PyArray_STRIDES(arr)[0]}});
  }
  if (auto stores = read_on_pool(on_pool, m, numbers)) {
    e.info = encode_texts(m, *stores);
    return e;
  }
  // Some object column holds other objects: those columns are read here, the
  // Arrow columns again on the pool.
  std::vector<CellTexts> stores(1);
  stores[0].python_allowed = false;
  try {
    for (std::size_t col : objects) read_column(ColumnSource(columns[col].array.get()), col, m, stores[0]);
  } catch (const NeedsPython&) {
    return std::nullopt;
  }
  std::optional<std::vector<CellTexts>> arrow_stores = read_on_pool(arrow, m);
  for (CellTexts& s : *arrow_stores) stores.push_back(std::move(s));
  e.info = encode_texts(m, stores);
  return e;
}

}  // namespace dorvik

#include "convert/input.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "bind/errors.hpp"
#include "bind/numpy.hpp"
#include "bind/text.hpp"
#include "convert/numeric_array.hpp"
#include "convert/object_array.hpp"

namespace dorvik {

namespace {

[[noreturn]] void unsupported(const std::string& name) {
  write_fd(1, name + "\n");
  PyErr_Format(PyExc_TypeError,
               "Unsupported type: '%s'. Supported types are: numpy.ndarray, pandas.DataFrame",
               name.c_str());
  throw PyError{};
}

// Calls `item` on every element of a sequence that is not a str.
template <class Item>
void for_each_item(PyObject* seq, Item&& item) {
  if (!PySequence_Check(seq) || PyUnicode_Check(seq)) {
    PyErr_Format(PyExc_TypeError, "'%T' object is not a sequence of column labels", seq);
    throw PyError{};
  }
  Ref iter = check(PyObject_GetIter(seq));
  while (Ref x = Ref::steal(PyIter_Next(iter.get()))) item(x.get());
  if (PyErr_Occurred()) throw PyError{};
}

std::vector<std::string> str_labels(PyObject* columns) {
  std::vector<std::string> labels;
  for_each_item(columns, [&](PyObject* x) {
    if (!PyUnicode_Check(x)) {
      PyErr_Format(PyExc_TypeError, "column label of type '%T' is not a str", x);
      throw PyError{};
    }
    labels.emplace_back(utf8_view(x));
  });
  return labels;
}

std::vector<std::string> int_labels(PyObject* list) {
  std::vector<std::string> labels;
  for_each_item(list, [&](PyObject* x) {
    long long v = PyLong_AsLongLong(x);
    if (v == -1 && PyErr_Occurred()) throw PyError{};
    labels.push_back(std::to_string(v));
  });
  return labels;
}

// Column labels as texts: str labels as they are, otherwise the integers of
// columns.tolist() in decimal.
std::vector<std::string> read_labels(PyObject* frame) {
  Ref columns = check(PyObject_GetAttrString(frame, "columns"));
  try {
    return str_labels(columns.get());
  } catch (const PyError&) {
    PyErr_Clear();
  }
  Ref list = check(PyObject_CallMethod(columns.get(), "tolist", nullptr));
  return int_labels(list.get());
}

bool is_float64_matrix(PyObject* obj) {
  if (!PyArray_Check(obj)) return false;
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(arr) != 2) return false;
  Ref f64 = Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_FLOAT64)));
  return PyArray_EquivTypes(PyArray_DESCR(arr), reinterpret_cast<PyArray_Descr*>(f64.get()));
}

// The cells of a 2-D float64 array: the array's own when it is aligned and
// contiguous either way (the matrix then holds a reference to it, released on
// the calling thread, where every Matrix ends), otherwise a row-major copy.
// Nothing writes to them, and each consumer reads a cell once.
Matrix float64_cells(PyArrayObject* arr) {
  const npy_intp* dims = PyArray_DIMS(arr);
  const auto rows = static_cast<size_t>(dims[0]), cols = static_cast<size_t>(dims[1]);
  if (rows == 0 || cols == 0) return Matrix(rows, cols);
  if (PyArray_ISALIGNED(arr) && (PyArray_IS_C_CONTIGUOUS(arr) || PyArray_IS_F_CONTIGUOUS(arr))) {
    auto* obj = reinterpret_cast<PyObject*>(arr);
    std::shared_ptr<void> owner(Py_NewRef(obj), [](void* a) { Py_DECREF(static_cast<PyObject*>(a)); });
    return Matrix(rows, cols, !PyArray_IS_C_CONTIGUOUS(arr), static_cast<double*>(PyArray_DATA(arr)),
                  std::move(owner));
  }
  Matrix m(rows, cols);
  const char* base = static_cast<const char*>(PyArray_DATA(arr));
  const npy_intp* strides = PyArray_STRIDES(arr);
  double* out = m.begin();
  for (npy_intp r = 0; r < dims[0]; ++r) {
    for (npy_intp c = 0; c < dims[1]; ++c) {
      std::memcpy(out++, base + r * strides[0] + c * strides[1], sizeof(double));  // may be unaligned
    }
  }
  return m;
}

size_t read_dim(PyObject* item) {
  Ref index = check(PyNumber_Index(item));
  size_t n = PyLong_AsSize_t(index.get());
  if (n == static_cast<size_t>(-1) && PyErr_Occurred()) throw PyError{};
  return n;
}

// `shape` as (rows, cols); anything else is an internal failure.
std::pair<size_t, size_t> read_shape(PyObject* obj) {
  try {
    Ref shape = check(PyObject_GetAttrString(obj, "shape"));
    if (!PyTuple_Check(shape.get())) {
      PyErr_Format(PyExc_TypeError, "shape of type '%T' is not a tuple", shape.get());
      throw PyError{};
    }
    if (PyTuple_GET_SIZE(shape.get()) != 2) {
      PyErr_Format(PyExc_ValueError, "expected a shape of 2 dimensions, got %zd",
                   PyTuple_GET_SIZE(shape.get()));
      throw PyError{};
    }
    return {read_dim(PyTuple_GET_ITEM(shape.get(), 0)), read_dim(PyTuple_GET_ITEM(shape.get(), 1))};
  } catch (const PyError&) {
    panic_with_error(kUnwrapFailed);
  }
}

// pandas, when `obj` is of exactly its own DataFrame class.
Ref pandas_of_frame(PyObject* obj) {
  Ref name = check(PyUnicode_FromString("pandas"));
  Ref pandas = Ref::steal(PyImport_GetModule(name.get()));
  if (!pandas) return Ref();
  Ref frame = Ref::steal(PyObject_GetAttrString(pandas.get(), "DataFrame"));
  PyErr_Clear();
  if (!frame || reinterpret_cast<PyObject*>(Py_TYPE(obj)) != frame.get()) return Ref();
  return pandas;
}

std::size_t int_attr(PyObject* obj, const char* name) {
  Ref v = check(PyObject_GetAttrString(obj, name));
  return read_dim(v.get());
}

// The address of an Arrow buffer, or NULL for None.
const void* buffer_address(PyObject* buffer) {
  if (buffer == Py_None) return nullptr;
  Ref address = check(PyObject_GetAttrString(buffer, "address"));
  void* p = PyLong_AsVoidPtr(address.get());
  if (p == nullptr && PyErr_Occurred()) throw PyError{};
  return p;
}

// The Arrow chunks of a pandas string column stored by pyarrow, when they
// are large_string arrays; nothing otherwise.
std::optional<ColumnCells> arrow_chunks(PyObject* series) {
  ColumnCells cells;
  cells.arrow = true;
  Ref array = check(PyObject_GetAttrString(series, "array"));
  cells.array = check(PyObject_CallMethod(array.get(), "__arrow_array__", nullptr));
  Ref chunks = check(PyObject_GetAttrString(cells.array.get(), "chunks"));
  Ref iter = check(PyObject_GetIter(chunks.get()));
  while (Ref chunk = Ref::steal(PyIter_Next(iter.get()))) {
    Ref type = check(PyObject_GetAttrString(chunk.get(), "type"));
    Ref type_text = check(PyObject_Str(type.get()));
    const std::string_view kind = utf8_view(type_text.get());
    if (kind != "large_string") return std::nullopt;  // what pandas keeps its texts in
    Ref buffers = check(PyObject_CallMethod(chunk.get(), "buffers", nullptr));
    if (!PyList_Check(buffers.get()) || PyList_GET_SIZE(buffers.get()) != 3) return std::nullopt;
    ArrowTextChunk c;
    c.validity = static_cast<const std::uint8_t*>(buffer_address(PyList_GET_ITEM(buffers.get(), 0)));
    c.offsets = static_cast<const std::int64_t*>(buffer_address(PyList_GET_ITEM(buffers.get(), 1)));
    c.data = static_cast<const char*>(buffer_address(PyList_GET_ITEM(buffers.get(), 2)));
    c.offset = int_attr(chunk.get(), "offset");
    const Py_ssize_t length = PyObject_Length(chunk.get());
    if (length < 0) throw PyError{};
    c.length = static_cast<std::size_t>(length);
    if (c.offsets == nullptr && c.length > 0) return std::nullopt;
    cells.chunks.push_back(c);
  }
  if (PyErr_Occurred()) throw PyError{};
  return cells;
}

// Whether a pandas StringDtype keeps its texts in Arrow and reads missing
// values as the float NaN (the default "str" dtype when pyarrow is there).
bool arrow_with_nan(PyObject* dtype) {
  Ref storage = check(PyObject_GetAttrString(dtype, "storage"));
  if (!PyUnicode_Check(storage.get())) return false;
  const std::string_view s = utf8_view(storage.get());
  if (s != "pyarrow" && s != "pyarrow_numpy") return false;
  Ref na = check(PyObject_GetAttrString(dtype, "na_value"));
  return PyFloat_CheckExact(na.get()) && std::isnan(PyFloat_AS_DOUBLE(na.get()));
}

// A column's cells, equal to its column of `values`: the array itself for
// plain numeric and object NumPy columns; for a pandas string column, its
// Arrow chunks where that storage reads missing values as NaN, else the
// object array of its str objects and missing values; nothing for anything
// else.
std::optional<ColumnCells> column_cells(PyObject* series, PyObject* string_dtype) {
  Ref dtype = check(PyObject_GetAttrString(series, "dtype"));
  if (PyArray_DescrCheck(dtype.get())) {
    const auto* descr = reinterpret_cast<PyArray_Descr*>(dtype.get());
    if (descr->type_num != NPY_OBJECT && !is_plain_numeric(descr)) return std::nullopt;
    return ColumnCells{check(PyObject_CallMethod(series, "to_numpy", nullptr)), false, {}};
  }
  if (string_dtype == nullptr || check_status(PyObject_IsInstance(dtype.get(), string_dtype)) == 0) {
    return std::nullopt;
  }
  if (arrow_with_nan(dtype.get())) return arrow_chunks(series);
  Ref kw = check(Py_BuildValue("{s:s}", "dtype", "object"));
  Ref method = check(PyObject_GetAttrString(series, "to_numpy"));
  Ref none = check(PyTuple_New(0));
  return ColumnCells{check(PyObject_Call(method.get(), none.get(), kw.get())), false, {}};
}

bool is_column_array(PyObject* obj, size_t rows) {
  if (!PyArray_Check(obj)) return false;
  auto* a = reinterpret_cast<PyArrayObject*>(obj);
  const PyArray_Descr* descr = PyArray_DESCR(a);
  return PyArray_NDIM(a) == 1 && static_cast<size_t>(PyArray_DIMS(a)[0]) == rows &&
         (descr->type_num == NPY_OBJECT || is_plain_numeric(descr));
}

std::size_t chunk_rows(const ColumnCells& cells) {
  std::size_t n = 0;
  for (const ArrowTextChunk& c : cells.chunks) n += c.length;
  return n;
}

// The columns of an exact pandas DataFrame (see column_cells), when every
// column has them. Their cells are those of the frame's `values`, without
// boxing each number into an object; anything else is read through `values`.
std::optional<std::vector<ColumnCells>> frame_columns_or_fail(PyObject* obj, size_t rows, size_t cols) {
  Ref pandas = pandas_of_frame(obj);
  if (!pandas) return std::nullopt;
  Ref string_dtype = Ref::steal(PyObject_GetAttrString(pandas.get(), "StringDtype"));
  PyErr_Clear();
  std::vector<ColumnCells> columns;
  columns.reserve(cols);
  Ref items = check(PyObject_CallMethod(obj, "items", nullptr));
  Ref iter = check(PyObject_GetIter(items.get()));
  while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
    if (!PyTuple_Check(item.get()) || PyTuple_GET_SIZE(item.get()) != 2) return std::nullopt;
    std::optional<ColumnCells> cells = column_cells(PyTuple_GET_ITEM(item.get(), 1), string_dtype.get());
    if (!cells) return std::nullopt;
    if (cells->arrow ? chunk_rows(*cells) != rows : !is_column_array(cells->array.get(), rows)) {
      return std::nullopt;
    }
    columns.push_back(std::move(*cells));
  }
  if (PyErr_Occurred()) throw PyError{};
  if (columns.size() != cols) return std::nullopt;
  return columns;
}

// The cells of a frame whose columns are float64 arrays lying side by side,
// a column's rows in a row, as one float64 block holds them (a frame made
// from a 2-D float64 array, codes among them): read where they lie, as a
// column-major matrix. Reading copies them unchanged, so each cell is what a
// copy would hold. The matrix holds a reference to every column, released on
// the calling thread, where every Matrix ends.
std::optional<Matrix> float64_block(const std::vector<ColumnCells>& columns, size_t rows) {
  if (rows == 0 || columns.empty()) return std::nullopt;
  std::uintptr_t first = 0;
  for (size_t j = 0; j < columns.size(); ++j) {
    if (columns[j].arrow) return std::nullopt;
    auto* a = reinterpret_cast<PyArrayObject*>(columns[j].array.get());
    const PyArray_Descr* d = PyArray_DESCR(a);
    if (d->type_num != NPY_DOUBLE || !PyArray_ISNBO(d->byteorder) || !PyArray_ISALIGNED(a)) return std::nullopt;
    if (rows > 1 && PyArray_STRIDES(a)[0] != static_cast<npy_intp>(sizeof(double))) return std::nullopt;
    // Compared as numbers: columns apart are no one array to point into.
    const auto data = reinterpret_cast<std::uintptr_t>(PyArray_DATA(a));
    if (j == 0) first = data;
    if (data != first + j * rows * sizeof(double)) return std::nullopt;
  }
  auto held = std::make_shared<std::vector<Ref>>();
  for (const ColumnCells& c : columns) held->push_back(Ref::incref(c.array.get()));
  auto* cells = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(columns[0].array.get())));
  return Matrix(rows, columns.size(), true, cells, std::move(held));
}

// A shortcut only: where pandas raises on the way, `values` is read instead.
std::optional<std::vector<ColumnCells>> frame_columns(PyObject* obj, size_t rows, size_t cols) {
  try {
    return frame_columns_or_fail(obj, rows, cols);
  } catch (const PyError&) {
    PyErr_Clear();
    return std::nullopt;
  }
}

}  // namespace

Converted pyany_to_vec(PyObject* obj) {
  const std::string name = type_name(obj);
  const bool table = name == "DataFrame";
  if (!table && name != "ndarray" && name != "memmap") unsupported(name);

  OUT out = table ? OUT{Pandas{read_labels(obj)}} : OUT{Numpy{}};

  if (is_float64_matrix(obj)) {
    return {std::move(out), float64_cells(reinterpret_cast<PyArrayObject*>(obj)), std::nullopt, Ref()};
  }

  auto [rows, cols] = read_shape(obj);
  if (table) {
    if (auto columns = frame_columns(obj, rows, cols)) {
      // No text to encode: the record of a fit holds no column.
      if (auto block = float64_block(*columns, rows)) return {std::move(out), std::move(*block), EncodingInfo{}, Ref()};
      if (auto done = encode_column_arrays(*columns, rows)) {
        return {std::move(out), std::move(done->matrix), std::move(done->info), std::move(done->backing)};
      }
    }
  }
  Ref values;
  if (table) {
    values = Ref::steal(PyObject_GetAttrString(obj, "values"));
    if (!values) panic_with_error(kUnwrapFailed);
  }
  Encoded done = encode_object_array(table ? values.get() : obj, rows, cols);
  return {std::move(out), std::move(done.matrix), std::move(done.info), std::move(done.backing)};
}

}  // namespace dorvik

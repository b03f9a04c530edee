#include "convert/input.hpp"

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

// Copies any 2-D float64 array, whatever its strides, into a row-major matrix.
Matrix copy_float64(PyArrayObject* arr) {
  const npy_intp* dims = PyArray_DIMS(arr);
  Matrix m(static_cast<size_t>(dims[0]), static_cast<size_t>(dims[1]));
  if (m.size() == 0) return m;
  if (PyArray_IS_C_CONTIGUOUS(arr)) {
    std::memcpy(m.begin(), PyArray_DATA(arr), m.size() * sizeof(double));
    return m;
  }
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

// A column's cells as a 1-D ndarray equal to its column of `values`: the
// array itself for plain numeric and object NumPy columns, the object array
// of its str objects and missing values for a pandas string column; NULL for
// anything else.
Ref column_cells(PyObject* series, PyObject* string_dtype) {
  Ref dtype = check(PyObject_GetAttrString(series, "dtype"));
  if (PyArray_DescrCheck(dtype.get())) {
    const auto* descr = reinterpret_cast<PyArray_Descr*>(dtype.get());
    if (descr->type_num != NPY_OBJECT && !is_plain_numeric(descr)) return Ref();
    return check(PyObject_CallMethod(series, "to_numpy", nullptr));
  }
  if (string_dtype == nullptr || check_status(PyObject_IsInstance(dtype.get(), string_dtype)) == 0) {
    return Ref();
  }
  Ref kw = check(Py_BuildValue("{s:s}", "dtype", "object"));
  Ref method = check(PyObject_GetAttrString(series, "to_numpy"));
  Ref none = check(PyTuple_New(0));
  return check(PyObject_Call(method.get(), none.get(), kw.get()));
}

// The columns of an exact pandas DataFrame as 1-D arrays (see column_cells),
// when every column has one. Their cells are those of the frame's `values`,
// without boxing each number into an object; anything else is read through
// `values`.
std::optional<std::vector<Ref>> frame_columns_or_fail(PyObject* obj, size_t rows, size_t cols) {
  Ref pandas = pandas_of_frame(obj);
  if (!pandas) return std::nullopt;
  Ref string_dtype = Ref::steal(PyObject_GetAttrString(pandas.get(), "StringDtype"));
  PyErr_Clear();
  std::vector<Ref> columns;
  columns.reserve(cols);
  Ref items = check(PyObject_CallMethod(obj, "items", nullptr));
  Ref iter = check(PyObject_GetIter(items.get()));
  while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
    if (!PyTuple_Check(item.get()) || PyTuple_GET_SIZE(item.get()) != 2) return std::nullopt;
    Ref arr = column_cells(PyTuple_GET_ITEM(item.get(), 1), string_dtype.get());
    if (!arr || !PyArray_Check(arr.get())) return std::nullopt;
    auto* a = reinterpret_cast<PyArrayObject*>(arr.get());
    const PyArray_Descr* descr = PyArray_DESCR(a);
    if (PyArray_NDIM(a) != 1 || static_cast<size_t>(PyArray_DIMS(a)[0]) != rows ||
        (descr->type_num != NPY_OBJECT && !is_plain_numeric(descr))) {
      return std::nullopt;
    }
    columns.push_back(std::move(arr));
  }
  if (PyErr_Occurred()) throw PyError{};
  if (columns.size() != cols) return std::nullopt;
  return columns;
}

// A shortcut only: where pandas raises on the way, `values` is read instead.
std::optional<std::vector<Ref>> frame_columns(PyObject* obj, size_t rows, size_t cols) {
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
    return {std::move(out), copy_float64(reinterpret_cast<PyArrayObject*>(obj)), std::nullopt, Ref()};
  }

  auto [rows, cols] = read_shape(obj);
  if (table) {
    if (auto columns = frame_columns(obj, rows, cols)) {
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

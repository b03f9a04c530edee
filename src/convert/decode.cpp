// Decoding builds its results through the NumPy C API: one str per distinct
// code per column, shared by the cells that hold it, instead of a Python
// call per cell.
#include "convert/decode.hpp"

#include <cmath>
#include <string>

#include "bind/errors.hpp"
#include "bind/numpy.hpp"
#include "bind/text.hpp"

namespace dorvik {

namespace {

// Truncates toward zero and saturates: negatives give 0, 2^64 and above the
// largest code.
std::uint64_t key_of(double x) {
  if (!(x >= 0.0)) return 0;
  if (x >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<std::uint64_t>(x);
}

const ReverseDict& dict_of(const EncodingInfo& info, std::size_t col) {
  auto it = info.code_to_text.find(col);
  if (it == info.code_to_text.end()) throw Panic("no entry found for key");
  return it->second;
}

void check_column(std::size_t col, const Matrix& m) {
  if (m.rows > 0 && col >= m.cols) throw Panic("ndarray: index out of bounds");
}

// The str of each code of one column, made on first use.
class CodeTexts {
 public:
  CodeTexts(const ReverseDict& dict, PyObject* missing)
      : dict_(dict), made_(dict.size()), missing_(missing) {}

  // Borrowed; `missing` for NaN and for codes without an entry.
  PyObject* get(double x) {
    if (std::isnan(x)) return missing_;
    auto i = dict_.find(key_of(x));
    if (!i) return missing_;
    Ref& s = made_[*i];
    if (!s) s = new_str(dict_.text(*i));
    return s.get();
  }

 private:
  const ReverseDict& dict_;
  std::vector<Ref> made_;
  PyObject* missing_;
};

PyObject** object_data(PyObject* array) {
  return static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
}

// An object array of `dims`, every element None, ready to be overwritten.
Ref new_object_array(int nd, npy_intp* dims) {
  Ref a = check(PyArray_ZEROS(nd, dims, NPY_OBJECT, 0));  // NumPy fills with None
  return a;
}

void put(PyObject** slot, PyObject* value) {
  Py_INCREF(value);
  Py_XSETREF(*slot, value);
}

}  // namespace

Ref decode_array(PyObject*, const Matrix& m, const EncodingInfo& info) {
  // Every check runs before anything is built: a failure leaves nothing
  // visible either way, and the first failing check is the same.
  std::vector<const ReverseDict*> dict_at(m.cols, nullptr);
  for (std::size_t col : info.text_columns) {
    const ReverseDict& d = dict_of(info, col);
    if (m.rows == 0) continue;
    check_column(col, m);
    dict_at[col] = &d;
  }
  npy_intp dims[2] = {static_cast<npy_intp>(m.rows), static_cast<npy_intp>(m.cols)};
  Ref o = new_object_array(2, dims);
  if (m.size() == 0) return o;
  Ref nan_text = new_str("NaN");
  std::vector<CodeTexts> texts;
  std::vector<CodeTexts*> texts_at(m.cols, nullptr);
  texts.reserve(info.text_columns.size());
  for (std::size_t col = 0; col < m.cols; ++col) {
    if (dict_at[col] == nullptr) continue;
    texts_at[col] = &texts.emplace_back(*dict_at[col], nan_text.get());
  }
  PyObject** out = object_data(o.get());
  for (std::size_t r = 0; r < m.rows; ++r) {
    for (std::size_t c = 0; c < m.cols; ++c, ++out) {
      const double x = m.at(r, c);
      if (texts_at[c] != nullptr) {
        put(out, texts_at[c]->get(x));
      } else {
        Py_XSETREF(*out, check(PyFloat_FromDouble(x)).release());
      }
    }
  }
  return o;
}

void decode_frame(PyObject* df, const Matrix& m, const std::vector<std::string>& labels,
                  const EncodingInfo& info) {
  Ref pandas = check(PyImport_ImportModule("pandas"));
  Ref series_type = check(PyObject_GetAttrString(pandas.get(), "Series"));
  Ref kw = check(Py_BuildValue("{s:s}", "dtype", "object"));
  npy_intp rows = static_cast<npy_intp>(m.rows);
  for (std::size_t col : info.text_columns) {
    const ReverseDict& d = dict_of(info, col);
    check_column(col, m);
    Ref values = new_object_array(1, &rows);
    CodeTexts texts(d, Py_None);
    PyObject** out = object_data(values.get());
    for (std::size_t r = 0; r < m.rows; ++r) put(out + r, texts.get(m.at(r, col)));
    if (col >= labels.size()) {
      throw Panic("index out of bounds: the len is " + std::to_string(labels.size()) +
                  " but the index is " + std::to_string(col));
    }
    // An object Series keeps None as None; a bare array would be inferred as
    // a string column. The column is addressed by position, so repeated
    // labels are decoded each into its own column.
    Ref args = check(PyTuple_Pack(1, values.get()));
    Ref series = check(PyObject_Call(series_type.get(), args.get(), kw.get()));
    Ref done = check(PyObject_CallMethod(df, "isetitem", "nO", static_cast<Py_ssize_t>(col), series.get()));
  }
}

}  // namespace dorvik

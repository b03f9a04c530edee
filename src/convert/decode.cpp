// Decoding builds its results through the NumPy C API: one str per distinct
// code per column, shared by the cells that hold it, instead of a Python
// call per cell.
#include "convert/decode.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
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

bool is_ascii(std::string_view t) {
  std::size_t i = 0;
  for (; i + 8 <= t.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, t.data() + i, 8);
    if (w & 0x8080808080808080ull) return false;
  }
  for (; i < t.size(); ++i) {
    if (static_cast<unsigned char>(t[i]) >= 0x80) return false;
  }
  return true;
}

// A new str of valid UTF-8; ASCII is copied straight into the object.
Ref text_str(std::string_view t) {
  if (!is_ascii(t)) return new_str(t);
  Ref s = check(PyUnicode_New(static_cast<Py_ssize_t>(t.size()), 127));
  if (!t.empty()) std::memcpy(PyUnicode_DATA(s.get()), t.data(), t.size());
  return s;
}

// The str of each code of one column, made once and shared by its cells:
// all at once, in dictionary order, when the rows are likely to use most of
// them; otherwise on first use. The first cell to use a str takes over the
// reference it was made with, so that nothing has to visit the strs again.
class CodeTexts {
 public:
  CodeTexts(const ReverseDict& dict, PyObject* missing)
      : dict_(dict), made_(dict.size(), nullptr), handed_(dict.size(), false), missing_(missing) {}

  void prepare(std::size_t rows) {
    if (rows < dict_.size()) return;
    for (std::size_t i = 0; i < dict_.size(); ++i) made_[i] = text_str(dict_.text(i)).release();
  }

  ~CodeTexts() {
    for (std::size_t i = 0; i < made_.size(); ++i) {
      if (!handed_[i]) Py_XDECREF(made_[i]);
    }
  }

  CodeTexts(const CodeTexts&) = delete;
  CodeTexts& operator=(const CodeTexts&) = delete;
  CodeTexts(CodeTexts&&) = default;

  // A new reference; `missing` for NaN and for codes without an entry.
  PyObject* take(double x) {
    if (std::isnan(x)) return Py_NewRef(missing_);
    auto i = dict_.find(key_of(x));
    if (!i) return Py_NewRef(missing_);
    PyObject*& s = made_[*i];
    if (s == nullptr) s = text_str(dict_.text(*i)).release();
    if (handed_[*i]) return Py_NewRef(s);
    handed_[*i] = true;
    return s;
  }

 private:
  const ReverseDict& dict_;
  std::vector<PyObject*> made_;
  std::vector<bool> handed_;
  PyObject* missing_;
};

// Cells of the ndarray result filled per band of rows: 64 KiB of pointers.
constexpr std::size_t kBandCells = 8192;

PyObject** object_data(PyObject* array) {
  return static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
}

// An object array of `dims` whose elements are all NULL (NumPy reads them as
// None and skips them when the array is freed), to be filled in place.
Ref new_object_array(int nd, npy_intp* dims) {
  return check(PyArray_SimpleNew(nd, dims, NPY_OBJECT));
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
    texts_at[col]->prepare(m.rows);
  }
  // The result is row-major. Filled a band of rows at a time, column by
  // column within the band: each column's strs stay at hand while its cells
  // are written, and the band's rows stay in cache until every column is in.
  PyObject** out = object_data(o.get());
  const std::size_t band = m.cols > 0 ? std::max<std::size_t>(1, kBandCells / m.cols) : 1;
  for (std::size_t r0 = 0; r0 < m.rows; r0 += band) {
    const std::size_t r1 = std::min(m.rows, r0 + band);
    for (std::size_t c = 0; c < m.cols; ++c) {
      PyObject** cell = out + r0 * m.cols + c;
      if (CodeTexts* t = texts_at[c]) {
        for (std::size_t r = r0; r < r1; ++r, cell += m.cols) *cell = t->take(m.at(r, c));
      } else {
        for (std::size_t r = r0; r < r1; ++r, cell += m.cols) {
          *cell = check(PyFloat_FromDouble(m.at(r, c))).release();
        }
      }
    }
  }
  return o;
}

void decode_frame(PyObject* df, const Matrix& m, const std::vector<std::string>& labels,
                  const EncodingInfo& info) {
  Ref pandas = check(PyImport_ImportModule("pandas"));
  Ref series_type = check(PyObject_GetAttrString(pandas.get(), "Series"));
  // copy=False: the values array is ours and used nowhere else.
  Ref kw = check(Py_BuildValue("{s:s,s:O}", "dtype", "object", "copy", Py_False));
  npy_intp rows = static_cast<npy_intp>(m.rows);
  for (std::size_t col : info.text_columns) {
    const ReverseDict& d = dict_of(info, col);
    check_column(col, m);
    Ref values = new_object_array(1, &rows);
    CodeTexts texts(d, Py_None);
    texts.prepare(m.rows);
    PyObject** out = object_data(values.get());
    for (std::size_t r = 0; r < m.rows; ++r) out[r] = texts.take(m.at(r, col));
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

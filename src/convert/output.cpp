#include "convert/output.hpp"

#include <cstring>
#include <vector>

#include "bind/numpy.hpp"
#include "bind/text.hpp"
#include "convert/decode.hpp"

namespace dorvik {

namespace {

// A new float64 array of the matrix's cells: C order, or Fortran order for
// pandas, which then keeps each column's values together without a transpose.
Ref new_float_array(const Matrix& m, bool fortran) {
  double* out = nullptr;
  Ref a = new_float64_matrix(m.rows, m.cols, fortran, out);
  copy_cells(m, out, fortran);
  return a;
}

// The Fortran-ordered float64 array of a frame whose text columns are about
// to be replaced: only the other columns are copied. The text columns' cells
// are left as they come and are never read for a value; untouched, their
// pages are never even mapped.
Ref new_float_array_but(const Matrix& m, const std::vector<std::size_t>& text_columns) {
  double* out = nullptr;
  Ref a = new_float64_matrix(m.rows, m.cols, true, out);
  std::vector<bool> text(m.cols, false);
  for (std::size_t c : text_columns) {
    if (c < m.cols) text[c] = true;
  }
  for (std::size_t c = 0; c < m.cols; ++c) {
    if (!text[c]) copy_column(m, c, out + c * m.rows);
  }
  return a;
}

Ref new_frame(Ref values, const std::vector<std::string>& labels) {
  Ref pandas = check(PyImport_ImportModule("pandas"));
  Ref names = check(PyList_New(static_cast<Py_ssize_t>(labels.size())));
  for (size_t i = 0; i < labels.size(); ++i) {
    PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), new_str(labels[i]).release());
  }
  Ref kw = check(PyDict_New());
  check_status(PyDict_SetItemString(kw.get(), "columns", names.get()));
  // The array is new and ours alone, so the frame may keep it as it is.
  check_status(PyDict_SetItemString(kw.get(), "copy", Py_False));
  Ref ctor = check(PyObject_GetAttrString(pandas.get(), "DataFrame"));
  Ref args = check(PyTuple_Pack(1, values.get()));
  return check(PyObject_Call(ctor.get(), args.get(), kw.get()));
}

}  // namespace

Ref arr_to_out(const Matrix& matrix, OUT&& out, const EncodingInfo* info, Ref backing) {
  const OUT kind = std::move(out);  // released on every path
  if (std::holds_alternative<Numpy>(kind)) {
    if (info == nullptr) return new_float_array(matrix, false);
    return decode_array(matrix, *info);
  }
  const auto& labels = std::get<Pandas>(kind).labels;
  // Decoding reads the matrix while it rewrites the frame: the frame then
  // gets a copy of the cells, never the matrix's own.
  const bool decodes = info != nullptr && !info->text_columns.empty();
  Ref values = decodes    ? new_float_array_but(matrix, info->text_columns)
               : backing ? std::move(backing)
                         : new_float_array(matrix, true);
  Ref df = new_frame(std::move(values), labels);
  if (decodes) {
    decode_frame(df.get(), matrix, labels, *info);
  }
  return df;
}

}  // namespace dorvik

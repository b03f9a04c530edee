#include "convert/output.hpp"

#include <cstring>

#include "bind/numpy.hpp"
#include "bind/text.hpp"
#include "convert/decode.hpp"

namespace dorvik {

namespace {

Ref new_float_array(const Matrix& m) {
  npy_intp dims[2] = {static_cast<npy_intp>(m.rows), static_cast<npy_intp>(m.cols)};
  Ref a = check(PyArray_SimpleNew(2, dims, NPY_FLOAT64));
  if (m.size() != 0) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.get())), m.begin(),
                m.size() * sizeof(double));
  }
  return a;
}

Ref new_frame(const Matrix& m, const std::vector<std::string>& labels) {
  Ref pandas = check(PyImport_ImportModule("pandas"));
  Ref names = check(PyList_New(static_cast<Py_ssize_t>(labels.size())));
  for (size_t i = 0; i < labels.size(); ++i) {
    PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), new_str(labels[i]).release());
  }
  Ref kw = check(PyDict_New());
  check_status(PyDict_SetItemString(kw.get(), "columns", names.get()));
  Ref ctor = check(PyObject_GetAttrString(pandas.get(), "DataFrame"));
  Ref a = new_float_array(m);
  Ref args = check(PyTuple_Pack(1, a.get()));
  return check(PyObject_Call(ctor.get(), args.get(), kw.get()));
}

}  // namespace

Ref arr_to_out(const Matrix& matrix, OUT&& out, const EncodingInfo* info) {
  const OUT kind = std::move(out);  // released on every path
  if (std::holds_alternative<Numpy>(kind)) {
    Ref a = new_float_array(matrix);
    if (info == nullptr) return a;
    return decode_array(a.get(), matrix, *info);
  }
  const auto& labels = std::get<Pandas>(kind).labels;
  Ref df = new_frame(matrix, labels);
  if (info != nullptr && !info->text_columns.empty()) {
    decode_frame(df.get(), matrix, labels, *info);
  }
  return df;
}

}  // namespace dorvik

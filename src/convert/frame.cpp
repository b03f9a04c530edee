#include "convert/frame.hpp"

#include "bind/numpy.hpp"
#include "bind/text.hpp"

namespace dorvik {

Ref new_frame(Ref values, const std::vector<std::string>& labels, bool objects) {
  Ref pandas = check(PyImport_ImportModule("pandas"));
  Ref names = check(PyList_New(static_cast<Py_ssize_t>(labels.size())));
  for (size_t i = 0; i < labels.size(); ++i) {
    PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), new_str(labels[i]).release());
  }
  Ref kw = check(PyDict_New());
  check_status(PyDict_SetItemString(kw.get(), "columns", names.get()));
  // The array is new and ours alone, so the frame may keep it as it is.
  check_status(PyDict_SetItemString(kw.get(), "copy", Py_False));
  if (objects) {
    Ref dtype = check(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_OBJECT)));
    check_status(PyDict_SetItemString(kw.get(), "dtype", dtype.get()));
  }
  Ref ctor = check(PyObject_GetAttrString(pandas.get(), "DataFrame"));
  Ref args = check(PyTuple_Pack(1, values.get()));
  return check(PyObject_Call(ctor.get(), args.get(), kw.get()));
}

}  // namespace dorvik

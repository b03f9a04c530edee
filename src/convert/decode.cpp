#include "convert/decode.hpp"

namespace dorvik {

Ref decode_array(PyObject* a, const Matrix&, const EncodingInfo& info) {
  Ref numpy = check(PyImport_ImportModule("numpy"));
  Ref copy = check(PyObject_CallMethod(numpy.get(), "array", "O", a));
  Ref o = check(PyObject_CallMethod(copy.get(), "astype", "s", "object"));
  if (info.text_columns.empty()) return o;
  PyErr_SetString(PyExc_NotImplementedError, "decoding text columns is not built yet");
  throw PyError{};
}

void decode_frame(PyObject*, const Matrix&, const std::vector<std::string>&, const EncodingInfo&) {
  PyErr_SetString(PyExc_NotImplementedError, "decoding text columns is not built yet");
  throw PyError{};
}

}  // namespace dorvik

#include "convert/object_array.hpp"

namespace dorvik {

std::pair<Matrix, EncodingInfo> encode_object_array(PyObject*, std::size_t, std::size_t) {
  PyErr_SetString(PyExc_NotImplementedError, "cell-by-cell encoding is not built yet");
  throw PyError{};
}

}  // namespace dorvik

// The cell-by-cell path: every input that is not a 2-D float64 array.
#pragma once

#include <cstddef>
#include <utility>

#include "bind/ref.hpp"
#include "engine/encoding_info.hpp"
#include "engine/matrix.hpp"

namespace dorvik {

// Reads the cells of `source` (item access with (row, col)), label-encodes
// its text columns and returns the row-major matrix with a fresh fit.
std::pair<Matrix, EncodingInfo> encode_object_array(PyObject* source, std::size_t nrows,
                                                     std::size_t ncols);

}  // namespace dorvik

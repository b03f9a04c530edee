// Arrays of plain numbers: every cell converted in place, with the values
// PyFloat_AsDouble gives for the array's scalars.
#pragma once

#include "bind/numpy.hpp"
#include "engine/matrix.hpp"

namespace dorvik {

// Fills `out` (the array's shape) and returns true for bool, integer and
// float16/32/64 arrays in either byte order; false, untouched, otherwise.
bool read_numeric_array(PyArrayObject* arr, Matrix& out);

}  // namespace dorvik

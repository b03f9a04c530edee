// Arrays of plain numbers: every cell converted in place, with the values
// PyFloat_AsDouble gives for the array's scalars.
#pragma once

#include "bind/numpy.hpp"
#include "engine/matrix.hpp"

namespace dorvik {

// Fills `out` (the array's shape) and returns true for bool, integer and
// float16/32/64 arrays in either byte order; false, untouched, otherwise.
bool read_numeric_array(PyArrayObject* arr, Matrix& out);

// The same for a 1-D array of `out.rows` values, into column `col` of `out`.
bool read_numeric_column(PyArrayObject* arr, Matrix& out, std::size_t col);

// Whether the two functions above take arrays of this dtype.
bool is_plain_numeric(const PyArray_Descr* dtype);

}  // namespace dorvik

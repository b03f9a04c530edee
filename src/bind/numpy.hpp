// The NumPy C API table, shared by every file; module.cpp imports it once.
#pragma once

#include <cstddef>

#include "bind/ref.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_22_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL dorvik_ARRAY_API
#ifndef DORVIK_IMPORT_ARRAY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace dorvik {

// A new rows x cols float64 array, C or Fortran ordered, its cells unset;
// `cells` gets their address.
inline Ref new_float64_matrix(std::size_t rows, std::size_t cols, bool fortran, double*& cells) {
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
  Ref a = check(PyArray_New(&PyArray_Type, 2, dims, NPY_FLOAT64, nullptr, nullptr, 0,
                            fortran ? NPY_ARRAY_F_CONTIGUOUS : 0, nullptr));
  cells = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.get())));
  return a;
}

}  // namespace dorvik

// The NumPy C API table, shared by every file; module.cpp imports it once.
#pragma once

#include "bind/ref.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_22_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL dorvik_ARRAY_API
#ifndef DORVIK_IMPORT_ARRAY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

// The cell-by-cell path: every input that is not a 2-D float64 array.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "bind/ref.hpp"
#include "convert/pool_read.hpp"
#include "engine/encoding_info.hpp"
#include "engine/matrix.hpp"

namespace dorvik {

struct Encoded {
  Matrix matrix;
  EncodingInfo info;
  // The Fortran-ordered float64 array whose buffer holds the matrix, if any:
  // a DataFrame result can take it over without a copy.
  Ref backing;
};

// Reads the cells of `source` (item access with (row, col)), label-encodes
// its text columns and returns the matrix with a fresh fit.
Encoded encode_object_array(PyObject* source, std::size_t nrows, std::size_t ncols);

// A column of a table as an exact pandas DataFrame holds it: a 1-D ndarray
// (object, bool, integer or float16/32/64), or the Arrow chunks of a string
// column whose missing value is NaN, read in place (`array` then keeps their
// buffers alive).
struct ColumnCells {
  Ref array;
  bool arrow = false;
  std::vector<ArrowTextChunk> chunks;
};

// The same for a table given column by column. Gives up, with nothing
// observable done, at the first cell whose conversion could run Python code:
// the caller then reads the frame's `values` instead.
std::optional<Encoded> encode_column_arrays(const std::vector<ColumnCells>& columns, std::size_t nrows);

}  // namespace dorvik

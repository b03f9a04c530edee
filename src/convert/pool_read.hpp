// Reading the cells of whole columns on the worker pool. Only cells whose
// value and text need no interpreter are read there: exact str, float, bool
// and None objects, ints that fit a machine word, and texts held by Arrow. The calling thread keeps the
// interpreter meanwhile, so no Python code can run and no object can die
// while workers look at them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "convert/text_builder.hpp"
#include "engine/matrix.hpp"

namespace dorvik {

// One chunk of an Arrow large_string array: row i of the chunk is the bytes
// [offsets[offset + i], offsets[offset + i + 1]) of `data`, and null where bit
// offset + i of `validity` is clear.
struct ArrowTextChunk {
  const std::uint8_t* validity = nullptr;  // NULL: no nulls
  const std::int64_t* offsets = nullptr;
  const char* data = nullptr;
  std::size_t offset = 0;
  std::size_t length = 0;

  // Of the array's element k (the chunk's offset included).
  bool valid(std::size_t k) const { return validity == nullptr || ((validity[k >> 3] >> (k & 7)) & 1); }
  std::string_view bytes(std::size_t k) const {
    return {data + offsets[k], static_cast<std::size_t>(offsets[k + 1] - offsets[k])};
  }
};

// A column of object pointers in memory: row r's at base + r * stride, where
// NULL reads as None (as NumPy reads it).
struct ObjectColumnView {
  const char* base;
  std::ptrdiff_t stride;

  PyObject* at(std::size_t r) const {
    PyObject* o;
    std::memcpy(&o, base + static_cast<std::ptrdiff_t>(r) * stride, sizeof o);
    return o != nullptr ? o : Py_None;
  }
};

// A column to read into column `index` of the matrix: object pointers, or
// (when `arrow` is set) an Arrow string column whose nulls read as the float
// NaN.
struct PoolColumn {
  std::size_t index;
  ObjectColumnView objects{nullptr, 0};
  const std::vector<ArrowTextChunk>* arrow = nullptr;
};

// Reads every column: numbers into `m`, text columns into the stores
// returned (each text column in one of them), and encodes each text column
// into `m` as soon as it is read, its dictionaries left in its store's
// `encoded`. Nothing, with `m` partly written, when an object
// column holds a cell the interpreter would have to convert: any object but
// those above, or a finite float after the column turned to text.
// `alongside` runs on the pool too, beside the columns, and whether or not
// reading fails: other work that needs no interpreter.
std::optional<std::vector<CellTexts>> read_on_pool(const std::vector<PoolColumn>& columns, Matrix& m,
                                                   std::span<const std::function<void()>> alongside = {});

}  // namespace dorvik

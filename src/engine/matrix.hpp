// The float64 matrix that travels between input and output conversion.
#pragma once

#include <cstddef>
#include <memory>

namespace dorvik {

// rows x cols doubles, row-major: (r, c) lives at r * cols + c.
struct Matrix {
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::unique_ptr<double[]> data;

  Matrix() = default;
  // Uninitialised storage: every producer writes every cell.
  Matrix(std::size_t r, std::size_t c)
      : rows(r), cols(c), data(r != 0 && c != 0 ? new double[r * c] : nullptr) {}

  double at(std::size_t r, std::size_t c) const { return data[r * cols + c]; }
  double* begin() { return data.get(); }
  const double* begin() const { return data.get(); }
  std::size_t size() const { return rows * cols; }
};

}  // namespace dorvik

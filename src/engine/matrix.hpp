// The float64 matrix that travels between input and output conversion.
#pragma once

#include <cstddef>
#include <memory>

namespace dorvik {

// rows x cols doubles, addressed by (row, column). Tables read cell by cell
// are stored column by column, so that each column is written in one run;
// copies of float64 arrays keep rows together.
struct Matrix {
  std::size_t rows = 0;
  std::size_t cols = 0;
  bool col_major = false;
  double* data = nullptr;
  std::shared_ptr<void> storage;  // keeps `data` alive

  Matrix() = default;
  // Uninitialised storage: every producer writes every cell.
  Matrix(std::size_t r, std::size_t c, bool by_column = false) : rows(r), cols(c), col_major(by_column) {
    if (r == 0 || c == 0) return;
    std::shared_ptr<double[]> block(new double[r * c]);
    data = block.get();
    storage = std::move(block);
  }
  // Cells that someone else allocated; `owner` keeps them alive.
  Matrix(std::size_t r, std::size_t c, bool by_column, double* cells, std::shared_ptr<void> owner)
      : rows(r), cols(c), col_major(by_column), data(cells), storage(std::move(owner)) {}

  // Distances between neighbouring cells of a column and of a row.
  std::size_t row_step() const { return col_major ? 1 : cols; }
  std::size_t col_step() const { return col_major ? rows : 1; }

  double at(std::size_t r, std::size_t c) const { return data[r * row_step() + c * col_step()]; }
  double& at(std::size_t r, std::size_t c) { return data[r * row_step() + c * col_step()]; }
  double* begin() { return data; }
  const double* begin() const { return data; }
  std::size_t size() const { return rows * cols; }
};

// Copies every cell into `out`, laid out by column or by row as asked;
// a layout change is a parallel blocked transpose.
void copy_cells(const Matrix& m, double* out, bool out_col_major);

// Copies column `c` into out[0..rows).
void copy_column(const Matrix& m, std::size_t c, double* out);

}  // namespace dorvik

#include "engine/matrix.hpp"

#include <algorithm>
#include <cstring>

#include <oneapi/tbb/blocked_range2d.h>
#include <oneapi/tbb/parallel_for.h>

#include "engine/pool.hpp"

namespace dorvik {

void copy_cells(const Matrix& m, double* out, bool out_col_major) {
  if (m.size() == 0) return;
  if (m.col_major == out_col_major) {
    std::memcpy(out, m.begin(), m.size() * sizeof(double));
    return;
  }
  // Source lines become destination lines of the other kind.
  const std::size_t lines = m.col_major ? m.cols : m.rows;  // runs in the source
  const std::size_t length = m.col_major ? m.rows : m.cols;
  const double* src = m.begin();
  constexpr std::size_t kTile = 64;  // 64 x 64 doubles: two tiles fit in L2
  run_in_pool([&] {
    tbb::parallel_for(tbb::blocked_range2d<std::size_t>(0, lines, kTile, 0, length, kTile),
                      [&](const tbb::blocked_range2d<std::size_t>& t) {
                        for (std::size_t i = t.rows().begin(); i != t.rows().end(); ++i) {
                          for (std::size_t j = t.cols().begin(); j != t.cols().end(); ++j) {
                            out[j * lines + i] = src[i * length + j];
                          }
                        }
                      });
  });
}

void copy_column(const Matrix& m, std::size_t c, double* out) {
  if (m.rows == 0) return;
  if (m.col_major) {
    std::memcpy(out, m.begin() + c * m.rows, m.rows * sizeof(double));
    return;
  }
  for (std::size_t r = 0; r < m.rows; ++r) out[r] = m.at(r, c);
}

}  // namespace dorvik

#include "engine/columns.hpp"

#include <oneapi/tbb/parallel_for.h>

#include "engine/pool.hpp"

namespace dorvik {

ColumnResult encode_text_column(PendingColumn& col, SendPtr buffer, std::size_t row_step,
                                std::size_t col_step) {
  ForwardDict forward = label_encode_into(col.cells, buffer.ptr + col.index * col_step, row_step);
  ReverseDict reverse = reverse_of(forward);
  return ColumnResult{col.index, std::move(forward), std::move(reverse)};
}

std::vector<ColumnResult> encode_text_columns(std::vector<PendingColumn>& columns,
                                              SendPtr buffer, std::size_t row_step,
                                              std::size_t col_step) {
  std::vector<ColumnResult> results(columns.size());
  run_in_pool([&] {
    tbb::parallel_for(std::size_t{0}, columns.size(), [&](std::size_t j) {
      results[j] = encode_text_column(columns[j], buffer, row_step, col_step);
    });
  });
  return results;
}

}  // namespace dorvik

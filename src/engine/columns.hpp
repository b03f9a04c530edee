// Phase 2 of encoding a table: every text column label-encoded at once on
// the worker pool, codes written straight into the shared output buffer.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/dictionary.hpp"
#include "engine/label_encode.hpp"

namespace dorvik {

// The address of the output buffer, handed to every column task. It owns
// nothing; tasks write disjoint cells through it, so sharing it is safe.
struct SendPtr {
  double* ptr;
};

struct PendingColumn {
  std::size_t index;  // column index in the table
  TextColumn cells;
};

struct ColumnResult {
  std::size_t index;
  ForwardDict forward;
  ReverseDict reverse;
};

// Encodes one column into the buffer, on the calling thread and the pool
// it runs in, as encode_text_columns() does each.
ColumnResult encode_text_column(PendingColumn& col, SendPtr buffer, std::size_t row_step,
                                std::size_t col_step);

// Encodes `columns` (ascending by index) into the buffer, where cell (r, c)
// lies at r * row_step + c * col_step; results come back in the same order.
// Touches no Python object; uses up what the columns keep for the engine.
std::vector<ColumnResult> encode_text_columns(std::vector<PendingColumn>& columns,
                                              SendPtr buffer, std::size_t row_step,
                                              std::size_t col_step);

}  // namespace dorvik

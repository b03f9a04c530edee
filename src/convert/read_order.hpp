// The order in which the pool takes up a table's columns.
#pragma once

#include <cstddef>
#include <vector>

#include "convert/pool_read.hpp"

namespace dorvik {

// Positions in `columns` (each of `rows` cells), those that look costliest
// first. Where there are no fewer columns than workers, each column is read
// whole by one worker, so a call lasts at least as long as its slowest
// column takes from when it is taken up: a column of mostly distinct texts
// (ids), taken up last, keeps one worker busy long after the others ran out
// of columns. A column's cost is judged by how many distinct texts a sample
// of its cells holds; columns that look alike keep their order.
std::vector<std::size_t> costliest_first(const std::vector<PoolColumn>& columns, std::size_t rows);

}  // namespace dorvik

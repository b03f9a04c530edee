// Mapping fresh memory before it is written.
#pragma once

#include <cstddef>

namespace dorvik {

// Maps the whole pages of [data, data + bytes) in one call, as a write to
// each would, their contents unchanged (MADV_POPULATE_WRITE): writes to them
// then take no page faults. False if the kernel cannot (before Linux 5.14);
// the pages are then left to fault in as they are written.
bool fault_in(void* data, std::size_t bytes);

}  // namespace dorvik

// The process-wide worker pool: one oneTBB arena, created by the first
// parallel loop and never torn down.
#pragma once

#include <cstddef>
#include <utility>

#include <oneapi/tbb/task_arena.h>

namespace dorvik {

// The pool's size from the two environment variables (NULL when unset):
// RAYON_NUM_THREADS when a positive decimal number; when it is 0 the
// processors available; when unset or not a number RAYON_RS_NUM_CPUS if
// positive, else the processors available.
std::size_t pool_size(const char* num_threads, const char* rs_num_cpus, std::size_t available);

// Processors this process may run on; 1 if that cannot be told.
std::size_t available_processors();

tbb::task_arena& pool();

// Runs `work` inside the pool: the calling thread waits for it, helping.
template <class Work>
void run_in_pool(Work&& work) {
  pool().execute(std::forward<Work>(work));
}

}  // namespace dorvik

#include "engine/pool.hpp"

#include <sched.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <optional>

#include <oneapi/tbb/global_control.h>

namespace dorvik {

namespace {

// A decimal number with an optional leading '+', nothing else.
std::optional<std::size_t> parse_count(const char* text) {
  if (text == nullptr) return std::nullopt;
  const char* end = text + std::strlen(text);
  if (*text == '+') ++text;
  std::size_t n = 0;
  auto [ptr, ec] = std::from_chars(text, end, n);
  if (ec != std::errc() || ptr != end || ptr == text) return std::nullopt;
  return n;
}

}  // namespace

std::size_t pool_size(const char* num_threads, const char* rs_num_cpus, std::size_t available) {
  if (auto n = parse_count(num_threads)) return *n > 0 ? *n : available;
  if (auto n = parse_count(rs_num_cpus); n && *n > 0) return *n;
  return available;
}

std::size_t available_processors() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<std::size_t>(n);
  }
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<std::size_t>(n) : 1;
}

tbb::task_arena& pool() {
  // Leaked on purpose: worker threads must not be joined while the
  // interpreter shuts down.
  static tbb::task_arena* arena = [] {
    const std::size_t n = pool_size(std::getenv("RAYON_NUM_THREADS"),
                                    std::getenv("RAYON_RS_NUM_CPUS"), available_processors());
    const int threads = n > 4096 ? 4096 : static_cast<int>(n);
    // oneTBB caps workers at the processor count unless told otherwise. The
    // control must outlive the arena too. A static keeps it reachable, so
    // leak checkers do not report it: volatile, or the compiler drops the
    // never-read pointer and the block is lost.
    static tbb::global_control* volatile limit =
        new tbb::global_control(tbb::global_control::max_allowed_parallelism, threads);
    (void)limit;
    auto* a = new tbb::task_arena(threads);
    a->initialize();
    return a;
  }();
  return *arena;
}

}  // namespace dorvik

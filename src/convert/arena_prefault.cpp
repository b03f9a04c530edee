#include "convert/arena_prefault.hpp"

#include <Python.h>
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>

#include <oneapi/tbb/task_group.h>

#include "engine/pool.hpp"

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older kernels refuse it with EINVAL
#endif

namespace dorvik {

namespace {

// Arenas mapped ahead of the interpreter's requests: enough for the pool to
// keep ahead of the calling thread, few enough that those left over cost
// little.
constexpr std::size_t kAhead = 3;
// CPython's arenas on 64-bit systems; only the threshold below assumes it.
constexpr std::size_t kArenaGuess = std::size_t{1} << 20;
constexpr std::size_t kMinArenas = 8;

// The interpreter's allocator is process-wide, and only the thread that
// holds the interpreter calls it or changes it: plain statics do.
struct Hook {
  bool installed = false;  // our functions are in the allocator chain
  bool active = false;     // a PrefaultedArenas lives
  PyObjectArenaAllocator next{};  // what was in place before ours
  std::size_t arena_size = 0;     // what the interpreter asks for; 0 until it does
  std::size_t budget = 0;         // bytes that may still be mapped ahead
  std::array<void*, kAhead> ahead{};  // mapped and being faulted in, oldest first
  std::size_t ahead_count = 0;
  tbb::task_group* faulting = nullptr;
};
Hook hook;
std::atomic<bool> unsupported{false};

void wait_for_faults() {
  run_in_pool([] { hook.faulting->wait(); });
}

void map_ahead() {
  while (hook.ahead_count < kAhead && hook.budget >= hook.arena_size) {
    void* p = hook.next.alloc(hook.next.ctx, hook.arena_size);
    if (p == nullptr) {
      hook.budget = 0;
      return;
    }
    hook.budget -= hook.arena_size;
    hook.ahead[hook.ahead_count++] = p;
    const std::size_t size = hook.arena_size;
    run_in_pool([p, size] {
      hook.faulting->run([p, size] {
        if (madvise(p, size, MADV_POPULATE_WRITE) != 0 && errno == EINVAL) unsupported = true;
      });
    });
  }
}

void* arena_alloc(void*, std::size_t size) noexcept {
  if (!hook.active) return hook.next.alloc(hook.next.ctx, size);
  if (hook.arena_size == 0) hook.arena_size = size;
  if (size != hook.arena_size) return hook.next.alloc(hook.next.ctx, size);
  void* p = nullptr;
  if (hook.ahead_count > 0) {
    p = hook.ahead[0];
    std::copy(hook.ahead.begin() + 1, hook.ahead.begin() + hook.ahead_count, hook.ahead.begin());
    --hook.ahead_count;
  } else {
    p = hook.next.alloc(hook.next.ctx, size);
  }
  try {
    map_ahead();
  } catch (...) {
    // The pool could not take the task; the arena is then simply not
    // faulted in ahead.
  }
  return p;
}

void arena_free(void*, void* p, std::size_t size) noexcept {
  // The pool may still be faulting this arena in.
  if (hook.active) wait_for_faults();
  hook.next.free(hook.next.ctx, p, size);
}

}  // namespace

PrefaultedArenas::PrefaultedArenas(std::size_t bytes) {
#ifdef Py_GIL_DISABLED
  // Threads then allocate at once, and not from these arenas.
  (void)bytes;
#else
  // Without a worker, the faults would only be taken later by the same thread.
  if (bytes / kArenaGuess < kMinArenas || unsupported || hook.active || pool().max_concurrency() < 2) return;
  hook.faulting = new tbb::task_group;
  if (!hook.installed) {
    PyObject_GetArenaAllocator(&hook.next);
    PyObjectArenaAllocator ours{nullptr, arena_alloc, arena_free};
    PyObject_SetArenaAllocator(&ours);
    hook.installed = true;
  }
  hook.budget = bytes;
  hook.arena_size = 0;
  hook.active = true;
  active_ = true;
#endif
}

PrefaultedArenas::~PrefaultedArenas() {
  if (!active_) return;
  wait_for_faults();
  hook.active = false;
  for (std::size_t i = 0; i < hook.ahead_count; ++i) hook.next.free(hook.next.ctx, hook.ahead[i], hook.arena_size);
  hook.ahead_count = 0;
  delete hook.faulting;
  hook.faulting = nullptr;
  // Put back what was there, unless something was put on top of ours since:
  // ours then stays in its chain, passing every call on.
  PyObjectArenaAllocator now;
  PyObject_GetArenaAllocator(&now);
  if (now.alloc == arena_alloc) {
    PyObject_SetArenaAllocator(&hook.next);
    hook.installed = false;
  }
}

}  // namespace dorvik

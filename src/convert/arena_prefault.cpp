#include "convert/arena_prefault.hpp"

#include <Python.h>

#include <algorithm>
#include <array>
#include <atomic>

#include <oneapi/tbb/task_group.h>

#include "engine/fault_in.hpp"
#include "engine/pool.hpp"

namespace dorvik {

namespace {

// Arenas mapped ahead of the interpreter's requests: enough for the pool to
// keep ahead of the calling thread, few enough that those left over cost
// little.
constexpr std::size_t kAhead = 3;
// The size of CPython's arenas on 64-bit systems. The same allocator also
// serves other requests (frame stacks, for one), which are passed on as
// they are; so would arenas of another size be.
constexpr std::size_t kArenaSize = std::size_t{1} << 20;
constexpr std::size_t kMinArenas = 8;

// The allocator is the whole process's: threads of interpreters with a GIL
// of their own call it while a decode runs. Only the thread that owns the
// prefaulting takes arenas mapped ahead; every other call is passed on.
// Once installed, the hook stays: taking it out and putting it back would
// race with those threads, and installing takes a lock that may let go of
// the interpreter meanwhile.
struct Hook {
  PyObjectArenaAllocator next{};  // what was in place before ours; set once
  bool installed = false;
  // The owner's fields below are its alone while it owns them.
  std::size_t budget = 0;  // bytes that may still be mapped ahead
  std::array<void*, kAhead> ahead{};  // mapped and being faulted in, oldest first
  std::size_t ahead_count = 0;
  tbb::task_group* faulting = nullptr;
};
Hook hook;
// A thread's own address for telling threads apart: that of its `me`.
std::atomic<const void*> owner{nullptr};
thread_local const char me = 0;
std::atomic<bool> unsupported{false};

bool owned_here() { return owner.load(std::memory_order_acquire) == &me; }

void wait_for_faults() {
  run_in_pool([] { hook.faulting->wait(); });
}

void map_ahead() {
  while (hook.ahead_count < kAhead && hook.budget >= kArenaSize) {
    void* p = hook.next.alloc(hook.next.ctx, kArenaSize);
    if (p == nullptr) {
      hook.budget = 0;
      return;
    }
    hook.budget -= kArenaSize;
    hook.ahead[hook.ahead_count++] = p;
    run_in_pool([p] {
      hook.faulting->run([p] {
        if (!fault_in(p, kArenaSize)) unsupported = true;
      });
    });
  }
}

void* arena_alloc(void*, std::size_t size) noexcept {
  if (size != kArenaSize || !owned_here()) return hook.next.alloc(hook.next.ctx, size);
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
  if (size == kArenaSize && owned_here()) {
    // The pool may still be faulting this arena in.
    try {
      wait_for_faults();
    } catch (...) {
      return;  // kept mapped: leaked rather than unmapped under the pool
    }
  }
  hook.next.free(hook.next.ctx, p, size);
}

}  // namespace

PrefaultedArenas::PrefaultedArenas(std::size_t bytes) {
#ifdef Py_GIL_DISABLED
  // Threads then allocate at once, and not from these arenas.
  (void)bytes;
#else
  // Without a worker, the faults would only be taken later by the same thread.
  if (bytes / kArenaSize < kMinArenas || unsupported || pool().max_concurrency() < 2) return;
  const void* none = nullptr;
  if (!owner.compare_exchange_strong(none, &me, std::memory_order_acq_rel)) return;  // another decode has it
  try {
    hook.faulting = new tbb::task_group;
  } catch (...) {
    owner.store(nullptr, std::memory_order_release);
    return;  // the decode goes on without
  }
  hook.budget = bytes;
  if (!hook.installed) {
    hook.installed = true;
    PyObject_GetArenaAllocator(&hook.next);
    PyObjectArenaAllocator ours{nullptr, arena_alloc, arena_free};
    PyObject_SetArenaAllocator(&ours);
  }
  active_ = true;
#endif
}

PrefaultedArenas::~PrefaultedArenas() {
  if (!active_) return;
  wait_for_faults();
  for (std::size_t i = 0; i < hook.ahead_count; ++i) hook.next.free(hook.next.ctx, hook.ahead[i], kArenaSize);
  hook.ahead_count = 0;
  delete hook.faulting;
  hook.faulting = nullptr;
  owner.store(nullptr, std::memory_order_release);
}

}  // namespace dorvik

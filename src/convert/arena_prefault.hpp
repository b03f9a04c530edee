// Fresh memory for the objects a decode makes, faulted in on the pool.
//
// A decode makes up to millions of small objects on the one thread that
// holds the interpreter. CPython carves them from arenas it maps as it
// needs them, and every 4 KiB page of a fresh arena costs a page fault on
// first write: a third of a big decode's time went there. While a
// PrefaultedArenas lives, the interpreter's arena allocator hands out
// arenas that it mapped a little ahead and had the pool fault in
// (MADV_POPULATE_WRITE, which fills the page tables and writes nothing),
// so that the calling thread mostly finds its pages mapped. Arenas come
// from, and go back to, the allocator that was in place, always on the
// calling thread; a freed arena is first waited for, so the pool never
// touches memory that has been unmapped. The hook, once installed, stays
// and passes every other call on.
#pragma once

#include <cstddef>

namespace dorvik {

class PrefaultedArenas {
 public:
  // `bytes`: about how much the coming objects take. Below a few arenas'
  // worth, with no worker to fault them in, or while another thread's
  // decode does the same, it does nothing.
  explicit PrefaultedArenas(std::size_t bytes);
  // Waits for the pool and unmaps the arenas not handed out.
  ~PrefaultedArenas();

  PrefaultedArenas(const PrefaultedArenas&) = delete;
  PrefaultedArenas& operator=(const PrefaultedArenas&) = delete;

 private:
  bool active_ = false;
};

}  // namespace dorvik

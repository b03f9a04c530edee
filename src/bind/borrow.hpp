// The per-instance borrow flag: any number of shared borrowers or one
// exclusive borrower. Conflicts fail at once; nothing ever waits. The flag is
// atomic because the module runs without the GIL on free-threaded builds.
#pragma once

#include <atomic>
#include <cstdint>

#include "bind/ref.hpp"

namespace dorvik {

class BorrowFlag {
 public:
  // 0: free; n > 0: n shared borrowers; -1: one exclusive borrower.
  std::atomic<std::intptr_t> state{0};
};

class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
    std::intptr_t cur = flag_.state.load(std::memory_order_relaxed);
    do {
      if (cur < 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        throw PyError{};
      }
    } while (!flag_.state.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire,
                                                std::memory_order_relaxed));
  }
  ~SharedBorrow() { flag_.state.fetch_sub(1, std::memory_order_release); }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  BorrowFlag& flag_;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
    std::intptr_t expected = 0;
    if (!flag_.state.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      throw PyError{};
    }
  }
  ~ExclusiveBorrow() { flag_.state.store(0, std::memory_order_release); }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  BorrowFlag& flag_;
};

}  // namespace dorvik

// Big object arrays whose cells are left as the memory held them.
//
// NumPy clears every new object array, so that its cells read as NULL; for
// a decode's result, whose cells are all set at once afterwards, that is a
// pass over tens of megabytes on the one thread the decode waits for.
#pragma once

#include <cstddef>

#include "bind/numpy.hpp"

namespace dorvik {

// A new object array of `dims`. From `min_bytes` of cells on, and while
// NumPy's own allocator is the one in place, its cells are unset: the caller
// must set every one, or make them NULL, before anything else reads or frees
// the array. Otherwise, and for smaller arrays, they are NULL.
Ref new_object_array_unset(int nd, npy_intp* dims, std::size_t min_bytes);

// Makes `n` cells from `cells` on NULL when a failure unwinds past it before
// dismiss(). The cells must hold no reference of their own by then.
class NullOnFailure {
 public:
  NullOnFailure(PyObject** cells, std::size_t n) : cells_(cells), n_(n) {}
  ~NullOnFailure();
  NullOnFailure(const NullOnFailure&) = delete;
  NullOnFailure& operator=(const NullOnFailure&) = delete;

  void dismiss() { cells_ = nullptr; }

 private:
  PyObject** cells_;
  std::size_t n_;
};

}  // namespace dorvik

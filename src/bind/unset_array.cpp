#include "bind/unset_array.hpp"

#include <algorithm>
#include <cstdint>

namespace dorvik {

namespace {

// A handler that is NumPy's default one in all but calloc, which skips the
// clearing while `unset_wanted` is set, that is, on this thread and only
// inside new_object_array_unset. Were a handler left in place by mistake,
// every array would still get what it asked for.
thread_local bool unset_wanted = false;

PyDataMemAllocator& next(void* ctx) { return *static_cast<PyDataMemAllocator*>(ctx); }

void* handler_malloc(void* ctx, std::size_t size) { return next(ctx).malloc(next(ctx).ctx, size); }

void* handler_calloc(void* ctx, std::size_t nelem, std::size_t elsize) {
  if (!unset_wanted) return next(ctx).calloc(next(ctx).ctx, nelem, elsize);
  if (elsize != 0 && nelem > SIZE_MAX / elsize) return nullptr;
  return next(ctx).malloc(next(ctx).ctx, nelem * elsize);
}

void* handler_realloc(void* ctx, void* p, std::size_t size) { return next(ctx).realloc(next(ctx).ctx, p, size); }

void handler_free(void* ctx, void* p, std::size_t size) { next(ctx).free(next(ctx).ctx, p, size); }

PyDataMem_Handler unset_handler = {
    "dorvik_unset_cells", 1, {nullptr, handler_malloc, handler_calloc, handler_realloc, handler_free}};

// NumPy's default handler, which ours passes calls on to: it lives as long
// as NumPy. NULL if it cannot be read, and then no array is left unset.
PyDataMem_Handler* with_default() {
  static PyDataMem_Handler* handler = [] {
    auto* def = static_cast<PyDataMem_Handler*>(PyCapsule_GetPointer(PyDataMem_DefaultHandler, "mem_handler"));
    if (def == nullptr) {
      PyErr_Clear();
      return static_cast<PyDataMem_Handler*>(nullptr);
    }
    unset_handler.allocator.ctx = &def->allocator;
    return &unset_handler;
  }();
  return handler;
}

struct Wanted {
  Wanted() { unset_wanted = true; }
  ~Wanted() { unset_wanted = false; }
};

}  // namespace

Ref new_object_array_unset(int nd, npy_intp* dims, std::size_t min_bytes) {
  std::size_t bytes = sizeof(PyObject*);
  for (int i = 0; i < nd; ++i) bytes *= static_cast<std::size_t>(dims[i]);
  Ref current = check(PyDataMem_GetHandler());
  // Another handler in place is the user's, and keeps every allocation.
  PyDataMem_Handler* handler = with_default();
  if (bytes < min_bytes || current.get() != PyDataMem_DefaultHandler || handler == nullptr) {
    return check(PyArray_SimpleNew(nd, dims, NPY_OBJECT));
  }
  // A capsule per array, held by the array: nothing is shared between
  // arrays but the handler itself.
  Ref capsule = check(PyCapsule_New(handler, "mem_handler", nullptr));
  Ref before = check(PyDataMem_SetHandler(capsule.get()));
  Ref a;
  {
    const Wanted wanted;
    a = Ref::steal(PyArray_SimpleNew(nd, dims, NPY_OBJECT));
  }
  PyObject* failure = a ? nullptr : PyErr_GetRaisedException();
  Ref restored = Ref::steal(PyDataMem_SetHandler(before.get()));
  if (failure != nullptr) {
    if (!restored) PyErr_Clear();
    PyErr_SetRaisedException(failure);
    throw PyError{};
  }
  if (!restored) {
    // The array goes: its cells are NULL first.
    std::fill_n(static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.get()))),
                PyArray_SIZE(reinterpret_cast<PyArrayObject*>(a.get())), nullptr);
    throw PyError{};
  }
  return a;
}

NullOnFailure::~NullOnFailure() {
  if (cells_ != nullptr) std::fill_n(cells_, n_, nullptr);
}

}  // namespace dorvik

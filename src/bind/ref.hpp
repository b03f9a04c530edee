// Owning references to Python objects. Raw PyObject* appears only at slot
// boundaries; everything in between holds a Ref.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace dorvik {

// Thrown when a Python exception is already set on this thread; the entry
// wrapper lets it travel up unchanged.
struct PyError {};

class Ref {
 public:
  Ref() noexcept = default;
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref old(std::move(*this));
    p_ = std::exchange(other.p_, nullptr);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  // Takes over a new reference.
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Adds a reference of its own to a borrowed object.
  static Ref incref(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// A C-API call returning a new reference or NULL with an exception set.
inline Ref check(PyObject* p) {
  if (p == nullptr) throw PyError{};
  return Ref::steal(p);
}

// A C-API call returning -1 with an exception set.
inline int check_status(int status) {
  if (status == -1) throw PyError{};
  return status;
}

}  // namespace dorvik

#include "bind/errors.hpp"

#include <unistd.h>

#include <cstring>

namespace dorvik {

namespace {

PyObject* panic_type = nullptr;  // one strong reference, kept for the process
PyMutex panic_type_lock{};

}  // namespace

void write_fd(int fd, std::string_view text) noexcept {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n <= 0) return;  // what cannot be written is dropped
    p += n;
    left -= static_cast<size_t>(n);
  }
}

bool init_panic_type() {
  PyMutex_Lock(&panic_type_lock);
  if (panic_type == nullptr) {
    panic_type = PyErr_NewExceptionWithDoc(
        "dorvik.PanicException",
        "An internal failure of dorvik. It derives from BaseException, so that "
        "`except Exception` does not swallow it.",
        PyExc_BaseException, nullptr);
  }
  bool ok = panic_type != nullptr;
  PyMutex_Unlock(&panic_type_lock);
  return ok;
}

std::string take_error_description() {
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  if (!exc) return "unknown error";
  std::string out = "unknown error";
  if (Ref name = Ref::steal(PyType_GetName(Py_TYPE(exc.get())))) {
    if (const char* utf8 = PyUnicode_AsUTF8(name.get())) out = utf8;
  }
  PyErr_Clear();  // from the name query, if it failed
  Ref text = Ref::steal(PyObject_Str(exc.get()));
  Py_ssize_t len = 0;
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &len) : nullptr;
  if (utf8 != nullptr && len > 0) out.append(": ").append(utf8, static_cast<size_t>(len));
  PyErr_Clear();  // from str() of the exception, if it failed
  return out;
}

void panic_with_error(const char* prefix) {
  std::string message = prefix;
  message.append(": ").append(take_error_description());
  throw Panic(message);
}

void raise_panic(const char* message) noexcept {
  PyErr_Clear();
  try {
    write_fd(2, std::string("dorvik: internal failure: ") + message + "\n");
  } catch (...) {
  }
  if (panic_type == nullptr) {
    PyErr_SetString(PyExc_SystemError, message);
    return;
  }
  PyObject* text = PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(strlen(message)), "replace");
  if (text == nullptr) return;
  PyErr_SetObject(panic_type, text);
  Py_DECREF(text);
}

}  // namespace dorvik

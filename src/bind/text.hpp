// Small helpers for Python str objects.
#pragma once

#include <string>
#include <string_view>

#include "bind/ref.hpp"

namespace dorvik {

// The UTF-8 of a str, cached by the str itself; valid while it lives.
inline std::string_view utf8_view(PyObject* str) {
  Py_ssize_t len = 0;
  const char* p = PyUnicode_AsUTF8AndSize(str, &len);
  if (p == nullptr) throw PyError{};
  return {p, static_cast<std::size_t>(len)};
}

inline Ref new_str(std::string_view text) {
  return check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

// The unqualified __name__ of the object's type.
inline std::string type_name(PyObject* obj) {
  Ref name = check(PyType_GetName(Py_TYPE(obj)));
  return std::string(utf8_view(name.get()));
}

}  // namespace dorvik

#include "convert/cell_text.hpp"

#include <algorithm>
#include <cstring>

namespace dorvik {

char* TextArena::allocate(std::size_t n) {
  if (n > left_) {
    const std::size_t size = std::max<std::size_t>(n, std::size_t{1} << 20);
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
    cursor_ = blocks_.back().get();
    left_ = size;
  }
  char* p = cursor_;
  cursor_ += n;
  left_ -= n;
  return p;
}

std::string_view TextArena::copy(std::string_view text) {
  char* p = allocate(text.size());
  if (!text.empty()) std::memcpy(p, text.data(), text.size());
  return {p, text.size()};
}

namespace {

// U+FFFD three times: what a lone surrogate becomes once written with
// "surrogatepass" and read back leniently, one replacement per byte.
constexpr char kSurrogateText[] = "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD";

std::size_t utf8_length(Py_UCS4 c) {
  if (c < 0x80) return 1;
  if (c < 0x800) return 2;
  if (c >= 0xD800 && c <= 0xDFFF) return 9;
  if (c < 0x10000) return 3;
  return 4;
}

char* put_utf8(Py_UCS4 c, char* o) {
  if (c < 0x80) {
    *o++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *o++ = static_cast<char>(0xC0 | (c >> 6));
    *o++ = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c >= 0xD800 && c <= 0xDFFF) {
    std::memcpy(o, kSurrogateText, 9);
    o += 9;
  } else if (c < 0x10000) {
    *o++ = static_cast<char>(0xE0 | (c >> 12));
    *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *o++ = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *o++ = static_cast<char>(0xF0 | (c >> 18));
    *o++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *o++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  return o;
}

// `allocate(n)` gives room for n bytes.
template <class Unit, class Allocate>
std::string_view encode_units(const Unit* units, Py_ssize_t n, Allocate&& allocate) {
  std::size_t size = 0;
  for (Py_ssize_t i = 0; i < n; ++i) size += utf8_length(units[i]);
  char* start = allocate(size);
  char* o = start;
  for (Py_ssize_t i = 0; i < n; ++i) o = put_utf8(units[i], o);
  return {start, size};
}

template <class Allocate>
std::string_view encode_str(PyObject* str, Allocate&& allocate) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
  const void* data = PyUnicode_DATA(str);
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
      return encode_units(static_cast<const Py_UCS1*>(data), n, allocate);
    case PyUnicode_2BYTE_KIND:
      return encode_units(static_cast<const Py_UCS2*>(data), n, allocate);
    default:
      return encode_units(static_cast<const Py_UCS4*>(data), n, allocate);
  }
}

std::string_view encode_str(PyObject* str, TextArena& arena) {
  return encode_str(str, [&](std::size_t n) { return arena.allocate(n); });
}

}  // namespace

std::string_view str_utf8(PyObject* str, TextArena& arena) {
  if (PyUnicode_IS_ASCII(str)) return ascii_bytes(str);
  return encode_str(str, arena);
}

std::string_view str_utf8(PyObject* str, std::string& buffer) {
  if (PyUnicode_IS_ASCII(str)) return ascii_bytes(str);
  return encode_str(str, [&](std::size_t n) {
    buffer.resize(n);
    return buffer.data();
  });
}

std::string_view str_utf8_copy(PyObject* str, TextArena& arena) {
  if (PyUnicode_IS_ASCII(str)) return arena.copy(str_utf8(str, arena));
  return encode_str(str, arena);
}

}  // namespace dorvik

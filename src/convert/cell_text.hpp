// UTF-8 texts of Python str objects, without going through the
// interpreter's UTF-8 cache (which would grow the caller's strings).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bind/ref.hpp"

namespace dorvik {

// Storage for texts that cannot be viewed in place: blocks that never move,
// freed together at the end of the call.
class TextArena {
 public:
  char* allocate(std::size_t n);
  std::string_view copy(std::string_view text);

 private:
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* cursor_ = nullptr;
  std::size_t left_ = 0;
};

// The UTF-8 of a str. An ASCII str is viewed in place (the caller keeps it
// alive); any other is encoded into `arena`, each lone surrogate becoming
// three U+FFFD.
std::string_view str_utf8(PyObject* str, TextArena& arena);

// The bytes of an ASCII str, which are its UTF-8, where the str holds them.
inline std::string_view ascii_bytes(PyObject* str) {
  return {static_cast<const char*>(PyUnicode_DATA(str)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(str))};
}

// As str_utf8, but a non-ASCII str is encoded into `buffer`, which the next
// call overwrites: for texts that are only looked up.
std::string_view str_utf8(PyObject* str, std::string& buffer);

// As str_utf8, but always a copy in `arena`, for strings about to be dropped.
std::string_view str_utf8_copy(PyObject* str, TextArena& arena);

}  // namespace dorvik

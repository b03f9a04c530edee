// The pickled form of an Encoder's state: fixed-width little-endian fields,
// no header. Plain C++, so that the reader can be fuzzed on its own.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "api/state.hpp"

namespace dorvik {

// A state that cannot be read; what() is the reader's error text.
struct StateError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Exactly sized, one allocation. Cannot fail for any state.
std::string write_state(const EncoderState& state);

// Reads a state from the start of `bytes`; bytes after it are ignored.
// Throws StateError. Reserves at most 1 MiB ahead of the data it has read.
EncoderState read_state(std::string_view bytes);

}  // namespace dorvik

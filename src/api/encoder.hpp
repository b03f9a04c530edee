// The Encoder class.
#pragma once

#include "bind/ref.hpp"

namespace dorvik {

// The type object, created on first use and kept for the process; a
// borrowed reference, or NULL with an error set.
PyObject* encoder_type();

}  // namespace dorvik

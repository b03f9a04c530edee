// Input conversion: the caller's object to (OUT, matrix, optional fit).
#pragma once

#include <optional>

#include "bind/ref.hpp"
#include "convert/out.hpp"
#include "engine/encoding_info.hpp"
#include "engine/matrix.hpp"

namespace dorvik {

struct Converted {
  OUT out;
  Matrix matrix;
  std::optional<EncodingInfo> info;  // present exactly when read cell by cell
  Ref backing;  // a float64 array sharing the matrix's cells, if there is one
};

// Accepts a 2-D numpy.ndarray (or memmap) or a pandas.DataFrame. Must be
// called with the interpreter attached; never changes `obj`.
Converted pyany_to_vec(PyObject* obj);

}  // namespace dorvik

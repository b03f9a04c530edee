// Output conversion: the matrix back into an ndarray or a DataFrame.
#pragma once

#include "bind/ref.hpp"
#include "convert/out.hpp"
#include "engine/encoding_info.hpp"
#include "engine/matrix.hpp"

namespace dorvik {

// Builds a new float64 ndarray or DataFrame from `matrix`; with `info`, the
// recorded text columns are decoded back into texts. `backing`, a
// Fortran-ordered float64 array holding the matrix's cells that nothing else
// uses, becomes a DataFrame result's data without a copy.
Ref arr_to_out(const Matrix& matrix, OUT&& out, const EncodingInfo* info, Ref backing = Ref());

}  // namespace dorvik

// Output conversion: the matrix back into an ndarray or a DataFrame.
#pragma once

#include "bind/ref.hpp"
#include "convert/out.hpp"
#include "engine/encoding_info.hpp"
#include "engine/matrix.hpp"

namespace dorvik {

// Builds a new float64 ndarray or DataFrame from `matrix`; with `info`, the
// recorded text columns are decoded back into texts.
Ref arr_to_out(const Matrix& matrix, OUT&& out, const EncodingInfo* info);

}  // namespace dorvik

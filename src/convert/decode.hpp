// Decoding: the recorded text columns of a float container back into texts.
#pragma once

#include <string>
#include <vector>

#include "bind/ref.hpp"
#include "engine/encoding_info.hpp"
#include "engine/matrix.hpp"

namespace dorvik {

// An object array of the matrix's cells, with texts in the text columns.
Ref decode_array(const Matrix& matrix, const EncodingInfo& info);

// A DataFrame of the matrix's cells, with texts in the text columns.
Ref decode_frame(const Matrix& matrix, const std::vector<std::string>& labels, const EncodingInfo& info);

}  // namespace dorvik

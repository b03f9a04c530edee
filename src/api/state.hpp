// What an Encoder instance keeps between calls.
#pragma once

#include <optional>

#include "engine/encoding_info.hpp"

namespace dorvik {

// Field order matters: it is the order of the pickled form.
struct EncoderState {
  std::optional<EncodingInfo> encoding_info;  // absent until fitted
  EncodingStrategy encoding_strat = EncodingStrategy::Label;
};

}  // namespace dorvik

// The text of a number collected before its column turned out to hold text.
#pragma once

#include <cstddef>

namespace dorvik {

// Longest text number_text writes: the smallest subnormal in full.
inline constexpr std::size_t kNumberTextMax = 400;

// The shortest digits that read back as `x`, positional, never with an
// exponent: "1", "-0", "2.5", "1000000000000000000000", "0.0000001",
// "inf", "-inf", "NaN". Returns the length written to `out`.
std::size_t number_text(double x, char* out);

}  // namespace dorvik

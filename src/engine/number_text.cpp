#include "engine/number_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace dorvik {

std::size_t number_text(double x, char* out) {
  if (std::isnan(x)) return std::strlen(std::strcpy(out, "NaN"));
  if (std::isinf(x)) return std::strlen(std::strcpy(out, x > 0 ? "inf" : "-inf"));

  // Shortest round-trip digits come from the scientific form; they are then
  // laid out positionally (fixed-form to_chars would print the exact binary
  // value of large integers rather than the shortest digits).
  char sci[64];
  const auto res = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific);
  const char* p = sci;
  char* o = out;
  if (*p == '-') *o++ = *p++;
  char digits[32];
  std::size_t nd = 0;
  for (; p < res.ptr && *p != 'e'; ++p) {
    if (*p != '.') digits[nd++] = *p;
  }
  int exp = 0;  // the decimal point follows digit exp; to_chars writes no terminator
  std::from_chars(p + 1 + (p[1] == '+'), res.ptr, exp);
  // Leading digit is never 0 except for zero itself, which has one digit.
  const long point = 1L + exp;
  if (point <= 0) {
    *o++ = '0';
    *o++ = '.';
    for (long i = 0; i < -point; ++i) *o++ = '0';
    std::memcpy(o, digits, nd);
    o += nd;
  } else if (static_cast<std::size_t>(point) >= nd) {
    std::memcpy(o, digits, nd);
    o += nd;
    for (std::size_t i = nd; i < static_cast<std::size_t>(point); ++i) *o++ = '0';
  } else {
    std::memcpy(o, digits, static_cast<std::size_t>(point));
    o += point;
    *o++ = '.';
    std::memcpy(o, digits + point, nd - static_cast<std::size_t>(point));
    o += nd - static_cast<std::size_t>(point);
  }
  return static_cast<std::size_t>(o - out);
}

}  // namespace dorvik

#include "convert/numeric_array.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

namespace dorvik {

namespace {

template <class T>
T load(const char* p, bool swap) {
  T v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (sizeof v == 1) {
    return v;
  } else if (!swap) {
    return v;
  } else if constexpr (sizeof v == 2) {
    return std::bit_cast<T>(__builtin_bswap16(std::bit_cast<std::uint16_t>(v)));
  } else if constexpr (sizeof v == 4) {
    return std::bit_cast<T>(__builtin_bswap32(std::bit_cast<std::uint32_t>(v)));
  } else {
    return std::bit_cast<T>(__builtin_bswap64(std::bit_cast<std::uint64_t>(v)));
  }
}

// Bit-exact, NaN payloads included, as NumPy widens a half.
double half_to_double(std::uint16_t h) {
  const std::uint64_t sign = static_cast<std::uint64_t>(h >> 15) << 63;
  const std::uint32_t exp = (h >> 10) & 0x1F;
  const std::uint64_t mant = h & 0x3FF;
  if (exp == 0x1F) return std::bit_cast<double>(sign | 0x7FF0000000000000ull | (mant << 42));
  if (exp == 0) {
    const double v = static_cast<double>(mant) * 0x1p-24;  // subnormal or zero: exact
    return sign ? -v : v;
  }
  return std::bit_cast<double>(sign | (static_cast<std::uint64_t>(exp + 1008) << 52) | (mant << 42));
}

template <class Convert>
void fill(PyArrayObject* arr, Matrix& out, Convert&& convert) {
  const char* base = static_cast<const char*>(PyArray_DATA(arr));
  const npy_intp s0 = PyArray_STRIDES(arr)[0];
  const npy_intp s1 = PyArray_STRIDES(arr)[1];
  double* o = out.begin();
  for (std::size_t r = 0; r < out.rows; ++r) {
    const char* row = base + static_cast<npy_intp>(r) * s0;
    for (std::size_t c = 0; c < out.cols; ++c) *o++ = convert(row + static_cast<npy_intp>(c) * s1);
  }
}

template <class T>
void fill_as(PyArrayObject* arr, Matrix& out, bool swap) {
  fill(arr, out, [swap](const char* p) { return static_cast<double>(load<T>(p, swap)); });
}

}  // namespace

bool read_numeric_array(PyArrayObject* arr, Matrix& out) {
  const PyArray_Descr* d = PyArray_DESCR(arr);
  const bool swap = !PyArray_ISNBO(d->byteorder);
  switch (d->type_num) {
    case NPY_BOOL:
      fill(arr, out, [](const char* p) { return *p ? 1.0 : 0.0; });
      return true;
    case NPY_BYTE: fill_as<npy_byte>(arr, out, swap); return true;
    case NPY_UBYTE: fill_as<npy_ubyte>(arr, out, swap); return true;
    case NPY_SHORT: fill_as<npy_short>(arr, out, swap); return true;
    case NPY_USHORT: fill_as<npy_ushort>(arr, out, swap); return true;
    case NPY_INT: fill_as<npy_int>(arr, out, swap); return true;
    case NPY_UINT: fill_as<npy_uint>(arr, out, swap); return true;
    case NPY_LONG: fill_as<npy_long>(arr, out, swap); return true;
    case NPY_ULONG: fill_as<npy_ulong>(arr, out, swap); return true;
    case NPY_LONGLONG: fill_as<npy_longlong>(arr, out, swap); return true;
    case NPY_ULONGLONG: fill_as<npy_ulonglong>(arr, out, swap); return true;
    case NPY_FLOAT: fill_as<npy_float>(arr, out, swap); return true;
    case NPY_DOUBLE: fill_as<npy_double>(arr, out, swap); return true;
    case NPY_HALF:
      fill(arr, out, [swap](const char* p) { return half_to_double(load<std::uint16_t>(p, swap)); });
      return true;
    default:
      return false;
  }
}

}  // namespace dorvik

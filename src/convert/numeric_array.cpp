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

// A block of cells: `rows` x `cols` values read with the given byte strides
// and written to out[r * out_row + c * out_col].
struct Block {
  const char* base;
  npy_intp row_stride;
  npy_intp col_stride;
  std::size_t rows;
  std::size_t cols;
  double* out;
  std::size_t out_row;
  std::size_t out_col;
};

template <class Convert>
void fill(const Block& b, Convert&& convert) {
  // Column by column: each column of the output is one run.
  for (std::size_t c = 0; c < b.cols; ++c) {
    const char* col = b.base + static_cast<npy_intp>(c) * b.col_stride;
    double* o = b.out + c * b.out_col;
    for (std::size_t r = 0; r < b.rows; ++r) o[r * b.out_row] = convert(col + static_cast<npy_intp>(r) * b.row_stride);
  }
}

template <class T>
void fill_as(const Block& b, bool swap) {
  fill(b, [swap](const char* p) { return static_cast<double>(load<T>(p, swap)); });
}

bool read_block(const PyArray_Descr* d, const Block& b) {
  const bool swap = !PyArray_ISNBO(d->byteorder);
  switch (d->type_num) {
    case NPY_BOOL:
      fill(b, [](const char* p) { return *p ? 1.0 : 0.0; });
      return true;
    case NPY_BYTE: fill_as<npy_byte>(b, swap); return true;
    case NPY_UBYTE: fill_as<npy_ubyte>(b, swap); return true;
    case NPY_SHORT: fill_as<npy_short>(b, swap); return true;
    case NPY_USHORT: fill_as<npy_ushort>(b, swap); return true;
    case NPY_INT: fill_as<npy_int>(b, swap); return true;
    case NPY_UINT: fill_as<npy_uint>(b, swap); return true;
    case NPY_LONG: fill_as<npy_long>(b, swap); return true;
    case NPY_ULONG: fill_as<npy_ulong>(b, swap); return true;
    case NPY_LONGLONG: fill_as<npy_longlong>(b, swap); return true;
    case NPY_ULONGLONG: fill_as<npy_ulonglong>(b, swap); return true;
    case NPY_FLOAT: fill_as<npy_float>(b, swap); return true;
    case NPY_DOUBLE: fill_as<npy_double>(b, swap); return true;
    case NPY_HALF:
      fill(b, [swap](const char* p) { return half_to_double(load<std::uint16_t>(p, swap)); });
      return true;
    default:
      return false;
  }
}

}  // namespace

bool is_plain_numeric(const PyArray_Descr* dtype) {
  switch (dtype->type_num) {
    case NPY_BOOL: case NPY_BYTE: case NPY_UBYTE: case NPY_SHORT: case NPY_USHORT:
    case NPY_INT: case NPY_UINT: case NPY_LONG: case NPY_ULONG: case NPY_LONGLONG:
    case NPY_ULONGLONG: case NPY_FLOAT: case NPY_DOUBLE: case NPY_HALF:
      return true;
    default:
      return false;
  }
}

bool read_numeric_array(PyArrayObject* arr, Matrix& out) {
  return read_block(PyArray_DESCR(arr),
                    {static_cast<const char*>(PyArray_DATA(arr)), PyArray_STRIDES(arr)[0],
                     PyArray_STRIDES(arr)[1], out.rows, out.cols, out.begin(), out.row_step(),
                     out.col_step()});
}

bool read_numeric_column(PyArrayObject* arr, Matrix& out, std::size_t col) {
  return read_block(PyArray_DESCR(arr), {static_cast<const char*>(PyArray_DATA(arr)),
                                         PyArray_STRIDES(arr)[0], 0, out.rows, 1,
                                         out.begin() + col * out.col_step(), out.row_step(), 0});
}

}  // namespace dorvik

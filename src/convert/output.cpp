#include "convert/output.hpp"

#include "bind/numpy.hpp"
#include "convert/decode.hpp"
#include "convert/frame.hpp"

namespace dorvik {

namespace {

// A new float64 array of the matrix's cells: C order, or Fortran order for
// pandas, which then keeps each column's values together without a transpose.
Ref new_float_array(const Matrix& m, bool fortran) {
  double* out = nullptr;
  Ref a = new_float64_matrix(m.rows, m.cols, fortran, out);
  copy_cells(m, out, fortran);
  return a;
}

}  // namespace

Ref arr_to_out(const Matrix& matrix, OUT&& out, const EncodingInfo* info, Ref backing) {
  const OUT kind = std::move(out);  // released on every path
  if (std::holds_alternative<Numpy>(kind)) {
    if (info == nullptr) return new_float_array(matrix, false);
    return decode_array(matrix, *info);
  }
  const auto& labels = std::get<Pandas>(kind).labels;
  if (info != nullptr && !info->text_columns.empty()) return decode_frame(matrix, labels, *info);
  return new_frame(backing ? std::move(backing) : new_float_array(matrix, true), labels);
}

}  // namespace dorvik

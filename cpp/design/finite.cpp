#include "design/finite.h"

#include <cmath>

#include "util/format.h"

namespace vorel {

Status check_finite_columns(const XView& x, const std::vector<u64>& cols) {
  for (u64 c : cols)
    if (c >= x.cols) return fail(VorelError::internal("check_finite_columns: column out of range"));
  // Scan column by column (cache friendly for the usual column-major x), keeping the earliest
  // offending row; a later column in the list only wins at a strictly earlier row.
  std::size_t best_row = x.rows;
  std::size_t best_pos = 0;
  for (std::size_t pos = 0; pos < cols.size(); ++pos) {
    const double* p = x.data + static_cast<std::ptrdiff_t>(cols[pos]) * x.col_stride;
    for (std::size_t i = 0; i < best_row; ++i) {
      if (!std::isfinite(p[static_cast<std::ptrdiff_t>(i) * x.row_stride])) {
        best_row = i;
        best_pos = pos;
        break;
      }
    }
  }
  if (best_row == x.rows) return {};
  const double v = x.at(best_row, cols[best_pos]);
  return fail(VorelError::invalid("x must be finite in the columns the model reads; got x[" +
                                  fmt_u64(best_row) + ", " + fmt_u64(cols[best_pos]) + "]=" + fmt_real(v)));
}

}  // namespace vorel

// A read-only view of a caller's 2-D float64 array in any layout (strides in elements, possibly
// negative or zero). The core never copies the whole covariate matrix: designs read the
// columns they need through this view.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/eigen.h"

namespace vorel {

struct XView {
  const double* data = nullptr;  // address of element (0, 0)
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::ptrdiff_t row_stride = 0;  // elements between (i, j) and (i + 1, j)
  std::ptrdiff_t col_stride = 0;  // elements between (i, j) and (i, j + 1)

  double at(std::size_t i, std::size_t j) const {
    if (i >= rows || j >= cols) throw InternalFault("XView index out of range");
    return data[static_cast<std::ptrdiff_t>(i) * row_stride +
                static_cast<std::ptrdiff_t>(j) * col_stride];
  }
  // Copy of column j (n values).
  Vec column(std::size_t j) const {
    if (j >= cols) throw InternalFault("XView column out of range");
    Vec out(static_cast<Eigen::Index>(rows));
    const double* p = data + static_cast<std::ptrdiff_t>(j) * col_stride;
    for (std::size_t i = 0; i < rows; ++i) out[static_cast<Eigen::Index>(i)] =
        p[static_cast<std::ptrdiff_t>(i) * row_stride];
    return out;
  }
  // View of a single column as an n x 1 matrix (used by the additive predictor).
  XView column_view(std::size_t j) const {
    if (j >= cols) throw InternalFault("XView column out of range");
    return XView{data + static_cast<std::ptrdiff_t>(j) * col_stride, rows, 1, row_stride, 0};
  }
  // View of a dense column-major matrix.
  static XView of(const Mat& m) {
    return XView{m.data(), static_cast<std::size_t>(m.rows()), static_cast<std::size_t>(m.cols()),
                 1, static_cast<std::ptrdiff_t>(m.rows())};
  }
};

}  // namespace vorel

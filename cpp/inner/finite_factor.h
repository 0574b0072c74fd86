// The bundled LAPACK factorises a matrix with NaN entries without complaint (its pivot test is a
// plain "<= 0" comparison), so a NaN would travel through the factor into coefficients and
// scores that look like a successful fit. The inner solvers check the pivots themselves.
#pragma once

#include <cmath>

#include "util/eigen.h"

namespace vorel {

// 0 when every diagonal entry of the factor is finite and positive; otherwise the 1-based order of
// the first bad pivot, the value LAPACK's info would have carried.
inline int first_bad_pivot(const Mat& L) {
  for (Eigen::Index k = 0; k < L.rows(); ++k) {
    const double v = L(k, k);
    if (!(std::isfinite(v) && v > 0.0)) return static_cast<int>(k + 1);
  }
  return 0;
}

}  // namespace vorel

// Hessian of a score as central differences of its gradient, shared by every score.
#pragma once

#include <utility>

#include "util/eigen.h"
#include "util/error.h"

namespace vorel {

// Each off-diagonal pair replaced by its mean, so the result is exactly symmetric.
inline void symmetrize(Mat& h) {
  for (Eigen::Index i = 0; i < h.rows(); ++i)
    for (Eigen::Index j = i + 1; j < h.cols(); ++j) {
      const double avg = 0.5 * (h(i, j) + h(j, i));
      h(i, j) = avg;
      h(j, i) = avg;
    }
}

// Column i is (g(z + step e_i) - g(z - step e_i)) / (2 step), the + side evaluated first; then
// symmetrized. `gradient(z)` returns Result<Vec>; its first error is returned.
template <class GradientFn>
Result<Mat> central_difference_hessian(const Vec& z, double step, GradientFn&& gradient) {
  const Eigen::Index m = z.size();
  Mat h(m, m);
  for (Eigen::Index i = 0; i < m; ++i) {
    Vec plus = z, minus = z;
    plus[i] += step;
    minus[i] -= step;
    VOREL_TRY(Vec up, gradient(plus));
    VOREL_TRY(Vec down, gradient(minus));
    h.col(i) = (up - down) / (2.0 * step);
  }
  symmetrize(h);
  return h;
}

}  // namespace vorel

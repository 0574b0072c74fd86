#include "design/penalty_rank.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "util/lapack.h"

namespace vorel {

Result<PenaltyRankLogDet> penalty_rank_log_det(const Mat& s) {
  if (s.rows() != s.cols()) return fail(VorelError::internal("penalty eigendecomposition failed"));
  auto ev = lapack::symmetric_eigenvalues(s);
  if (!ev) return fail(VorelError::internal("penalty eigendecomposition failed"));
  PenaltyRankLogDet out;
  if (ev->size() == 0) return out;
  // Maxima ignore NaN: start from the smallest and keep only values that compare larger.
  double lmax = -std::numeric_limits<double>::infinity();
  for (double v : *ev)
    if (v > lmax) lmax = v;
  const double tau = 1e-10 * std::max(lmax, 1.0);
  for (double v : *ev) {
    if (v > tau) {
      ++out.rank;
      out.log_det += std::log(v);
    }
  }
  return out;
}

}  // namespace vorel

// Rank and log pseudo-determinant of a penalty, as the score needs them.
#pragma once

#include "util/eigen.h"
#include "util/error.h"

namespace vorel {

struct PenaltyRankLogDet {
  u64 rank = 0;
  double log_det = 0.0;
};

// Symmetric eigen-decomposition of (a copy of) s, lower triangle read. The rank counts the
// eigenvalues above 1e-10 * max(lambda_max, 1); log_det sums their natural logs in ascending
// order. A failed decomposition is an internal fault ("penalty eigendecomposition failed").
Result<PenaltyRankLogDet> penalty_rank_log_det(const Mat& s);

}  // namespace vorel

// The record every design build returns to the fit drivers.
#pragma once

#include <vector>

#include "design/predictor.h"
#include "util/eigen.h"

namespace vorel {

// The rows/columns [first, first + width) of the model matrix on which a penalty is non-zero.
// Penalties are stored full-size (p x p) but every product with them is taken on this block.
struct PenaltySpan {
  Eigen::Index first = 0;
  Eigen::Index width = 0;
};

struct Design {
  Predictor predictor;
  std::vector<Mat> penalties;            // p x p each, zero outside its span
  std::vector<u64> penalty_ranks;
  std::vector<double> penalty_log_dets;
  Mat x;                                 // n x p model matrix [1 | C_1 | C_2 | ...]
  u64 null_space_dim = 0;
  std::vector<PenaltySpan> penalty_spans;  // one per penalty
};

}  // namespace vorel

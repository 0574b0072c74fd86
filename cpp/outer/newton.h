// Damped Newton search over the log smoothing parameters (or any joint vector that a score
// function is defined on): positive-definite Hessian fix, step cap, backtracking line search.
#pragma once

#include <functional>

#include "util/eigen.h"
#include "util/error.h"

namespace vorel {

struct ScoreWithHessian {
  double value = 0.0;
  Vec gradient;
  Mat hessian;  // symmetric
};

struct OuterResult {
  Vec rho;               // the point reached
  double value = 0.0;    // score at rho
  u64 iterations = 0;    // Newton steps started
  bool converged = false;
};

using ScoreFn = std::function<Result<ScoreWithHessian>(const Vec&)>;

// Minimises f from `start`. Error: the first evaluation's error, or NotConverged {50, |g|max}
// after 50 accepted steps. A failing trial evaluation only rejects that trial.
Result<OuterResult> optimize(const ScoreFn& f, Vec start);

// optimize from rho = 0 (m components).
Result<OuterResult> optimize_rho(const ScoreFn& f, u64 m);

// m = 1: [max(h, 1e-8)]; m >= 2: the symmetric part with eigenvalues floored at 1e-8 (NaN
// eigenvalues count as 1e-8); if the eigen-decomposition fails, the symmetric part with its
// diagonal floored at 1e-8.
Mat make_positive_definite(const Mat& H);

// max |v_k|, NaN entries ignored (0 for an empty vector).
double max_abs_ignoring_nan(const Vec& v);

}  // namespace vorel

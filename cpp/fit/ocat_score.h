// The joint restricted-likelihood score of the ordered categorical family over
// z = (rho, theta_1 .. theta_{R-2}): every evaluation rebuilds the cut points from z, refits by
// full Newton at rho = z[0] and scores the fit. The thresholds have no analytic gradient, so their
// components are central differences of the value and the Hessian is a central difference of the
// whole gradient.
#pragma once

#include "family/ocat.h"
#include "inner/problem.h"
#include "outer/newton.h"
#include "util/eigen.h"
#include "util/error.h"

namespace vorel {

struct OcatJointScore {
  const FitProblem& problem;  // one penalty; outlives the score
  u64 n_cats = 3;

  // The family value that z describes (thresholds = z[1..]).
  Ocat family_at(const Vec& z) const;
  // Full-Newton inner fit at z.
  Result<InnerFit> inner_fit(const Vec& z) const;
  // V(z) = (lambda b + D)/2 + log|A|/2 - (log|S|+ + r rho)/2 - M_p log(2 pi)/2.
  Result<double> value(const Vec& z) const;
  // (V, g): g[0] the envelope gradient in rho, g[1..] central differences of V (step 1e-5).
  Result<std::pair<double, Vec>> value_and_gradient(const Vec& z) const;
  // The objective of the outer search: (V, g) and the symmetrised central difference (step 1e-4)
  // of the gradient in every coordinate. Any failed inner fit fails the evaluation.
  Result<ScoreWithHessian> value_gradient_hessian(const Vec& z) const;
};

}  // namespace vorel

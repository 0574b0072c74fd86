// Inner fit of the ordered categorical family: full Newton steps on the penalised
// log-likelihood, written as penalised weighted least squares with Newton (observed) weights.
#pragma once

#include "family/ocat.h"
#include "inner/problem.h"
#include "util/eigen.h"
#include "util/error.h"

namespace vorel {

// Halvings allowed per Newton step before the step is taken as it stands (or, for a non-finite
// penalised deviance, the iteration stops).
inline constexpr int kFullNewtonMaxHalvings = 100;

// Maximises the penalised ordered categorical log-likelihood at log smoothing parameters rho.
// Reads problem.x, penalties, y, weights, eta_start (replaces the category midpoints when
// present), max_iter and tol (largest coefficient change). The result's `mu` is the linear
// predictor itself (latent scale) and `factor` is the lower Cholesky factor of
// X^T W X + S_lambda at the returned iterate.
// Error: SingularSystem "Cholesky failed: ..." when a penalised Hessian is not positive definite.
Result<InnerFit> fit_full_newton(const FitProblem& problem, const Ocat& family, const Vec& rho);

}  // namespace vorel

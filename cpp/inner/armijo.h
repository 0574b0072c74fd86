// Inner fit of the extended log-F quantile family: Newton steps written as penalised weighted
// least squares, each followed by a backtracking line search on the penalised loss.
#pragma once

#include "family/elf.h"
#include "inner/problem.h"
#include "util/eigen.h"
#include "util/error.h"

namespace vorel {

// Rejected trials of one line search before the iteration gives up.
inline constexpr int kArmijoMaxHalvings = 20;

// Minimises sum_i d(y_i - x_i beta) + beta^T S_rho beta at log smoothing parameters rho, from
// beta_start (empty: zeros). Reads problem.x, penalties, y, max_iter and tol (largest
// coefficient change); prior weights are not part of the quantile loss. Requires 0 < tau < 1,
// sigma > 0 and lambda > 0. `factor` is the lower Cholesky factor of the ridged penalised Hessian
// X^T W X + S_rho + delta I, delta = 1e-7 max(1, max |A_ii|), at the returned iterate.
// Error: SingularSystem "ELF Cholesky: ..." when that matrix is not positive definite.
Result<InnerFit> fit_armijo(const FitProblem& problem, const Elf& family, const Vec& rho,
                            const Vec& beta_start);

}  // namespace vorel

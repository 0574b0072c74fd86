// Pieces of the quantile (extended log-F) fit path that are worth testing on their own.
#pragma once

#include "family/elf.h"
#include "inner/problem.h"
#include "outer/newton.h"
#include "util/eigen.h"
#include "util/error.h"

namespace vorel {

// The starting coefficients of every inner fit and the loss parameters the fit runs with.
struct ElfStart {
  Vec beta0;          // penalised least squares (e^rho = 1) shifted by the tau-quantile residual
  double sigma = 0.0; // user value when > 0, else chosen from the residual variance
  double lambda = 0.0;// user value when > 0, else sigma
};

// Least squares with the unit-weight penalty, then the shift and the automatic sigma and lambda.
// Reads problem.x, penalties[0] and y. Error: SingularSystem "ELF warm-start Cholesky: ..." when
// X^T X + S is not positive definite.
Result<ElfStart> elf_warm_start(const FitProblem& problem, double tau, double sigma_user,
                                double lambda_user);

// The score of the smoothing-parameter search at rho (one component): Armijo inner fit from
// beta0, the envelope score with the ELF saturated term, and the Hessian from central
// differences (step 1e-5) of the gradient.
Result<ScoreWithHessian> elf_score_with_hessian(const FitProblem& problem, const Elf& family,
                                                const Vec& beta0, const Vec& rho);

}  // namespace vorel

// Closed-form penalised least squares for the Gaussian family (identity link).
#pragma once

#include "inner/problem.h"
#include "util/error.h"

namespace vorel {

// How much of the InnerFit record the caller needs. The score reads only beta, factor and the
// deviance; skipping the n-sized copies (mu, working weights and response) saves three n-vector
// writes per evaluation on the hot path.
enum class InnerDetail { Full, ScoreOnly };

// Solves (X^T W X + S_lambda) beta = X^T W y from the cross-products the driver stored in the
// problem (xtwx, xtwy); X itself is read only for X beta. Error: SingularSystem from the solve.
// With ScoreOnly, `eta`, `mu`, `working_weights` and `working_response` are left empty.
Result<InnerFit> closed_form_fit(const FitProblem& problem, const Vec& rho,
                                 InnerDetail detail = InnerDetail::Full);

}  // namespace vorel

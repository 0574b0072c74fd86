// The Laplace-approximate restricted likelihood score (REML for the Gaussian family, LAML for
// the others) at fixed log smoothing parameters, its envelope gradient and a finite-difference
// Hessian of that gradient. The score is minimised.
#pragma once

#include <functional>

#include "family/family.h"
#include "inner/closed_form.h"
#include "inner/problem.h"
#include "outer/newton.h"
#include "util/eigen.h"
#include "util/error.h"

namespace vorel {

struct ScoreEval {
  double value = 0.0;
  Vec gradient;
};

// The inner solver of a standard family at rho: closed form for Gaussian, PIRLS otherwise.
// Internal error for a family that is not one of the seven standard ones.
Result<InnerFit> standard_inner_fit(const FitProblem& problem, const Family& family, const Vec& rho,
                                    InnerDetail detail = InnerDetail::Full);

// The score and its envelope gradient from an inner fit already done at rho. `saturated_loglik`
// maps the scale phi to the family's saturated log-likelihood term. A degenerate estimated-
// scale evaluation gives the value 1e12 with a zero gradient.
ScoreEval score_from_fit(const FitProblem& problem, const InnerFit& fit, const Vec& rho,
                         ScaleKind scale_kind, const std::function<double(double)>& saturated_loglik,
                         bool refine_gamma_scale = false);

// Inner fit at rho, then score_from_fit with the family's terms. Inner errors pass unchanged.
Result<ScoreEval> score_eval(const FitProblem& problem, const Family& family, const Vec& rho);

// score_eval at rho plus the Hessian from central differences (step 1e-5) of the gradient,
// symmetrised; 2m + 1 inner fits.
Result<ScoreWithHessian> score_with_hessian(const FitProblem& problem, const Family& family,
                                            const Vec& rho);

// Newton's method on the stationarity condition of the Gamma score in phi at fixed rho:
// f(phi) = D_p + M_p phi + 2n (psi(1/phi) + log phi). Steps are clamped to [0.1 phi, 10 phi].
double gamma_scale_newton(double dp, double n, double mp, double phi0);

}  // namespace vorel

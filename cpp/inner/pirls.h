// Penalised iteratively re-weighted least squares with step halving.
//
// The loop is a template over the family struct; a family type `Fam` must provide these const
// members (see family/standard.h for the standard families):
//   double initial_mu(double y)          starting mean
//   double link(double mu)               eta = g(mu), clamped so that it is finite
//   double inverse_link(double eta)      mu = g^-1(eta)
//   double link_derivative(double mu)    g'(mu)
//   double variance(double mu)           V(mu), floored
//   double unit_deviance(double y, double mu)
//   static constexpr LinkKind link_kind
// Working weights are W = w / (V g'^2) and the working response z = eta + (y - mu) g'.
//
// Each iteration solves one penalised weighted least-squares system and accepts the new
// coefficients only when the penalised deviance does not grow by more than a relative
// tolerance (the first iteration accepts any finite step); otherwise the step is halved
// towards the current coefficients, at most 100 times. All n-sized buffers are allocated once
// per call, before the loop.
//
// For InverseGaussian the finished iterate is followed by an observed-information step that
// gives the score an exact log-determinant and a first-component gradient correction.
#pragma once

#include <cmath>
#include <type_traits>
#include <utility>

#include "family/standard.h"
#include "inner/gram.h"
#include "inner/problem.h"
#include "inner/solve.h"
#include "util/eigen.h"
#include "util/error.h"
#include "util/lapack.h"

namespace vorel {

namespace pirls_detail {

inline constexpr double kSqrtEps = 1.4901161193847656e-8;
inline constexpr int kMaxHalvings = 100;

// A failed solve inside the loop is reported with the loop's own prefix.
inline VorelError wrap_solve_error(VorelError e) {
  if (e.kind == ErrorKind::SingularSystem) e.message = "PIRLS factor: " + e.message;
  return e;
}

// Observed-information step of the inverse Gaussian loop; `fit` is the finished iterate and
// `w` the prior weights (nullptr: all ones). Leaves `fit` unchanged where a quantity is not
// finite, as documented on LamlCorrection.
void inverse_gaussian_observed_information(const FitProblem& problem, const Vec* w,
                                           const Mat& s_lambda, Mat& scratch,
                                           InnerFit& fit);

}  // namespace pirls_detail

// true: the candidate must be halved. `all_finite` says whether every eta, mu and unit
// deviance of the candidate is finite.
inline bool halving_predicate(double dp_new, bool all_finite, bool first, double dp_old,
                              double delta) {
  if (!std::isfinite(dp_new)) return true;
  if (!all_finite) return true;
  if (first) return false;
  return dp_new - dp_old > delta;
}

template <class Fam>
Result<InnerFit> pirls(const FitProblem& problem, const Fam& family, const Vec& rho) {
  const Mat& x = problem.x;
  const Vec& y = problem.y;
  const Eigen::Index n = x.rows(), p = x.cols();
  if (y.size() != n || (problem.weights && problem.weights->size() != n))
    throw InternalFault("pirls: response or weights length differs from the rows of x");
  if (problem.eta_start && problem.eta_start->size() != n)
    throw InternalFault("pirls: starting linear predictor has the wrong length");
  const Vec* w = problem.weights ? &*problem.weights : nullptr;
  const Mat s_lambda = penalty_sum(problem, rho);

  // Loop state and candidate buffers, allocated once.
  Vec beta = Vec::Zero(p), beta_new(p);
  Vec eta(n), mu(n), eta_c(n), mu_c(n);
  Vec work_w = Vec::Ones(n);
  Vec work_z = y;
  Vec wz(n), rhs(p);
  Mat scaled, a(p, p), factor;
  bool have_factor = false;

  for (Eigen::Index i = 0; i < n; ++i) eta.coeffRef(i) = family.link(family.initial_mu(y.coeff(i)));
  if (problem.eta_start) eta = *problem.eta_start;
  for (Eigen::Index i = 0; i < n; ++i) mu.coeffRef(i) = family.inverse_link(eta.coeff(i));
  double d_old = family_deviance(family, y, mu, w);
  double dp_old = d_old;

  // eta_c = X beta_c, mu_c, and the deviance of the candidate in one pass after the product.
  auto evaluate = [&](const Vec& b, double& dev, double& dev_pen) -> bool {
    lapack::a_x(x, b, eta_c);
    bool finite = true;
    double d = 0.0;
    for (Eigen::Index i = 0; i < n; ++i) {
      const double e = eta_c.coeff(i);
      const double m = family.inverse_link(e);
      mu_c.coeffRef(i) = m;
      const double ud = family.unit_deviance(y.coeff(i), m);
      if (!std::isfinite(e) || !std::isfinite(m) || !std::isfinite(ud)) finite = false;
      d += w ? w->coeff(i) * ud : ud;
    }
    dev = d;
    dev_pen = d + b.dot(s_lambda * b);
    return finite;
  };

  bool converged = false;
  u64 iterations = 0;
  const u64 max_iter = problem.max_iter;
  for (u64 k = 0; k < max_iter; ++k) {
    // a. working weights and response from the current mean.
    for (Eigen::Index i = 0; i < n; ++i) {
      const double m = mu.coeff(i);
      const double gp = family.link_derivative(m);
      const double v = family.variance(m);
      const double wi = w ? w->coeff(i) : 1.0;
      work_w.coeffRef(i) = wi / (v * gp * gp);
      work_z.coeffRef(i) = eta.coeff(i) + (y.coeff(i) - m) * gp;
    }
    // b. A = X^T W X + S_lambda, r = X^T W z.
    weighted_gram_into(x, &work_w, scaled, a);
    a += s_lambda;
    weighted_xtv_into(x, &work_w, work_z, wz, rhs);
    // c. solve.
    auto sol = solve_penalized(a, rhs);
    if (!sol) return fail(pirls_detail::wrap_solve_error(std::move(sol).error()));
    beta_new = std::move(sol->beta);
    // d-f. candidate, then halving towards the current coefficients.
    double dev = 0.0, dev_pen = 0.0;
    bool finite = evaluate(beta_new, dev, dev_pen);
    const double delta = 10.0 * pirls_detail::kSqrtEps * (std::fabs(dp_old) + 0.1);
    const bool first = (k == 0);
    int halvings = 0;
    while (halving_predicate(dev_pen, finite, first, dp_old, delta) &&
           halvings < pirls_detail::kMaxHalvings) {
      beta_new = 0.5 * (beta_new + beta);
      finite = evaluate(beta_new, dev, dev_pen);
      ++halvings;
    }
    // g. the step cannot be made acceptable: keep the current iterate.
    if (halving_predicate(dev_pen, finite, first, dp_old, delta)) {
      converged = false;
      iterations = k + 1;
      break;
    }
    // h. accept.
    std::swap(beta, beta_new);
    eta.swap(eta_c);
    mu.swap(mu_c);
    factor = std::move(sol->factor);
    have_factor = true;
    // i. relative change of the unpenalised deviance, never at the first iteration.
    if (k >= 1 && std::fabs(d_old - dev) / (std::fabs(d_old) + 1e-30) < problem.tol) {
      d_old = dev;
      converged = true;
      iterations = k + 1;
      break;
    }
    // j.
    d_old = dev;
    dp_old = dev_pen;
    iterations = k + 1;
  }

  // No accepted iteration: the ridged factor of the prior-weighted system stands in.
  if (!have_factor) {
    weighted_gram_into(x, w, scaled, a);
    a += s_lambda;
    a.diagonal().array() += ridge_for(a);
    VOREL_TRY(factor, cholesky(a));
  }

  InnerFit out;
  out.log_det = LogDetFromFactor{};
  double pearson = 0.0;
  for (Eigen::Index i = 0; i < n; ++i) {
    const double r = work_z.coeff(i) - eta.coeff(i);
    pearson += work_w.coeff(i) * r * r;
  }
  out.beta = std::move(beta);
  out.eta = std::move(eta);
  out.mu = std::move(mu);
  out.working_weights = std::move(work_w);
  out.working_response = std::move(work_z);
  out.factor = std::move(factor);
  out.deviance = d_old;
  out.pearson = pearson;
  out.n = static_cast<u64>(n);
  out.p = static_cast<u64>(p);
  out.iterations = iterations;
  out.converged = converged;
  if constexpr (std::is_same_v<Fam, InverseGaussian>) {
    pirls_detail::inverse_gaussian_observed_information(problem, w, s_lambda, scaled, out);
  }
  return out;
}

}  // namespace vorel

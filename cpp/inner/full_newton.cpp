#include "inner/full_newton.h"

#include <algorithm>
#include <cmath>

#include "inner/finite_factor.h"
#include "inner/gram.h"
#include "util/lapack.h"
#include "inner/solve.h"

namespace vorel {

namespace {

// Everything that stays fixed during one inner fit.
struct OcatSetup {
  std::vector<double> cuts;
  std::vector<u64> cats;
};

// Midpoint of each observation's category interval; the open end intervals are closed one unit
// beyond their finite cut point.
Vec category_midpoints(const OcatSetup& s) {
  const u64 r = s.cuts.size() - 1;
  Vec eta(static_cast<Eigen::Index>(s.cats.size()));
  for (std::size_t i = 0; i < s.cats.size(); ++i) {
    const u64 k = s.cats[i];
    const double lo = k == 1 ? -2.0 : s.cuts[k - 1];
    const double hi = k == r ? s.cuts[r - 1] + 1.0 : s.cuts[k];
    eta[static_cast<Eigen::Index>(i)] = 0.5 * (lo + hi);
  }
  return eta;
}

// Newton weights W = max(w g2 / 2, 1e-12) and working response z = eta - g1 / max(g2, 1e-12).
void newton_working_values(const OcatSetup& s, const Vec& eta, const std::optional<Vec>& w, Vec& W,
                           Vec& z) {
  const Eigen::Index n = eta.size();
  W.resize(n);
  z.resize(n);
  for (Eigen::Index i = 0; i < n; ++i) {
    const OcatDerivatives d = ocat_derivatives(s.cuts, s.cats[static_cast<std::size_t>(i)], eta[i]);
    const double wi = w ? (*w)[i] : 1.0;
    W[i] = std::max(0.5 * wi * d.g2, 1e-12);
    z[i] = eta[i] - d.g1 / std::max(d.g2, 1e-12);
  }
}

double max_abs_change(const Vec& a, const Vec& b) {
  double m = 0.0;
  for (Eigen::Index j = 0; j < a.size(); ++j) {
    const double d = std::fabs(a[j] - b[j]);
    if (std::isnan(d)) return d;
    m = std::max(m, d);
  }
  return m;
}

bool all_finite(const Vec& v) { return v.allFinite(); }

// Lower Cholesky factor of the penalised Newton Hessian; a NaN pivot counts as a failure.
Result<Mat> newton_factor(const Mat& a) {
  auto l = lapack::cholesky_lower(a);
  const int info = l ? first_bad_pivot(*l) : l.error();
  if (info != 0) return fail(VorelError::singular("Cholesky failed: " + lapack::failure_text(info)));
  return std::move(*l);
}

}  // namespace

Result<InnerFit> fit_full_newton(const FitProblem& problem, const Ocat& family, const Vec& rho) {
  const Mat& x = problem.x;
  const Eigen::Index n = x.rows(), p = x.cols();
  if (problem.y.size() != n || (problem.weights && problem.weights->size() != n))
    throw InternalFault("fit_full_newton: response or weights do not match the model matrix");
  if (problem.eta_start && problem.eta_start->size() != n)
    throw InternalFault("fit_full_newton: starting linear predictor of the wrong length");

  const OcatSetup setup{ocat_cut_points(family), ocat_categories(problem.y, family.n_cats)};
  const Mat s_lambda = penalty_sum(problem, rho);
  auto penalised_deviance = [&](const Vec& eta, const Vec& beta) {
    return ocat_deviance(setup.cuts, setup.cats, eta, problem.weights) + beta.dot(s_lambda * beta);
  };

  Vec eta = problem.eta_start ? *problem.eta_start : category_midpoints(setup);
  Vec beta = Vec::Zero(p);
  double dp = penalised_deviance(eta, beta);

  Vec W, z, wz, rhs, eta_new;
  Mat scaled, xtwx;
  u64 t = 0;
  bool converged = false;
  while (t < problem.max_iter) {
    newton_working_values(setup, eta, problem.weights, W, z);
    weighted_gram_into(x, &W, scaled, xtwx);
    VOREL_TRY(Mat factor, newton_factor(xtwx + s_lambda));
    weighted_xtv_into(x, &W, z, wz, rhs);
    Vec beta_new = back_substitute(factor, forward_substitute(factor, rhs));
    eta_new = x * beta_new;
    double dp_new = penalised_deviance(eta_new, beta_new);

    bool stop = false;
    for (int h = 0;; ++h) {
      bool halve = false;
      if (!std::isfinite(dp_new)) {
        if (h >= kFullNewtonMaxHalvings) {
          stop = true;
          break;
        }
        halve = true;
      } else if (!all_finite(eta_new)) {
        halve = h < kFullNewtonMaxHalvings;
      } else if (t > 0) {
        const double tol_h = (std::fabs(dp) + 0.1) * 10.0 * 1.4901161193847656e-8;
        halve = dp_new - dp > tol_h && h < kFullNewtonMaxHalvings;
      }
      if (!halve) break;
      beta_new = 0.5 * (beta_new + beta);
      eta_new = x * beta_new;
      dp_new = penalised_deviance(eta_new, beta_new);
    }
    if (stop) break;

    const double change = max_abs_change(beta_new, beta);
    beta = std::move(beta_new);
    eta = eta_new;
    dp = dp_new;
    const bool first = t == 0;
    ++t;
    if (!first && change < problem.tol) {
      converged = true;
      break;
    }
  }

  newton_working_values(setup, eta, problem.weights, W, z);
  weighted_gram_into(x, &W, scaled, xtwx);
  VOREL_TRY(Mat factor, newton_factor(xtwx + s_lambda));

  InnerFit fit;
  fit.log_det = LogDetFromFactor{};
  fit.beta = std::move(beta);
  fit.mu = eta;
  fit.eta = std::move(eta);
  fit.deviance = ocat_deviance(setup.cuts, setup.cats, fit.eta, problem.weights);
  fit.pearson = (W.array() * (z - fit.eta).array().square()).sum();
  fit.working_weights = std::move(W);
  fit.working_response = std::move(z);
  fit.factor = std::move(factor);
  fit.n = static_cast<u64>(n);
  fit.p = static_cast<u64>(p);
  fit.iterations = t;
  fit.converged = converged;
  return fit;
}

}  // namespace vorel

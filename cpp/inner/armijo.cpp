#include "inner/armijo.h"

#include <algorithm>
#include <cmath>

#include "inner/finite_factor.h"
#include "inner/gram.h"
#include "inner/solve.h"
#include "util/lapack.h"

namespace vorel {

namespace {

// The ridge is larger than the penalised solve's: the ELF weights vanish for residuals far beyond
// the softness, so X^T W X can lose rank exactly where the fit is already good. A NaN diagonal
// entry makes the ridge NaN, so the factorisation reports it instead of hiding it.
Mat ridged(Mat a) {
  double m = 1.0;
  for (Eigen::Index i = 0; i < a.rows(); ++i) {
    const double v = std::fabs(a(i, i));
    if (std::isnan(v)) {
      m = v;
      break;
    }
    m = std::max(m, v);
  }
  a.diagonal().array() += 1e-7 * m;
  return a;
}

Result<Mat> elf_cholesky(const Mat& a) {
  auto l = lapack::cholesky_lower(a);
  const int info = l ? first_bad_pivot(*l) : l.error();
  if (info != 0) return fail(VorelError::singular("ELF Cholesky: " + lapack::failure_text(info)));
  return std::move(*l);
}

void newton_quantities(const Elf& f, const Vec& y, const Vec& eta, Vec& W, Vec& g) {
  W.resize(y.size());
  g.resize(y.size());
  for (Eigen::Index i = 0; i < y.size(); ++i) {
    const ElfNewton q = elf_newton(f, y[i] - eta[i]);
    W[i] = q.weight;
    g[i] = q.gradient;
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

}  // namespace

Result<InnerFit> fit_armijo(const FitProblem& problem, const Elf& family, const Vec& rho,
                            const Vec& beta_start) {
  const Mat& x = problem.x;
  const Vec& y = problem.y;
  const Eigen::Index n = x.rows(), p = x.cols();
  if (y.size() != n) throw InternalFault("fit_armijo: response does not match the model matrix");
  if (beta_start.size() != 0 && beta_start.size() != p)
    throw InternalFault("fit_armijo: starting coefficients of the wrong length");

  const Mat s_rho = penalty_sum(problem, rho);
  auto objective = [&](const Vec& beta) {
    return elf_deviance(family, y, x * beta) + beta.dot(s_rho * beta);
  };

  Vec beta = beta_start.size() == p ? beta_start : Vec::Zero(p);
  double f = objective(beta);
  Vec eta, W, g, work, rhs;
  Mat scaled, xtwx;
  u64 t = 0;
  bool converged = false;
  while (t < problem.max_iter) {
    eta = x * beta;
    newton_quantities(family, y, eta, W, g);
    weighted_gram_into(x, &W, scaled, xtwx);
    VOREL_TRY(Mat factor, elf_cholesky(ridged(xtwx + s_rho)));
    // Working response eta + g / W, multiplied through by W so that W = 0 stays harmless.
    Vec target = W.cwiseProduct(eta) + g;
    lapack::at_x(x, target, rhs);
    const Vec direction = back_substitute(factor, forward_substitute(factor, rhs)) - beta;

    double alpha = 1.0;
    bool accepted = false;
    Vec trial;
    double f_trial = 0.0;
    for (int h = 0; h < kArmijoMaxHalvings; ++h, alpha *= 0.5) {
      trial = beta + alpha * direction;
      f_trial = objective(trial);
      if (std::isfinite(f_trial) && f_trial <= f + 1e-10) {
        accepted = true;
        break;
      }
    }
    if (!accepted) break;

    const double change = max_abs_change(trial, beta);
    beta = std::move(trial);
    f = f_trial;
    ++t;
    if (change < problem.tol) {
      converged = true;
      break;
    }
  }

  eta = x * beta;
  newton_quantities(family, y, eta, W, g);
  Vec z(n);
  for (Eigen::Index i = 0; i < n; ++i) z[i] = W[i] > 1e-12 ? eta[i] + g[i] / W[i] : eta[i];
  weighted_gram_into(x, &W, scaled, xtwx);
  VOREL_TRY(Mat factor, elf_cholesky(ridged(xtwx + s_rho)));

  InnerFit fit;
  fit.log_det = LogDetFromFactor{};
  fit.beta = std::move(beta);
  fit.deviance = elf_deviance(family, y, eta);
  fit.pearson = (W.array() * (z - eta).array().square()).sum();
  fit.mu = eta;
  fit.eta = std::move(eta);
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

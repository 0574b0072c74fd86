#include "score/envelope.h"

#include <cmath>
#include <limits>
#include <numbers>
#include <type_traits>

#include "inner/pirls.h"
#include "inner/solve.h"
#include "score/fd_hessian.h"
#include "util/special.h"

namespace vorel {

Result<InnerFit> standard_inner_fit(const FitProblem& problem, const Family& family, const Vec& rho,
                                    InnerDetail detail) {
  return std::visit(
      [&](const auto& fam) -> Result<InnerFit> {
        using F = std::decay_t<decltype(fam)>;
        if constexpr (std::is_same_v<F, Gaussian>) {
          return closed_form_fit(problem, rho, detail);
        } else if constexpr (is_standard_family_v<F>) {
          return pirls(problem, fam, rho);
        } else {
          return fail(VorelError::internal("standard inner fit requested for a shape-aware family"));
        }
      },
      family);
}

ScoreEval score_from_fit(const FitProblem& problem, const InnerFit& fit, const Vec& rho,
                         ScaleKind scale_kind, const std::function<double(double)>& saturated_loglik,
                         bool refine_gamma_scale) {
  const std::size_t m = problem.penalties.size();
  const Eigen::Index mi = static_cast<Eigen::Index>(m);
  if (static_cast<std::size_t>(rho.size()) < m) throw InternalFault("score: rho shorter than the penalties");

  // A^-1 once per evaluation, shared by every penalty's trace.
  const Mat a_inv = inverse_from_factor(fit.factor);
  Vec lambda(mi), q(mi), t(mi);
  double pen = 0.0, tr = 0.0;
  for (std::size_t j = 0; j < m; ++j) {
    const Eigen::Index jj = static_cast<Eigen::Index>(j);
    const PenaltySpan sp = penalty_span(problem, j);
    lambda[jj] = std::exp(rho[jj]);
    q[jj] = penalty_quadratic(problem.penalties[j], fit.beta, sp);
    t[jj] = trace_product(a_inv, problem.penalties[j], sp);
    pen += lambda[jj] * q[jj];
    tr += lambda[jj] * t[jj];
  }

  const double log_det_a = std::holds_alternative<LogDetGiven>(fit.log_det)
                               ? std::get<LogDetGiven>(fit.log_det).value
                               : log_det_from_factor(fit.factor);
  double h_s = 0.0;
  for (std::size_t j = 0; j < m; ++j)
    h_s += static_cast<double>(problem.penalty_ranks[j]) * rho[static_cast<Eigen::Index>(j)] +
           problem.penalty_log_dets[j];
  h_s *= 0.5;

  const double d = fit.deviance;
  const double dp = d + pen;
  const double n = static_cast<double>(fit.n);
  const double p = static_cast<double>(fit.p);
  const double mp = static_cast<double>(problem.null_space_dim);

  double phi = 1.0;
  if (scale_kind != ScaleKind::Fixed) {
    if (d <= 0 || dp <= 0 || p - tr >= n || n - mp <= 0) return ScoreEval{1e12, Vec::Zero(mi)};
    phi = std::fmax(dp / std::fmax(n - mp, 1.0), 1e-8);
    if (refine_gamma_scale) phi = gamma_scale_newton(dp, n, mp, phi);
  }

  ScoreEval out;
  out.value = dp / (2.0 * phi) + 0.5 * log_det_a - h_s -
              0.5 * mp * std::log(2.0 * std::numbers::pi * phi) - saturated_loglik(phi);
  out.gradient.resize(mi);
  for (std::size_t j = 0; j < m; ++j) {
    const Eigen::Index jj = static_cast<Eigen::Index>(j);
    out.gradient[jj] = 0.5 * lambda[jj] * t[jj] + lambda[jj] * q[jj] / (2.0 * phi) -
                       0.5 * static_cast<double>(problem.penalty_ranks[j]);
  }
  if (fit.laml_correction && m > 0) {
    const LamlCorrection& c = *fit.laml_correction;
    const double abc = (c.a.array() * c.b.array() * c.c.array()).sum();
    out.gradient[0] = 0.5 * lambda[0] * (c.trace0 + abc) + lambda[0] * q[0] / (2.0 * phi) -
                      0.5 * static_cast<double>(problem.penalty_ranks[0]);
  }
  return out;
}

Result<ScoreEval> score_eval(const FitProblem& problem, const Family& family, const Vec& rho) {
  VOREL_TRY(InnerFit fit, standard_inner_fit(problem, family, rho, InnerDetail::ScoreOnly));
  return std::visit(
      [&](const auto& fam) -> Result<ScoreEval> {
        using F = std::decay_t<decltype(fam)>;
        if constexpr (is_standard_family_v<F>) {
          auto ell = [&](double phi) { return fam.saturated_loglik(problem.y, phi); };
          return score_from_fit(problem, fit, rho, F::scale_kind, ell, std::is_same_v<F, Gamma>);
        } else {
          return fail(VorelError::internal("standard score requested for a shape-aware family"));
        }
      },
      family);
}

Result<ScoreWithHessian> score_with_hessian(const FitProblem& problem, const Family& family,
                                            const Vec& rho) {
  constexpr double kStep = 1e-5;
  VOREL_TRY(ScoreEval centre, score_eval(problem, family, rho));
  VOREL_TRY(Mat h, central_difference_hessian(rho, kStep, [&](const Vec& r) -> Result<Vec> {
              VOREL_TRY(ScoreEval s, score_eval(problem, family, r));
              return std::move(s.gradient);
            }));
  return ScoreWithHessian{centre.value, std::move(centre.gradient), std::move(h)};
}

double gamma_scale_newton(double dp, double n, double mp, double phi0) {
  auto f = [&](double phi) { return dp + mp * phi + 2.0 * n * (digamma(1.0 / phi) + std::log(phi)); };
  const double tol = 1e-10 * (std::fabs(dp) + mp + 1.0);
  double phi = phi0;
  for (int it = 0; it < 30; ++it) {
    const double fv = f(phi);
    if (std::fabs(fv) < tol) break;
    const double fp = mp + (2.0 * n / phi) * (1.0 - trigamma(1.0 / phi) / phi);
    if (std::fabs(fp) < 1e-15) break;
    double next = phi - fv / fp;
    if (std::isnan(next)) next = 0.1 * phi;
    next = std::fmin(std::fmax(next, 0.1 * phi), 10.0 * phi);
    next = std::fmax(next, 1e-8);
    if (next == std::numeric_limits<double>::infinity()) break;
    if (std::fabs(next - phi) < 1e-12 * phi) {
      phi = next;
      break;
    }
    phi = next;
  }
  return std::fmax(phi, 1e-8);
}

}  // namespace vorel

// The quantile regression fit path: the loss parameters are fixed first (from a penalised
// least-squares warm start when the caller leaves them to us), then only the smoothing
// parameter is searched, with the Armijo inner fit.
#include "fit/quantile.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "fit/assemble.h"
#include "fit/routes.h"
#include "fit/single_problem.h"
#include "inner/armijo.h"
#include "inner/finite_factor.h"
#include "inner/solve.h"
#include "score/envelope.h"
#include "score/fd_hessian.h"
#include "util/format.h"
#include "util/lapack.h"

namespace vorel {

namespace {

constexpr double kLn4 = 1.3862943611198906;
constexpr double kTwoPi = 6.283185307179586;

Status check_tau(double tau) {
  if (!(tau > 0.0 && tau < 1.0))
    return fail(VorelError::invalid("elf/quantile tau must be in (0, 1); got tau=" + fmt_real(tau)));
  return {};
}

// A user sigma or lambda of +inf would pass the "> 0" test and turn every weight into 0 and the
// saturated term into NaN; zero, negative and NaN values already select the automatic choice.
Status check_finite_user_value(const char* name, double v) {
  if (v == INFINITY)
    return fail(VorelError::invalid(std::string(name) + " must be finite; got " + name + "=" + fmt_real(v)));
  return {};
}

// Residual at the k-th order statistic, k = round((n - 1) tau) (half away from zero) capped at
// n - 1.
double residual_quantile(Vec e, double tau) {
  const Eigen::Index n = e.size();
  if (n == 0) return 0.0;
  std::sort(e.data(), e.data() + n);
  double k = std::round(static_cast<double>(n - 1) * tau);
  if (!(k >= 0.0)) k = 0.0;
  const Eigen::Index idx = std::min<Eigen::Index>(static_cast<Eigen::Index>(k), n - 1);
  return e[idx];
}

}  // namespace

Result<ElfStart> elf_warm_start(const FitProblem& problem, double tau, double sigma_user,
                                double lambda_user) {
  const Mat& x = problem.x;
  const Vec& y = problem.y;
  const Eigen::Index n = x.rows();
  Mat a0(x.cols(), x.cols());
  lapack::gram(x, a0);
  a0 += problem.penalties.at(0);
  auto chol = lapack::cholesky_lower(a0);
  const int info = chol ? first_bad_pivot(*chol) : chol.error();
  if (info != 0)
    return fail(VorelError::singular("ELF warm-start Cholesky: " + lapack::failure_text(info)));
  const Mat& l = *chol;
  auto solve = [&](const Vec& r) { return back_substitute(l, forward_substitute(l, r)); };

  Vec xty;
  lapack::at_x(x, y, xty);
  const Vec beta_ls = solve(xty);
  const Vec e = y - x * beta_ls;
  const double v = e.squaredNorm() / std::max<double>(static_cast<double>(n), 1.0);
  const double q = residual_quantile(e, tau);
  Vec xtq;
  lapack::at_x(x, Vec::Constant(n, q), xtq);

  ElfStart s;
  s.beta0 = beta_ls + solve(xtq);
  s.sigma = sigma_user > 0.0 ? sigma_user
                             : 0.05 * std::sqrt(kTwoPi * std::max(v, 1e-6)) / kLn4 *
                                   std::max(1.0, 1.0 / (4.0 * tau * (1.0 - tau)));
  s.lambda = lambda_user > 0.0 ? lambda_user : s.sigma;
  return s;
}

Result<ScoreWithHessian> elf_score_with_hessian(const FitProblem& problem, const Elf& family,
                                                const Vec& beta0, const Vec& rho) {
  constexpr double kStep = 1e-5;
  const double n_q = static_cast<double>(problem.y.size()) * elf_saturated_term(family);
  auto saturated = [n_q](double) { return n_q; };
  auto eval = [&](const Vec& r) -> Result<ScoreEval> {
    VOREL_TRY(InnerFit fit, fit_armijo(problem, family, r, beta0));
    return score_from_fit(problem, fit, r, ScaleKind::Fixed, saturated);
  };
  VOREL_TRY(ScoreEval centre, eval(rho));
  VOREL_TRY(Mat h, central_difference_hessian(rho, kStep, [&](const Vec& r) -> Result<Vec> {
              VOREL_TRY(ScoreEval s, eval(r));
              return std::move(s.gradient);
            }));
  return ScoreWithHessian{centre.value, std::move(centre.gradient), std::move(h)};
}

Result<FittedGam> fit_elf(const Elf& family, Design design, u64 n, const Vec& y,
                          std::optional<Vec> weights) {
  VOREL_CHECK(check_tau(family.tau));
  VOREL_CHECK(check_lengths(n, y, weights));
  VOREL_CHECK(elf_check_response(y));
  VOREL_CHECK(check_finite_user_value("elf_sigma", family.sigma));
  VOREL_CHECK(check_finite_user_value("elf_lambda", family.lambda));
  // The prior weights were only checked for length: the quantile loss does not use them.
  VOREL_TRY(FitProblem problem, single_smooth_problem(design, y, std::nullopt, 1e-7));

  VOREL_TRY(ElfStart start, elf_warm_start(problem, family.tau, family.sigma, family.lambda));
  const Elf tuned{family.tau, start.sigma, start.lambda};
  VOREL_TRY(OuterResult outer, optimize_rho(
                                   [&](const Vec& rho) {
                                     return elf_score_with_hessian(problem, tuned, start.beta0, rho);
                                   },
                                   1));

  VOREL_TRY(InnerFit fit, fit_armijo(problem, tuned, outer.rho, start.beta0));
  FinalFitSummary summary = summarize_final_fit(problem, fit, outer.rho);
  const bool converged = outer.converged && fit.converged;
  return assemble_record(std::move(fit.beta), outer.rho, tuned.sigma, std::move(summary), n, outer,
                         converged, std::move(design.predictor), LinkKind::Identity);
}

}  // namespace vorel

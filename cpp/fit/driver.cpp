// The fit driver of the seven standard families (single-smooth and additive designs).
#include <cmath>
#include <type_traits>

#include "fit/assemble.h"
#include "fit/routes.h"
#include "inner/closed_form.h"
#include "inner/pirls.h"
#include "score/envelope.h"

namespace vorel {

namespace {

// Pearson statistic sum w_i (y_i - m_i)^2 / V_i of the families whose dispersion is estimated
// from it after the fit.
template <class Fam>
double pearson_statistic(const Vec& y, const Vec& mu, const Vec* w) {
  double s = 0.0;
  for (Eigen::Index i = 0; i < y.size(); ++i) {
    const double wi = w ? w->coeff(i) : 1.0;
    const double mi = mu.coeff(i);
    double m, v;
    if constexpr (std::is_same_v<Fam, QuasiBinomial>) {
      m = std::fmax(mi, 1e-15);
      const double c = std::fmin(m, 1.0 - 1e-15);
      v = c * (1.0 - c);
    } else {
      m = std::fmax(mi, 1e-300);
      if constexpr (std::is_same_v<Fam, QuasiPoisson>) v = m;
      else if constexpr (std::is_same_v<Fam, Gamma>) v = m * m;
      else v = m * m * m;
    }
    const double r = y.coeff(i) - m;
    s += wi * r * r / v;
  }
  return s;
}

template <class Fam>
double reported_scale(const FitProblem& problem, const InnerFit& fit, const FinalFitSummary& s) {
  const double n = static_cast<double>(problem.y.size());
  if constexpr (std::is_same_v<Fam, Gaussian>) {
    double pen = 0.0;
    for (std::size_t j = 0; j < problem.penalties.size(); ++j)
      pen += s.lambda[static_cast<Eigen::Index>(j)] *
             penalty_quadratic(problem.penalties[j], fit.beta, penalty_span(problem, j));
    const double dof = n - static_cast<double>(problem.null_space_dim);
    if (dof <= 0) return std::nan("");
    return (fit.pearson + pen) / dof;
  } else if constexpr (std::is_same_v<Fam, Poisson> || std::is_same_v<Fam, Bernoulli>) {
    return 1.0;
  } else {
    const double dof = n - s.edf_total;
    if (!(dof > 0)) return std::nan("");
    const Vec* w = problem.weights ? &*problem.weights : nullptr;
    return pearson_statistic<Fam>(problem.y, fit.mu, w) / dof;
  }
}

// Moves the design's penalties and model matrix into the problem; copies nothing n x p.
FitProblem make_problem(Design& design, const Vec& y, std::optional<Vec> weights) {
  return problem_from_design(design, y, std::move(weights));
}

template <class Fam>
Result<FittedGam> fit_with(const Fam& fam, const Family& family, Design& design, u64 n,
                           const Vec& y, std::optional<Vec> weights) {
  VOREL_CHECK(check_lengths(n, y, weights));
  VOREL_CHECK(check_response(family, y));
  if (static_cast<u64>(design.x.rows()) != n)
    return fail(VorelError::internal("design rows differ from the rows of x"));
  const std::size_t m = design.penalties.size();
  if (m == 0 || design.penalty_ranks.size() != m || design.penalty_log_dets.size() != m)
    return fail(VorelError::internal("design carries no penalty or inconsistent penalty lists"));

  FitProblem problem = make_problem(design, y, std::move(weights));
  const Vec* w = problem.weights ? &*problem.weights : nullptr;
  if constexpr (std::is_same_v<Fam, Gaussian>) {
    Mat scratch;
    Vec wy;
    weighted_gram_into(problem.x, w, scratch, problem.xtwx);
    scratch = Mat();
    weighted_xtv_into(problem.x, w, problem.y, wy, problem.xtwy);
  }

  ScoreFn score = [&](const Vec& rho) { return score_with_hessian(problem, family, rho); };
  VOREL_TRY(OuterResult outer, optimize_rho(score, static_cast<u64>(m)));

  InnerFit fit;
  if constexpr (std::is_same_v<Fam, Gaussian>) {
    VOREL_TRY(fit, closed_form_fit(problem, outer.rho));
  } else {
    VOREL_TRY(fit, pirls(problem, fam, outer.rho));
  }

  const bool gaussian = std::is_same_v<Fam, Gaussian>;
  FinalFitSummary summary =
      summarize_final_fit(problem, fit, outer.rho, gaussian ? &problem.xtwx : nullptr);
  const double scale = reported_scale<Fam>(problem, fit, summary);
  const bool converged = gaussian ? outer.converged : fit.converged;
  Vec rho = outer.rho;
  return assemble_record(std::move(fit.beta), std::move(rho), scale, std::move(summary), n, outer,
                         converged, std::move(design.predictor), Fam::link_kind);
}

}  // namespace

Result<FittedGam> fit_standard(const Family& family, Design design, u64 n, const Vec& y,
                               std::optional<Vec> weights) {
  return std::visit(
      [&](const auto& fam) -> Result<FittedGam> {
        using F = std::decay_t<decltype(fam)>;
        if constexpr (is_standard_family_v<F>) {
          return fit_with(fam, family, design, n, y, std::move(weights));
        } else {
          return fail(VorelError::internal("fit_standard called with a shape-aware family"));
        }
      },
      family);
}

}  // namespace vorel

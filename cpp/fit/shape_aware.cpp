// Fit routes of the negative binomial, scaled t and Tweedie families: checks in the documented
// order, the joint search over (rho, shape coordinates), the final fit and the record.
#include "fit/shape_aware.h"

#include <thread>

#include "fit/assemble.h"
#include "inner/pirls.h"
#include "score/shape_aware.h"

namespace vorel {

namespace {

Status check_design(const Design& design, u64 n) {
  if (static_cast<u64>(design.x.rows()) != n)
    return fail(VorelError::internal("design rows differ from the rows of x"));
  if (design.penalties.size() != 1 || design.penalty_ranks.size() != 1 ||
      design.penalty_log_dets.size() != 1)
    return fail(VorelError::internal("shape-aware families need a design with exactly one penalty"));
  return {};
}

template <class Fam>
Status check_responses(const Fam& fam, const Vec& y) {
  for (Eigen::Index i = 0; i < y.size(); ++i) VOREL_CHECK(fam.valid_response(y.coeff(i), static_cast<u64>(i)));
  return {};
}

FitProblem make_joint_problem(Design& design, const Vec& y, std::optional<Vec> weights) {
  return problem_from_design(design, y, std::move(weights));
}

// Joint search from z0, final fit at the optimum, record. `scale_of` maps the unpacked family
// to the reported dispersion.
template <class Model, class ScaleOf>
Result<FittedGam> joint_fit(Model model, Vec z0, Design& design, u64 n, const Vec& y,
                            std::optional<Vec> weights, ScaleOf scale_of, ShapeFitStats* stats) {
  FitProblem problem = make_joint_problem(design, y, std::move(weights));
  JointScore<Model> score(problem, model);
  // Two workers pay on two cores (measured in bench/bench_shape.py); the helper thread lives
  // only inside one Hessian evaluation.
  score.set_workers(stats ? stats->workers : (std::thread::hardware_concurrency() >= 2 ? 2 : 1));
  ScoreFn f = [&](const Vec& z) { return score.eval_value_grad_hess(z); };
  auto outer_r = optimize(f, std::move(z0));
  if (stats) stats->inner_fits = score.inner_fits();
  if (!outer_r) return fail(std::move(outer_r).error());
  OuterResult outer = std::move(*outer_r);

  const auto fam = model.family_at(outer.rho);
  Vec rho(1);
  rho[0] = outer.rho[0];
  if (stats) stats->inner_fits += 1;
  VOREL_TRY(InnerFit fit, pirls(problem, fam, rho));
  FinalFitSummary summary = summarize_final_fit(problem, fit, rho);
  const double scale = scale_of(fam);
  Vec shape = outer.rho.tail(outer.rho.size() - 1);
  const bool converged = outer.converged && fit.converged;
  return assemble_record(std::move(fit.beta), rho, scale, std::move(summary), n, outer, converged,
                         std::move(design.predictor), decltype(fam)::link_kind, std::move(shape));
}

}  // namespace

Result<FittedGam> fit_negbin_counted(const NegBin& family, Design design, u64 n, const Vec& y,
                                     std::optional<Vec> weights, ShapeFitStats* stats) {
  VOREL_CHECK(check_lengths(n, y, weights));
  VOREL_CHECK(negbin_check_init(family));
  VOREL_CHECK(check_responses(family, y));
  VOREL_CHECK(check_design(design, n));
  Vec z0(2);
  z0 << 0.0, std::log(family.theta);
  return joint_fit(NegBinModel{}, std::move(z0), design, n, y, std::move(weights),
                   [](const NegBin& f) { return f.theta; }, stats);
}

Result<FittedGam> fit_tdist_counted(const TDist& family, Design design, u64 n, const Vec& y,
                                    std::optional<Vec> weights, ShapeFitStats* stats) {
  VOREL_CHECK(check_lengths(n, y, weights));
  VOREL_CHECK(tdist_check_init(family));
  VOREL_CHECK(check_design(design, n));
  Vec z0(3);
  z0 << 0.0, std::log(family.sigma2), std::log(family.nu - 2.0);
  TDistModel model;
  model.y_mean = y.size() > 0 ? y.mean() : 0.0;
  return joint_fit(model, std::move(z0), design, n, y, std::move(weights),
                   [](const TDist& f) { return f.sigma2; }, stats);
}

Result<FittedGam> fit_tweedie_counted(const Tweedie& family, Design design, u64 n, const Vec& y,
                                      std::optional<Vec> weights, ShapeFitStats* stats) {
  VOREL_CHECK(check_lengths(n, y, weights));
  VOREL_CHECK(tweedie_check_init(family));
  VOREL_CHECK(check_responses(family, y));
  VOREL_CHECK(check_design(design, n));
  Vec z0(3);
  z0 << 0.0, std::log(family.phi), std::log((family.p - 1.0) / (2.0 - family.p));
  return joint_fit(TweedieModel{}, std::move(z0), design, n, y, std::move(weights),
                   [](const Tweedie& f) { return f.phi; }, stats);
}

Result<FittedGam> fit_negbin(const NegBin& family, Design design, u64 n, const Vec& y,
                             std::optional<Vec> weights) {
  return fit_negbin_counted(family, std::move(design), n, y, std::move(weights), nullptr);
}
Result<FittedGam> fit_tdist(const TDist& family, Design design, u64 n, const Vec& y,
                            std::optional<Vec> weights) {
  return fit_tdist_counted(family, std::move(design), n, y, std::move(weights), nullptr);
}
Result<FittedGam> fit_tweedie(const Tweedie& family, Design design, u64 n, const Vec& y,
                              std::optional<Vec> weights) {
  return fit_tweedie_counted(family, std::move(design), n, y, std::move(weights), nullptr);
}

}  // namespace vorel

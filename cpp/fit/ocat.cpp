// The ordered categorical fit path: design from its name, response check, joint search over the
// smoothing parameter and the thresholds, final full-Newton fit and the record.
#include <string>

#include "design/cr.h"
#include "design/cr_stable.h"
#include "design/re.h"
#include "fit/assemble.h"
#include "fit/ocat.h"
#include "fit/ocat_score.h"
#include "fit/routes.h"
#include "fit/single_problem.h"
#include "inner/full_newton.h"
#include "util/format.h"

namespace vorel {

namespace {

Result<Design> build_named_design(const XView& x, u64 k, std::string_view name) {
  if (name == "cr") return build_cr_design(x, k);
  if (name == "re") return build_re_design(x);
  if (name == "cr_stable") return build_cr_stable_design(x, k);
  return fail(VorelError::invalid("design must be 'cr', 're', or 'cr_stable'; got " + quote_name(name)));
}

}  // namespace

Result<FittedGam> fit_ocat(const Ocat& family, const XView& x, const Vec& y,
                           std::optional<Vec> weights, u64 k, std::string_view design_name) {
  VOREL_TRY(Design design, build_named_design(x, k, design_name));
  return fit_ocat_design(family, std::move(design), static_cast<u64>(x.rows), y, std::move(weights));
}

Result<FittedGam> fit_ocat_design(const Ocat& family, Design design, u64 n, const Vec& y,
                                  std::optional<Vec> weights) {
  // The entry checks these before building anything; repeated here because the joint vector
  // below is sized from them.
  if (family.n_cats < 3)
    return fail(VorelError::invalid("ocat requires r >= 3, got r=" + fmt_u64(family.n_cats)));
  if (family.thresholds.size() != family.n_cats - 2)
    return fail(VorelError::internal("ocat family value with the wrong number of thresholds"));
  VOREL_CHECK(check_lengths(n, y, weights));
  VOREL_CHECK(ocat_check_response(y, family.n_cats));
  VOREL_TRY(FitProblem problem, single_smooth_problem(design, y, std::move(weights), 1e-9));

  const OcatJointScore score{problem, family.n_cats};
  Vec z0(static_cast<Eigen::Index>(family.n_cats - 1));
  z0[0] = 0.0;
  for (std::size_t j = 0; j < family.thresholds.size(); ++j)
    z0[static_cast<Eigen::Index>(j + 1)] = family.thresholds[j];
  VOREL_TRY(OuterResult outer,
            optimize([&](const Vec& z) { return score.value_gradient_hessian(z); }, z0));

  const Vec& z = outer.rho;
  VOREL_TRY(InnerFit fit, score.inner_fit(z));
  const Vec rho = z.head(1);
  FinalFitSummary summary = summarize_final_fit(problem, fit, rho);
  const bool converged = outer.converged && fit.converged;
  return assemble_record(std::move(fit.beta), rho, 1.0, std::move(summary), n, outer, converged,
                         std::move(design.predictor), LinkKind::Identity, z.tail(z.size() - 1));
}

}  // namespace vorel

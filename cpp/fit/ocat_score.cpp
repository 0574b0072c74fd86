#include "fit/ocat_score.h"

#include "inner/full_newton.h"
#include "score/envelope.h"
#include "score/fd_hessian.h"

namespace vorel {

namespace {
constexpr double kShapeStep = 1e-5;
constexpr double kHessianStep = 1e-4;

// The ordered categorical likelihood has no dispersion and no saturated term.
double no_saturated_term(double) { return 0.0; }

Vec shifted(const Vec& z, Eigen::Index k, double h) {
  Vec out = z;
  out[k] += h;
  return out;
}
}  // namespace

Ocat OcatJointScore::family_at(const Vec& z) const {
  if (z.size() < 1 || static_cast<u64>(z.size()) != n_cats - 1)
    throw InternalFault("ocat joint vector does not match the category count");
  return Ocat{n_cats, std::vector<double>(z.data() + 1, z.data() + z.size())};
}

Result<InnerFit> OcatJointScore::inner_fit(const Vec& z) const {
  return fit_full_newton(problem, family_at(z), z.head(1));
}

Result<double> OcatJointScore::value(const Vec& z) const {
  VOREL_TRY(InnerFit fit, inner_fit(z));
  return score_from_fit(problem, fit, z.head(1), ScaleKind::Fixed, no_saturated_term).value;
}

Result<std::pair<double, Vec>> OcatJointScore::value_and_gradient(const Vec& z) const {
  VOREL_TRY(InnerFit fit, inner_fit(z));
  const ScoreEval centre = score_from_fit(problem, fit, z.head(1), ScaleKind::Fixed, no_saturated_term);
  Vec g(z.size());
  g[0] = centre.gradient[0];
  for (Eigen::Index k = 1; k < z.size(); ++k) {
    VOREL_TRY(double up, value(shifted(z, k, kShapeStep)));
    VOREL_TRY(double down, value(shifted(z, k, -kShapeStep)));
    g[k] = (up - down) / (2.0 * kShapeStep);
  }
  return std::pair{centre.value, std::move(g)};
}

Result<ScoreWithHessian> OcatJointScore::value_gradient_hessian(const Vec& z) const {
  VOREL_TRY(auto centre, value_and_gradient(z));
  VOREL_TRY(Mat h, central_difference_hessian(z, kHessianStep, [&](const Vec& p) -> Result<Vec> {
              VOREL_TRY(auto vg, value_and_gradient(p));
              return std::move(vg.second);
            }));
  return ScoreWithHessian{centre.first, std::move(centre.second), std::move(h)};
}

}  // namespace vorel

#include "family/negbin.h"

#include "util/format.h"
#include "util/special.h"

namespace vorel {

double NegBin::saturated_loglik(const Vec& y) const {
  const double lg_theta = ln_gamma(theta);
  double s = 0.0;
  for (Eigen::Index i = 0; i < y.size(); ++i) {
    const double yi = y.coeff(i);
    s += ln_gamma(theta + yi) - lg_theta + (yi > 0 ? yi * std::log(yi / (theta + yi)) : 0.0) +
         theta * std::log(theta / (theta + yi));
  }
  return s;
}

Status negbin_check_init(const NegBin& f) {
  if (std::isfinite(f.theta) && f.theta > 0) return {};
  return fail(VorelError::invalid(
      "NegBin overdispersion init_theta must be a positive finite scalar (small θ → high "
      "variance, large θ → Poisson limit); got init_theta=" + fmt_real(f.theta)));
}

}  // namespace vorel

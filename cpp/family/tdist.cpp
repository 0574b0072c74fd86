#include "family/tdist.h"

#include <limits>
#include <numbers>

#include "util/format.h"
#include "util/special.h"

namespace vorel {

Status tdist_check_init(const TDist& f) {
  if (!(f.nu > 2 && f.nu != std::numeric_limits<double>::infinity()))
    return fail(VorelError::invalid(
        "scat/TDist degrees-of-freedom init_nu must be > 2 (finite variance); got init_nu=" +
        fmt_real(f.nu)));
  if (!(f.sigma2 > 0 && f.sigma2 < std::numeric_limits<double>::infinity()))
    return fail(VorelError::invalid(
        "scat/TDist scale init_sigma2 must be a positive finite scalar; got init_sigma2=" +
        fmt_real(f.sigma2)));
  return {};
}

double tdist_score_term(double n, double nu, double sigma2) {
  return 0.5 * n * std::log(nu * std::numbers::pi * sigma2) +
         n * (ln_gamma(0.5 * nu) - ln_gamma(0.5 * (nu + 1.0)));
}

}  // namespace vorel

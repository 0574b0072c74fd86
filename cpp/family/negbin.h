// Negative binomial family (log link) with dispersion theta: V(mu) = mu + mu^2 / theta.
#pragma once

#include <cmath>
#include <string_view>

#include "family/link.h"
#include "family/standard.h"
#include "util/eigen.h"
#include "util/error.h"

namespace vorel {

struct NegBin {
  double theta = 2.0;
  static constexpr LinkKind link_kind = LinkKind::Log;
  static constexpr std::string_view display_name = "NegBin";

  double initial_mu(double y) const { return std::fmax(y, 0.1); }
  double link(double mu) const { return links::log_link(mu); }
  double inverse_link(double eta) const { return links::log_inverse(eta); }
  double link_derivative(double mu) const { return links::log_derivative(mu); }
  double variance(double mu) const { return std::fmax(mu + mu * mu / theta, links::kMeanFloor); }
  double unit_deviance(double y, double mu) const {
    const double m = std::fmax(mu, links::kMeanFloor);
    if (y > 0) return 2.0 * (y * std::log(y / m) - (y + theta) * std::log((y + theta) / (m + theta)));
    return 2.0 * theta * std::log((m + theta) / theta);
  }
  Status valid_response(double y, u64 row) const {
    if (!(y < 0)) return {};  // a NaN passes
    return response_error(display_name, "y ≥ 0", y, row);
  }
  // Log-likelihood at mu = y without the -ln Gamma(y + 1) term; unweighted.
  double saturated_loglik(const Vec& y) const;
};

// "NegBin overdispersion init_theta must be ..." unless theta is positive and finite.
Status negbin_check_init(const NegBin& f);

}  // namespace vorel

// Tweedie family (log link), variance phi mu^p with 1 < p < 2: the compound Poisson-gamma
// model with an exact-zero mass. phi does not enter the inner fit, only the score.
#pragma once

#include <array>
#include <cmath>
#include <string_view>

#include "family/link.h"
#include "family/standard.h"
#include "util/eigen.h"
#include "util/error.h"

namespace vorel {

struct Tweedie {
  double p = 1.5;
  double phi = 1.0;
  static constexpr LinkKind link_kind = LinkKind::Log;
  static constexpr std::string_view display_name = "Tweedie";

  double initial_mu(double y) const { return std::fmax(y, 0.1); }
  double link(double mu) const { return links::log_link(mu); }
  double inverse_link(double eta) const { return links::log_inverse(eta); }
  double link_derivative(double mu) const { return links::log_derivative(mu); }
  double variance(double mu) const {
    return std::fmax(std::pow(std::fmax(mu, links::kMeanFloor), p), links::kMeanFloor);
  }
  double unit_deviance(double y, double mu) const {
    const double m = std::fmax(mu, links::kMeanFloor);
    const double t = std::pow(m, 2.0 - p) / (2.0 - p);
    if (y > 0)
      return 2.0 * (std::pow(y, 2.0 - p) / ((1.0 - p) * (2.0 - p)) -
                    y * std::pow(m, 1.0 - p) / (1.0 - p) + t);
    return 2.0 * t;
  }
  Status valid_response(double y, u64 row) const {
    if (!(y < 0)) return {};
    return response_error(display_name, "y ≥ 0", y, row);
  }
};

// "tweedie p must be in (1, 2); ..." then "Tweedie dispersion init_phi must be ...".
Status tweedie_check_init(const Tweedie& f);

// log of the series sum S(y) = sum_j W_j of the density factor, for one y > 0, summed outward
// from the dominant term until 104 ln 2 below it; `upward_limit` caps j on the way up when
// `relative` is false, and caps j at dominant + upward_limit when it is true.
double tweedie_log_series(double y, double p, double phi, u64 upward_limit, bool relative);

// sum over y > 0 of [y^(2-p) / ((1-p)(2-p) phi) - log y + log S]; phi floored at 1e-12.
double tweedie_saturated_loglik(const Vec& y, double p, double phi);

// (dV/d log phi, dV/d logit(p - 1)) of the joint score at fixed mu and factor. w: prior
// weights (nullptr: ones), used only in the deviance derivative; `pen_dev` = lambda b + D;
// `n_minus_mp` = n - M_p.
std::array<double, 2> tweedie_shape_gradient(const Vec& y, const Vec& mu, const Vec* w, double p,
                                             double phi, double pen_dev, double n_minus_mp);

}  // namespace vorel

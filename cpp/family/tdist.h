// Scaled t family (identity link): y = mu + sigma t_nu, nu > 2, sigma2 > 0.
#pragma once

#include <cmath>

#include "family/link.h"
#include "family/standard.h"
#include "util/eigen.h"
#include "util/error.h"

namespace vorel {

struct TDist {
  double nu = 5.0;
  double sigma2 = 1.0;
  double y_mean = 0.0;  // unweighted mean of the response; the inner fit starts halfway to it
  static constexpr LinkKind link_kind = LinkKind::Identity;

  double initial_mu(double y) const { return 0.5 * (y + y_mean); }
  double link(double mu) const { return mu; }
  double inverse_link(double eta) const { return eta; }
  double link_derivative(double) const { return 1.0; }
  double variance(double) const { return std::fmax(sigma2, links::kMeanFloor); }
  // Grows only logarithmically in the residual, so a gross outlier stays finite.
  double unit_deviance(double y, double mu) const {
    const double r = y - mu;
    return (1.0 + nu) * std::log1p(r * r / (nu * sigma2));
  }
};

// init_nu first, then init_sigma2 (messages "scat/TDist ...").
Status tdist_check_init(const TDist& f);

// The family's addition to the joint score: (n/2) log(nu pi sigma2) plus the log-gamma
// normalising terms n [ln Gamma(nu/2) - ln Gamma((nu+1)/2)], without which the score is not
// the negative log-likelihood in nu and the search drifts towards nu = 2.
double tdist_score_term(double n, double nu, double sigma2);

}  // namespace vorel

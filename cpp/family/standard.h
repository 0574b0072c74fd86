// The seven standard exponential families.
//
// Every family struct that the PIRLS loop (inner/pirls.h) runs on provides these const members:
//   double initial_mu(double y)          starting mean
//   double link(double mu)               eta = g(mu)
//   double inverse_link(double eta)      mu = g^-1(eta)
//   double link_derivative(double mu)    g'(mu)
//   double variance(double mu)           V(mu), floored so that W = w / (V g'^2) stays finite
//   double unit_deviance(double y, double mu)
//   static constexpr LinkKind link_kind
// The standard families add `scale_kind`, `display_name`, `valid_response` and
// `saturated_loglik` for the score and the driver. The clamps inside the link and variance
// functions are part of their definitions: they keep working weights finite for finite eta.
#pragma once

#include <cmath>
#include <string_view>
#include <type_traits>

#include "family/link.h"
#include "util/eigen.h"
#include "util/error.h"

namespace vorel {

// ---- link functions shared by the families ---------------------------------------------
namespace links {

inline constexpr double kMeanFloor = 1e-300;
inline constexpr double kLogitLow = 1e-15;
inline constexpr double kLogitHigh = 0.999999999999999;

inline double clamp_logit_mean(double mu) { return std::fmin(std::fmax(mu, kLogitLow), kLogitHigh); }

inline double log_link(double mu) { return std::log(std::fmax(mu, kMeanFloor)); }
inline double log_inverse(double eta) { return std::exp(eta); }
inline double log_derivative(double mu) { return 1.0 / std::fmax(mu, kMeanFloor); }

inline double logit_link(double mu) {
  double m = clamp_logit_mean(mu);
  return std::log(m / (1.0 - m));
}
// Split at 0 so that exp never overflows for large |eta|.
inline double logit_inverse(double eta) {
  if (eta >= 0) return 1.0 / (1.0 + std::exp(-eta));
  double e = std::exp(eta);
  return e / (1.0 + e);
}
inline double logit_derivative(double mu) {
  double m = clamp_logit_mean(mu);
  return 1.0 / (m * (1.0 - m));
}

}  // namespace links

// ---- response checks -------------------------------------------------------------------
// "{name} requires y ≥ 0; got y={y} at row {i}" and its two siblings.
Status response_error(std::string_view display_name, std::string_view condition, double y, u64 row);

// ---- shared operation sets (the quasi families reuse their base family's operations) -----

struct PoissonOps {
  double initial_mu(double y) const { return std::fmax(y, 0.1); }  // fmax: a NaN y gives 0.1
  double link(double mu) const { return links::log_link(mu); }
  double inverse_link(double eta) const { return links::log_inverse(eta); }
  double link_derivative(double mu) const { return links::log_derivative(mu); }
  double variance(double mu) const { return std::fmax(mu, links::kMeanFloor); }
  double unit_deviance(double y, double mu) const {
    double m = std::fmax(mu, links::kMeanFloor);
    if (y > 0) return 2.0 * (y * std::log(y / m) - (y - m));
    return 2.0 * m;
  }
  // Sum over y > 0 of y log y - y.
  double saturated_loglik(const Vec& y, double phi) const;
};

struct BinomialOps {
  double initial_mu(double y) const { return (y + 0.5) / 2.0; }
  double link(double mu) const { return links::logit_link(mu); }
  double inverse_link(double eta) const { return links::logit_inverse(eta); }
  double link_derivative(double mu) const { return links::logit_derivative(mu); }
  // From mu itself, not the clamped mean of the link.
  double variance(double mu) const { return std::fmax(mu * (1.0 - mu), links::kMeanFloor); }
  double unit_deviance(double y, double mu) const {
    double m = links::clamp_logit_mean(mu);
    double a = y > 0 ? y * std::log(y / m) : 0.0;
    double b = y < 1 ? (1.0 - y) * std::log((1.0 - y) / (1.0 - m)) : 0.0;
    return 2.0 * (a + b);
  }
  // Sum over 0 < y < 1 of m log m + (1 - m) log(1 - m), m the clamped y.
  double saturated_loglik(const Vec& y, double phi) const;
};

// ---- the families ------------------------------------------------------------------------

struct Gaussian {
  static constexpr LinkKind link_kind = LinkKind::Identity;
  static constexpr ScaleKind scale_kind = ScaleKind::Profiled;
  static constexpr std::string_view display_name = "Gaussian";
  double initial_mu(double y) const { return y; }
  double link(double mu) const { return mu; }
  double inverse_link(double eta) const { return eta; }
  double link_derivative(double) const { return 1.0; }
  double variance(double) const { return 1.0; }
  double unit_deviance(double y, double mu) const { return (y - mu) * (y - mu); }
  Status valid_response(double, u64) const { return {}; }
  // -(n/2) log(2 pi phi)
  double saturated_loglik(const Vec& y, double phi) const;
};

struct Bernoulli : BinomialOps {
  static constexpr LinkKind link_kind = LinkKind::Logit;
  static constexpr ScaleKind scale_kind = ScaleKind::Fixed;
  static constexpr std::string_view display_name = "Bernoulli";
  Status valid_response(double y, u64 row) const {
    if (y >= 0 && y <= 1) return {};  // a NaN fails both comparisons
    return response_error(display_name, "y in [0, 1]", y, row);
  }
};

struct Poisson : PoissonOps {
  static constexpr LinkKind link_kind = LinkKind::Log;
  static constexpr ScaleKind scale_kind = ScaleKind::Fixed;
  static constexpr std::string_view display_name = "Poisson";
  Status valid_response(double y, u64 row) const {
    if (!(y < 0)) return {};
    return response_error(display_name, "y ≥ 0", y, row);
  }
};

struct QuasiPoisson : PoissonOps {
  static constexpr LinkKind link_kind = LinkKind::Log;
  static constexpr ScaleKind scale_kind = ScaleKind::Profiled;
  static constexpr std::string_view display_name = "QuasiPoisson";
  Status valid_response(double y, u64 row) const {
    if (!(y < 0)) return {};
    return response_error(display_name, "y ≥ 0", y, row);
  }
  // The dispersion is estimated, so the Gaussian-form term -(n/2) log(2 pi phi) applies.
  double saturated_loglik(const Vec& y, double phi) const;
};

struct QuasiBinomial : BinomialOps {
  static constexpr LinkKind link_kind = LinkKind::Logit;
  static constexpr ScaleKind scale_kind = ScaleKind::Profiled;
  static constexpr std::string_view display_name = "QuasiBinomial";
  Status valid_response(double y, u64 row) const {
    if (y >= 0 && y <= 1) return {};
    return response_error(display_name, "y in [0, 1]", y, row);
  }
  double saturated_loglik(const Vec& y, double phi) const;
};

struct Gamma {
  static constexpr LinkKind link_kind = LinkKind::Log;
  static constexpr ScaleKind scale_kind = ScaleKind::ML;
  static constexpr std::string_view display_name = "Gamma";
  double initial_mu(double y) const { return std::fmax(y, 0.001); }
  double link(double mu) const { return links::log_link(mu); }
  double inverse_link(double eta) const { return links::log_inverse(eta); }
  double link_derivative(double mu) const { return links::log_derivative(mu); }
  double variance(double mu) const { return std::fmax(mu * mu, links::kMeanFloor); }
  double unit_deviance(double y, double mu) const {
    double yy = std::fmax(y, links::kMeanFloor), m = std::fmax(mu, links::kMeanFloor);
    return 2.0 * (std::log(m / yy) + (yy - m) / m);
  }
  Status valid_response(double y, u64 row) const {
    if (!(y <= 0)) return {};
    return response_error(display_name, "y > 0", y, row);
  }
  // With nu = 1/phi: sum of -lngamma(nu) - nu log phi - nu - log y.
  double saturated_loglik(const Vec& y, double phi) const;
};

struct InverseGaussian {
  static constexpr LinkKind link_kind = LinkKind::Log;
  static constexpr ScaleKind scale_kind = ScaleKind::Profiled;
  static constexpr std::string_view display_name = "InverseGaussian";
  double initial_mu(double y) const { return std::fmax(y, 0.001); }
  double link(double mu) const { return links::log_link(mu); }
  double inverse_link(double eta) const { return links::log_inverse(eta); }
  double link_derivative(double mu) const { return links::log_derivative(mu); }
  double variance(double mu) const { return std::fmax(mu * mu * mu, links::kMeanFloor); }
  double unit_deviance(double y, double mu) const {
    double yy = std::fmax(y, links::kMeanFloor), m = std::fmax(mu, links::kMeanFloor);
    return (yy - m) * (yy - m) / (yy * m * m);
  }
  Status valid_response(double y, u64 row) const {
    if (!(y <= 0)) return {};
    return response_error(display_name, "y > 0", y, row);
  }
  // -(n/2) log(2 pi phi) - (3/2) sum log y
  double saturated_loglik(const Vec& y, double phi) const;
};

// Sum of w_i d_i (w absent: all 1) for any family with a unit deviance.
template <class Fam>
double family_deviance(const Fam& fam, const Vec& y, const Vec& mu, const Vec* w) {
  const Eigen::Index n = y.size();
  double d = 0.0;
  if (w) {
    for (Eigen::Index i = 0; i < n; ++i) d += w->coeff(i) * fam.unit_deviance(y.coeff(i), mu.coeff(i));
  } else {
    for (Eigen::Index i = 0; i < n; ++i) d += fam.unit_deviance(y.coeff(i), mu.coeff(i));
  }
  return d;
}

template <class T>
inline constexpr bool is_standard_family_v =
    std::is_same_v<T, Gaussian> || std::is_same_v<T, Bernoulli> || std::is_same_v<T, Poisson> ||
    std::is_same_v<T, QuasiPoisson> || std::is_same_v<T, QuasiBinomial> ||
    std::is_same_v<T, Gamma> || std::is_same_v<T, InverseGaussian>;

}  // namespace vorel

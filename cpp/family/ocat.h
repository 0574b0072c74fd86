// Ordered categorical family (latent identity scale) with R categories.
//
// An observation in category k has probability F(c_k - eta) - F(c_{k-1} - eta), F the logistic
// distribution function, with cut points c_0 = -inf < c_1 = -1 < ... < c_{R-1} < c_R = +inf.
// The R - 2 free parameters ("thresholds") are the logs of the gaps between consecutive finite
// cut points, so any real thresholds give strictly increasing cut points.
#pragma once

#include <optional>
#include <vector>

#include "family/link.h"
#include "util/eigen.h"
#include "util/error.h"

namespace vorel {

struct Ocat {
  u64 n_cats = 3;
  std::vector<double> thresholds;  // R - 2 log-gap thresholds
  static constexpr LinkKind link_kind = LinkKind::Identity;
  static constexpr ScaleKind scale_kind = ScaleKind::Fixed;
};

// c_0 .. c_R (R + 1 values): c_0 = -inf, c_1 = -1, c_j = c_{j-1} + exp(thresholds[j-2]),
// c_R = +inf. Requires n_cats >= 2 and thresholds.size() == n_cats - 2 (InternalFault otherwise).
std::vector<double> ocat_cut_points(const Ocat& family);

// Category 1..R of a response: round half away from zero, NaN and values below 1 map to 1,
// values above R map to R.
u64 ocat_category(double y, u64 n_cats);
// Categories of a whole response vector (the per-observation index used by every evaluation).
std::vector<u64> ocat_categories(const Vec& y, u64 n_cats);

// P(y = k | eta), evaluated without cancellation in the tails. `cuts` from ocat_cut_points,
// 1 <= k <= R.
double ocat_probability(const std::vector<double>& cuts, u64 k, double eta);

// -2 log P with P floored at the smallest normal double, so an impossible category costs a large
// finite amount instead of +inf.
double ocat_unit_deviance(const std::vector<double>& cuts, u64 k, double eta);

// First and second derivative of -2 log P with respect to eta (no prior weight).
struct OcatDerivatives {
  double g1 = 0.0;
  double g2 = 0.0;
};
OcatDerivatives ocat_derivatives(const std::vector<double>& cuts, u64 k, double eta);

// D = sum_i w_i (-2 log P_i) (w absent: all 1). cats and eta have the same length as w.
double ocat_deviance(const std::vector<double>& cuts, const std::vector<u64>& cats, const Vec& eta,
                     const std::optional<Vec>& weights);

// The response check of the ordered categorical path: every y must round into 1..R.
// Error: "Ocat requires y to be an integer in 1..={R}; got y={y} at row {i}".
Status ocat_check_response(const Vec& y, u64 n_cats);

// Logistic density and its derivative, evaluated through exp(-|x|) so they never overflow;
// both are 0 at infinite arguments.
double logistic_density(double x);
double logistic_density_derivative(double x);

}  // namespace vorel

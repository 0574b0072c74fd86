#include "family/ocat.h"

#include <cmath>
#include <limits>
#include <string>

#include "util/format.h"

namespace vorel {

namespace {
constexpr double kMinNormal = 2.2250738585072014e-308;
constexpr double kInf = std::numeric_limits<double>::infinity();
}  // namespace

std::vector<double> ocat_cut_points(const Ocat& family) {
  const u64 r = family.n_cats;
  if (r < 2 || family.thresholds.size() != r - 2)
    throw InternalFault("ocat family value with inconsistent category count and thresholds");
  std::vector<double> c(r + 1);
  c[0] = -kInf;
  c[1] = -1.0;
  for (u64 j = 2; j + 1 <= r; ++j) c[j] = c[j - 1] + std::exp(family.thresholds[j - 2]);
  c[r] = kInf;
  return c;
}

u64 ocat_category(double y, u64 n_cats) {
  const double k = std::round(y);
  // Compare as doubles first: converting NaN or a huge value to an integer is undefined.
  if (!(k >= 1.0)) return 1;
  if (k >= static_cast<double>(n_cats)) return n_cats;
  return static_cast<u64>(k);
}

std::vector<u64> ocat_categories(const Vec& y, u64 n_cats) {
  std::vector<u64> cats(static_cast<std::size_t>(y.size()));
  for (Eigen::Index i = 0; i < y.size(); ++i) cats[static_cast<std::size_t>(i)] = ocat_category(y[i], n_cats);
  return cats;
}

double ocat_probability(const std::vector<double>& cuts, u64 k, double eta) {
  const u64 r = cuts.size() - 1;
  if (k < 1 || k > r) throw InternalFault("ocat category outside 1..R");
  const double a = cuts[k - 1] - eta;
  const double b = cuts[k] - eta;
  if (k == 1) {
    if (b == kInf) return 1.0;
    return 1.0 / (1.0 + std::exp(-b));
  }
  if (k == r) return 1.0 / (1.0 + std::exp(a));
  const double s = std::exp(-std::fabs(a));
  const double q = std::exp(-std::fabs(b));
  if (b < 0.0) return q / (1.0 + q) - s / (1.0 + s);
  if (a > 0.0) return (s - q) / ((1.0 + s) * (1.0 + q));
  return (1.0 - q * s) / ((1.0 + s) * (1.0 + q));
}

double ocat_unit_deviance(const std::vector<double>& cuts, u64 k, double eta) {
  return -2.0 * std::log(std::max(ocat_probability(cuts, k, eta), kMinNormal));
}

double logistic_density(double x) {
  if (std::isinf(x)) return 0.0;
  const double e = std::exp(-std::fabs(x));
  return e / ((1.0 + e) * (1.0 + e));
}

double logistic_density_derivative(double x) {
  if (std::isinf(x)) return 0.0;
  const double e = std::exp(-std::fabs(x));
  const double v = e * (1.0 - e) / ((1.0 + e) * (1.0 + e) * (1.0 + e));
  // Positive below the mode, negative above it.
  return x > 0.0 ? -v : v;
}

OcatDerivatives ocat_derivatives(const std::vector<double>& cuts, u64 k, double eta) {
  if (k < 1 || k + 1 > cuts.size()) throw InternalFault("ocat category outside 1..R");
  const double a = cuts[k - 1] - eta;
  const double b = cuts[k] - eta;
  const double p = std::max(ocat_probability(cuts, k, eta), kMinNormal);
  const double df = logistic_density(b) - logistic_density(a);
  OcatDerivatives d;
  d.g1 = 2.0 * df / p;
  d.g2 = (2.0 / p) * (df * df / p + logistic_density_derivative(a) - logistic_density_derivative(b));
  return d;
}

double ocat_deviance(const std::vector<double>& cuts, const std::vector<u64>& cats, const Vec& eta,
                     const std::optional<Vec>& weights) {
  double d = 0.0;
  for (Eigen::Index i = 0; i < eta.size(); ++i) {
    const double w = weights ? (*weights)[i] : 1.0;
    d += w * ocat_unit_deviance(cuts, cats[static_cast<std::size_t>(i)], eta[i]);
  }
  return d;
}

Status ocat_check_response(const Vec& y, u64 n_cats) {
  for (Eigen::Index i = 0; i < y.size(); ++i) {
    double k = std::round(y[i]);
    if (std::isnan(k)) k = 0.0;
    if (k < 1.0 || k > static_cast<double>(n_cats))
      return fail(VorelError::invalid("Ocat requires y to be an integer in 1..=" + fmt_u64(n_cats) +
                                      "; got y=" + fmt_real(y[i]) + " at row " +
                                      fmt_u64(static_cast<u64>(i))));
  }
  return {};
}

}  // namespace vorel

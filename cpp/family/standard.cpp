#include "family/standard.h"

#include <numbers>
#include <string>

#include "util/format.h"
#include "util/special.h"

namespace vorel {

Status response_error(std::string_view display_name, std::string_view condition, double y, u64 row) {
  std::string msg(display_name);
  msg += " requires ";
  msg += condition;
  msg += "; got y=" + fmt_real(y) + " at row " + fmt_u64(row);
  return fail(VorelError::invalid(std::move(msg)));
}

namespace {
double gaussian_form_loglik(const Vec& y, double phi) {
  return -0.5 * static_cast<double>(y.size()) * std::log(2.0 * std::numbers::pi * phi);
}
}  // namespace

double PoissonOps::saturated_loglik(const Vec& y, double) const {
  double s = 0.0;
  for (Eigen::Index i = 0; i < y.size(); ++i) {
    double v = y.coeff(i);
    if (v > 0) s += v * std::log(v) - v;
  }
  return s;
}

double BinomialOps::saturated_loglik(const Vec& y, double) const {
  double s = 0.0;
  for (Eigen::Index i = 0; i < y.size(); ++i) {
    double v = y.coeff(i);
    if (v > 0 && v < 1) {
      double m = links::clamp_logit_mean(v);
      s += m * std::log(m) + (1.0 - m) * std::log(1.0 - m);
    }
  }
  return s;
}

double Gaussian::saturated_loglik(const Vec& y, double phi) const { return gaussian_form_loglik(y, phi); }
double QuasiPoisson::saturated_loglik(const Vec& y, double phi) const {
  return gaussian_form_loglik(y, phi);
}
double QuasiBinomial::saturated_loglik(const Vec& y, double phi) const {
  return gaussian_form_loglik(y, phi);
}

double Gamma::saturated_loglik(const Vec& y, double phi) const {
  const double nu = 1.0 / phi;
  const double per_row = -ln_gamma(nu) - nu * std::log(phi) - nu;
  double s = 0.0;
  for (Eigen::Index i = 0; i < y.size(); ++i) s += per_row - std::log(std::fmax(y.coeff(i), 1e-300));
  return s;
}

double InverseGaussian::saturated_loglik(const Vec& y, double phi) const {
  double logs = 0.0;
  for (Eigen::Index i = 0; i < y.size(); ++i) logs += std::log(std::fmax(y.coeff(i), 1e-300));
  return gaussian_form_loglik(y, phi) - 1.5 * logs;
}

}  // namespace vorel

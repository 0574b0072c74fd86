#include "family/elf.h"

#include <algorithm>
#include <cmath>

#include "util/format.h"
#include "util/special.h"

namespace vorel {

namespace {
double entropy_term(double tau) { return tau * std::log(tau) + (1.0 - tau) * std::log(1.0 - tau); }
}  // namespace

double softplus(double u) { return u > 0.0 ? u + std::log1p(std::exp(-u)) : std::log1p(std::exp(u)); }

double logistic_cdf(double u) {
  if (u >= 0.0) return 1.0 / (1.0 + std::exp(-u));
  const double e = std::exp(u);
  return e / (1.0 + e);
}

double elf_unit_deviance(const Elf& f, double r) {
  return (2.0 / f.sigma) *
         (f.lambda * softplus(r / f.lambda) - (1.0 - f.tau) * r + f.lambda * entropy_term(f.tau));
}

double elf_deviance(const Elf& f, const Vec& y, const Vec& eta) {
  // Hoisted constants: this runs once per line-search trial.
  const double h = f.lambda * entropy_term(f.tau);
  double d = 0.0;
  for (Eigen::Index i = 0; i < y.size(); ++i) {
    const double r = y[i] - eta[i];
    d += f.lambda * softplus(r / f.lambda) - (1.0 - f.tau) * r + h;
  }
  return (2.0 / f.sigma) * d;
}

ElfNewton elf_newton(const Elf& f, double r) {
  const double p = logistic_cdf(r / f.lambda);
  return {p * (1.0 - p) / (f.sigma * f.lambda), (f.tau - 1.0 + p) / f.sigma};
}

double elf_saturated_term(const Elf& f) {
  const double s = std::max(f.sigma, 1e-12);
  const double l = std::max(f.lambda, 1e-12);
  const double a = l * (1.0 - f.tau) / s;
  const double b = l * f.tau / s;
  return (l / s) * entropy_term(f.tau) - std::log(l) -
         (ln_gamma(a) + ln_gamma(b) - ln_gamma(a + b));
}

Status elf_check_response(const Vec& y) {
  for (Eigen::Index i = 0; i < y.size(); ++i)
    if (!std::isfinite(y[i]))
      return fail(VorelError::invalid("ELF requires finite y; got y=" + fmt_real(y[i]) + " at row " +
                                      fmt_u64(static_cast<u64>(i))));
  return {};
}

}  // namespace vorel

// Extended log-F quantile family (identity link).
//
// A smooth surrogate of the pinball loss of quantile tau: for a residual r = y - eta the unit
// deviance is (2/sigma) * [lambda * softplus(r/lambda) - (1 - tau) r + lambda * H(tau)], with
// H(tau) = tau log tau + (1 - tau) log(1 - tau). It is 0 at its minimum and tends to 2/sigma times
// the pinball loss as the softness lambda goes to 0.
#pragma once

#include "family/link.h"
#include "util/eigen.h"
#include "util/error.h"

namespace vorel {

struct Elf {
  double tau = 0.5;
  double sigma = 0.0;   // 0: chosen automatically
  double lambda = 0.0;  // 0: chosen automatically
  static constexpr LinkKind link_kind = LinkKind::Identity;
  static constexpr ScaleKind scale_kind = ScaleKind::Fixed;
};

// log(1 + e^u) without overflow for large u or loss of digits for very negative u.
double softplus(double u);
// 1 / (1 + e^{-u}) without overflow in either tail.
double logistic_cdf(double u);

// Unit deviance of a residual r = y - eta. Requires 0 < tau < 1, sigma > 0, lambda > 0.
double elf_unit_deviance(const Elf& family, double r);
// Sum of unit deviances over all observations (prior weights do not enter the quantile loss).
double elf_deviance(const Elf& family, const Vec& y, const Vec& eta);

// Per-observation Newton quantities of the penalised loss at residual r: the working weight
// F(1 - F)/(sigma lambda) and the working gradient (tau - 1 + F)/sigma, F = logistic_cdf(r/lambda).
struct ElfNewton {
  double weight = 0.0;
  double gradient = 0.0;
};
ElfNewton elf_newton(const Elf& family, double r);

// Log of the ELF density at its mode for one observation (the saturated term of the score);
// sigma and lambda are floored at 1e-12 first.
double elf_saturated_term(const Elf& family);

// The quantile path's own response check: a non-finite y would make the automatic sigma and
// every deviance NaN. Error: "ELF requires finite y; got y={y} at row {i}".
Status elf_check_response(const Vec& y);

}  // namespace vorel

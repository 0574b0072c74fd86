#include "util/special.h"

#include <cmath>
#include <numbers>

namespace vorel {

double ln_gamma(double x) {
  if (x < 0.5) return std::log(std::numbers::pi / std::sin(std::numbers::pi * x)) - ln_gamma(1.0 - x);
  static constexpr double c[9] = {0.99999999999980993,  676.5203681218851,     -1259.1392167224028,
                                  771.32342877765313,   -176.61502916214059,   12.507343278686905,
                                  -0.13857109526572012, 9.9843695780195716e-6, 1.5056327351493116e-7};
  double t = x - 1.0;
  double s = c[0];
  for (int k = 1; k <= 8; ++k) s += c[k] / (t + k);
  double u = t + 7.5;
  return 0.9189385332046727 + (t + 0.5) * std::log(u) - u + std::log(s);
}

// The upward shift is a loop: refuse arguments where it would not terminate in reasonable time.
static bool shift_is_bounded(double x) { return std::isfinite(x) && x > -1e6; }

double digamma(double x) {
  if (!shift_is_bounded(x)) return x == INFINITY ? INFINITY : NAN;
  double acc = 0.0;
  while (x < 6.0) {
    acc -= 1.0 / x;
    x += 1.0;
  }
  double r = 1.0 / x, r2 = r * r, r4 = r2 * r2, r6 = r4 * r2, r8 = r4 * r4;
  return acc + std::log(x) - r / 2.0 - r2 / 12.0 + r4 / 120.0 - r6 / 252.0 + r8 / 240.0;
}

double trigamma(double x) {
  if (!shift_is_bounded(x)) return x == INFINITY ? 0.0 : NAN;
  double acc = 0.0;
  while (x < 6.0) {
    acc += 1.0 / (x * x);
    x += 1.0;
  }
  double r = 1.0 / x, r2 = r * r, r3 = r2 * r, r5 = r3 * r2, r7 = r5 * r2, r9 = r7 * r2;
  return acc + r + r2 / 2.0 + r3 / 6.0 - r5 / 30.0 + r7 / 42.0 - r9 / 30.0;
}

}  // namespace vorel

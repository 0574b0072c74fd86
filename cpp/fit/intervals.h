// Pointwise Wald intervals from the stored posterior covariance, for predictions and for
// contrasts between two sets of rows, and the normal quantile behind their critical value.
#pragma once

#include "fit/record.h"
#include "util/eigen.h"
#include "util/error.h"
#include "util/xview.h"

namespace vorel {

// Inverse standard normal distribution function (rational approximation with relative error
// below 1.2e-9, no refinement step). p outside (0, 1) or NaN is an InvalidParameter.
Result<double> normal_quantile(double p);

// The two-sided critical value z = normal_quantile((level + 1) / 2) for 0 < level < 1. A level
// so close to 1 that (level + 1) / 2 rounds to 1 has no finite z and is refused with the same
// message as any other level outside the interval.
Result<double> critical_value(double level);

struct WaldBand {
  Vec mean;
  Vec lo;
  Vec hi;
};

enum class CiScale { Link, Response };

// (η, η - z se, z se + η) at the rows of x, mapped through the inverse link on the response
// scale; se_i = sqrt(max(0, x_i' V x_i)). The level is checked before any design is built.
Result<WaldBand> wald_prediction_band(const FittedGam& fit, const XView& x, double level,
                                      CiScale scale);

// Contrast Δ = X_a β - X_b β on the link scale with its Wald band. A side with one row is reused
// for every row of the other side; otherwise the row counts must match.
Result<WaldBand> wald_contrast_band(const FittedGam& fit, const XView& x_a, const XView& x_b,
                                    double level);

}  // namespace vorel

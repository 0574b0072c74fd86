// The ordered categorical fit path once its design is built (fit_ocat in routes.h builds it from
// the design name first).
#pragma once

#include <optional>

#include "design/design.h"
#include "family/ocat.h"
#include "fit/record.h"
#include "util/eigen.h"
#include "util/error.h"

namespace vorel {

// Row checks, the response check, the joint search over (rho, thresholds) from
// (0, family.thresholds), the final full-Newton fit and the record (scale 1, unscaled vcov,
// shape_params = the thresholds). n = rows of x.
Result<FittedGam> fit_ocat_design(const Ocat& family, Design design, u64 n, const Vec& y,
                                  std::optional<Vec> weights);

}  // namespace vorel

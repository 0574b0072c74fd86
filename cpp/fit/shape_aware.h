// The shape-aware fit routes with the work they did, for tests and benchmarks.
#pragma once

#include "fit/routes.h"

namespace vorel {

struct ShapeFitStats {
  u64 inner_fits = 0;  // PIRLS runs of the joint search plus the final fit
  int workers = 1;     // in: threads for the refitted Hessian columns (1 or 2)
};

Result<FittedGam> fit_negbin_counted(const NegBin& family, Design design, u64 n, const Vec& y,
                                     std::optional<Vec> weights, ShapeFitStats* stats);
Result<FittedGam> fit_tdist_counted(const TDist& family, Design design, u64 n, const Vec& y,
                                    std::optional<Vec> weights, ShapeFitStats* stats);
Result<FittedGam> fit_tweedie_counted(const Tweedie& family, Design design, u64 n, const Vec& y,
                                      std::optional<Vec> weights, ShapeFitStats* stats);

}  // namespace vorel

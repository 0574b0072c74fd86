// The problem record of the single-smooth paths that run their own inner solver (ordered
// categorical, quantile): the design's penalty and model matrix are moved in, never copied.
#pragma once

#include <optional>

#include "design/design.h"
#include "inner/problem.h"
#include "util/error.h"

namespace vorel {

// Error (internal) when the design does not carry exactly one penalty: these paths estimate a
// single smoothing parameter.
inline Result<FitProblem> single_smooth_problem(Design& design, const Vec& y,
                                                std::optional<Vec> weights, double tol) {
  if (design.penalties.size() != 1 || design.penalty_ranks.size() != 1 ||
      design.penalty_log_dets.size() != 1)
    return fail(VorelError::internal("single-smooth path given a design without exactly one penalty"));
  return problem_from_design(design, y, std::move(weights), tol);
}

}  // namespace vorel

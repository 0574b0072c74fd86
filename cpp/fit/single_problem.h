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
  FitProblem pr;
  pr.penalties = std::move(design.penalties);
  pr.penalty_spans = std::move(design.penalty_spans);
  pr.penalty_ranks = std::move(design.penalty_ranks);
  pr.penalty_log_dets = std::move(design.penalty_log_dets);
  pr.null_space_dim = design.null_space_dim;
  pr.x = std::move(design.x);
  pr.y = y;
  pr.weights = std::move(weights);
  pr.max_iter = 50;
  pr.tol = tol;
  return pr;
}

}  // namespace vorel

// What every inner solver is given (FitProblem) and returns (InnerFit).
#pragma once

#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "design/design.h"
#include "util/eigen.h"

namespace vorel {

struct FitProblem {
  std::vector<Mat> penalties;          // p x p each
  std::vector<PenaltySpan> penalty_spans;
  std::vector<u64> penalty_ranks;
  std::vector<double> penalty_log_dets;
  u64 null_space_dim = 0;
  Mat x;                               // n x p, moved in from the design (never copied)
  Vec y;
  std::optional<Vec> weights;          // prior weights; absent means all 1
  Mat xtwx;                            // Gaussian only: X^T diag(w) X
  Vec xtwy;                            // Gaussian only: X^T diag(w) y
  std::optional<Vec> eta_start;        // iterative solvers: starting linear predictor
  u64 max_iter = 50;
  double tol = 1e-9;
};

// Gradient correction attached by the inverse Gaussian observed-information step. With
// H = X^T W_obs X + S_lambda: a_i = x_i^T H^-1 x_i, b_i = dW_obs_i/d eta_i (prior weight
// included), c_i = x_i^T (-H^-1 S_1 beta-hat) and trace0 = tr(H^-1 S_1). c and trace0 are per
// unit lambda_1 (S_1 alone), so the score's first gradient component becomes
// lambda_1/2 (trace0 + sum_i a_i b_i c_i) + lambda_1 q_1 / (2 phi) - r_1 / 2.
struct LamlCorrection {
  Vec a, b, c;
  double trace0 = 0.0;
};

struct LogDetFromFactor {};
struct LogDetGiven {
  double value = 0.0;
};

struct InnerFit {
  std::variant<LogDetFromFactor, LogDetGiven> log_det;
  Vec beta;
  Vec eta;
  Vec mu;
  Vec working_weights;
  Vec working_response;
  Mat factor;  // lower Cholesky factor of X^T W X + S_lambda
  double deviance = 0.0;
  double pearson = 0.0;
  u64 n = 0;
  u64 p = 0;
  u64 iterations = 0;
  std::optional<LamlCorrection> laml_correction;
  bool converged = false;
};

// The problem record of one fit: the design's penalties and model matrix are moved in (nothing
// n x p is copied); the response is copied, the prior weights are taken over.
inline FitProblem problem_from_design(Design& design, const Vec& y, std::optional<Vec> weights,
                                      double tol = 1e-9) {
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

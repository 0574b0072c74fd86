// The penalised least-squares solve shared by every inner fit, and the small dense helpers
// built on its Cholesky factor (triangular solves, the inverse, penalty sums and traces).
#pragma once

#include <vector>

#include "design/design.h"
#include "inner/problem.h"
#include "util/eigen.h"
#include "util/error.h"

namespace vorel {

struct PenalizedSolution {
  Mat factor;  // lower Cholesky factor L of A itself (A = L L^T), zero above the diagonal
  Vec beta;    // solves (A + eps I) beta = r, eps = 1e-12 max(1, max |A_ii|)
};

// A: symmetric p x p (lower triangle read), r: p. Neither is modified. A second factorisation
// of A with a tiny ridge gives finite coefficients for a nearly singular A, while the factor
// returned (used for log|A| and traces by the score) is that of A unchanged.
// Error: SingularSystem "Cholesky failed: <LAPACK failure text>".
Result<PenalizedSolution> solve_penalized(const Mat& A, const Vec& r);

// 1e-12 * max(1, max_i |A_ii|), NaN diagonal entries skipped.
double ridge_for(const Mat& A);

// Lower Cholesky factor, failures as SingularSystem "Cholesky failed: ...".
Result<Mat> cholesky(const Mat& A);

// Solves L z = b (L lower triangular), plain loop over the factor.
Vec forward_substitute(const Mat& L, const Vec& b);
// Solves L^T x = z.
Vec back_substitute(const Mat& L, const Vec& z);

// A^{-1} (p x p) from the lower Cholesky factor of A, column k from L z = e_k, L^T x = z.
Mat inverse_from_factor(const Mat& L);

// The block of the model matrix on which penalty j acts; the full p x p range when the
// problem carries no spans (problems assembled by hand in tests).
PenaltySpan penalty_span(const FitProblem& problem, std::size_t j);

// S_lambda = sum_j exp(rho_j) S_j (p x p), added over each penalty's span block only (the
// penalties are zero outside it). rho needs at least as many entries as there are penalties.
Mat penalty_sum(const FitProblem& problem, const Vec& rho);
// Same sum over full matrices, for callers without a FitProblem.
Mat penalty_sum(const std::vector<Mat>& penalties, const Vec& rho);

// sum_kl a_kl s_kl over the span block: tr(a s) for symmetric a and s.
double trace_product(const Mat& a, const Mat& s, PenaltySpan span);

// b^T S b over the span block.
double penalty_quadratic(const Mat& s, const Vec& b, PenaltySpan span);

// log|A| = 2 sum log L_kk (0 for an empty factor).
double log_det_from_factor(const Mat& L);

}  // namespace vorel

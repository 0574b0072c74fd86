// Result assembly shared by the fit drivers: checks on the caller's arrays, the explicit
// inverse of the penalised Hessian, effective degrees of freedom and the FittedGam record.
#pragma once

#include <optional>

#include "design/predictor.h"
#include "family/family.h"
#include "fit/record.h"
#include "inner/gram.h"   // weighted_gram
#include "inner/problem.h"
#include "inner/solve.h"  // inverse_from_factor, trace_product, penalty_span
#include "outer/newton.h"
#include "util/eigen.h"
#include "util/error.h"

namespace vorel {

// "x and y must have the same number of rows; ..." then "prior_weights length must match ...".
Status check_lengths(u64 n, const Vec& y, const std::optional<Vec>& weights);

// The family's response check over y in row order, first failing row reported. Families
// without a `valid_response` member (the shape-aware ones check in their own paths) pass.
Status check_response(const Family& family, const Vec& y);

// Number of rows of s holding at least one entry that is not 0 (NaN counts as not 0).
u64 nonzero_rows(const Mat& s);

// r_j - lambda_j tr(A^-1 S_j) per penalty, r_j = nonzero_rows(S_j).
Vec edf_per_term(const Mat& a_inv, const FitProblem& problem, const Vec& lambda);

// tr(A^-1 X^T W X) as sum_kl (A^-1)_kl (X^T W X)_kl.
double edf_total(const Mat& a_inv, const Mat& xtwx);

// What every driver derives from its final inner fit before the scale is known.
struct FinalFitSummary {
  Mat a_inv;          // A^-1 from the final factor
  double edf_total = 0.0;
  Vec edf_per_term;
  Vec lambda;
};

// A^-1 from fit.factor, lambda = exp(rho), the edf with X^T W X rebuilt from problem.x and the
// final working weights (or taken from `xtwx_known` when the caller already has exactly that
// matrix, as the Gaussian driver does).
FinalFitSummary summarize_final_fit(const FitProblem& problem, const InnerFit& fit, const Vec& rho,
                                    const Mat* xtwx_known = nullptr);

// The record: vcov = scale * A^-1 (A^-1 kept as formed when scale is exactly 1; a NaN scale
// gives an all-NaN vcov). n_iters and reml_value come from the outer search.
FittedGam assemble_record(Vec beta, Vec rho, double scale, FinalFitSummary summary, u64 n,
                          const OuterResult& outer, bool converged, Predictor predictor,
                          LinkKind link_kind, Vec shape_params = Vec());

}  // namespace vorel

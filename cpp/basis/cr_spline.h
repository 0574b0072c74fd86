// Cubic regression spline pieces: knot placement and validation, the cardinal natural cubic
// spline basis, its second-derivative penalty and scaling, and the sum-to-zero constraint.
//
// The basis is parametrised by value at the knots: coefficient j is the curve's value at knot j.
// Outside the knot range each basis function continues linearly with its end slope.
#pragma once

#include <vector>

#include "util/eigen.h"
#include "util/error.h"
#include "util/xview.h"

namespace vorel {

// Knots at quantiles of the distinct values (near-duplicates within 1e-12 collapse to the first
// of their run); equally spaced between the extremes when there are fewer distinct values than
// k. `values` is consumed (sorted in place). Errors: those of validate_knots.
Result<Vec> place_knots(Vec values, u64 k);

// At least 3 knots, strictly increasing. NaN anywhere fails the increasing test.
Status validate_knots(const Vec& knots);

// Piecewise-cubic coefficients of the k cardinal natural splines over validated knots.
// Tables are interval-major: entry [i * k + j] belongs to interval i, basis function j, so one
// row's evaluation reads k contiguous coefficients per table.
struct CrTables {
  Vec knots;
  Eigen::Index k = 0;
  std::vector<double> a, b, c, d;         // (k - 1) * k each
  std::vector<double> left_slope;         // k: slope b_0 of each function at the first knot
  std::vector<double> right_slope;        // k: slope of each function at the last knot
};
CrTables cr_tables(const Vec& knots);

// Basis row at t into out[0 .. k): one binary search, then k cubic (or linear) evaluations.
void cr_basis_row(const CrTables& tab, double t, double* out);

// B (n x k, column-major) at column `col` of x. Knots must be valid.
Mat cr_basis(const Vec& knots, const XView& x, u64 col);

// S (k x k) with beta^T S beta = integral of the squared second derivative over the knot range,
// formed as D^T (B_p^{-1} D) with tridiagonal solves. Knots must be valid.
Mat cr_penalty(const Vec& knots);

// Factor ||B||_inf^2 / ||S||_inf applied to a cr penalty (1.0 when ||S||_inf is 0), where
// basis_inf_norm is the largest absolute row sum of the basis at the fitting data.
double cr_penalty_scale(double basis_inf_norm, const Mat& s);

// Z (m x (m - 1)): orthonormal columns orthogonal to c, from the Householder reflection that maps
// c onto the first axis; the dropped-last-column identity when ||c||_2 is below machine epsilon.
Mat sum_to_zero_null_space(const Vec& c);

// Unweighted column sums of B and its largest absolute row sum (NaN rows ignored in the max) at
// column `col` of x, accumulated row by row without forming B.
struct CrBasisStats {
  Vec col_sums;
  double max_abs_row_sum = 0.0;
};
CrBasisStats cr_basis_stats(const CrTables& tab, const XView& x, u64 col);

// out.block(0, col0, n, q) = B(x[:, col]) * m, with m k x q. The basis is evaluated in row
// chunks and multiplied by BLAS straight into out's columns, so no n x k basis is formed.
// Every caller that must reproduce a model matrix bit for bit goes through this one function.
void write_cr_product(const CrTables& tab, const XView& x, u64 col, const Mat& m, Mat& out,
                      Eigen::Index col0);

// Rows per chunk used by the streaming evaluators for a basis of `width` columns (a function of
// the width only, so the same data is always cut at the same rows).
Eigen::Index chunk_rows(Eigen::Index width);

// C(r0.., c0..) = A^T M where A is the k x m chunk buffer (row-major m x k rows) and M is k x q.
void gemm_chunk_into(const double* a_rowmajor, Eigen::Index m_rows, Eigen::Index k,
                     const Mat& mult, Mat& out, Eigen::Index r0, Eigen::Index col0);

}  // namespace vorel

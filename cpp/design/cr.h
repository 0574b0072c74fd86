// The cr term of one column and the single-smooth cr design.
#pragma once

#include "design/design.h"
#include "util/eigen.h"
#include "util/error.h"
#include "util/xview.h"

namespace vorel {

// What a cr term keeps of its training column: knots, constraint Z and the constrained scaled
// penalty Z^T S~ Z ((k - 1) x (k - 1)). The n-row block is written by the predictor's
// evaluation, so a design and a later prediction share one code path.
struct CrTermSetup {
  Vec knots;
  Mat centring;
  Mat penalty;
};
Result<CrTermSetup> setup_cr_term(const XView& x, u64 column, u64 k);

struct CrTermBlock {
  Vec knots;
  Mat centring;
  Mat x_block;  // B Z, n x (k - 1)
  Mat penalty;  // Z^T S~ Z
};
// Reads column `column` of x (the caller has checked that it exists). Errors: knot errors.
Result<CrTermBlock> build_cr_term(const XView& x, u64 column, u64 k);

// Single-smooth design of column 0: x = [1 | B Z], one k x k penalty on rows/columns 1..k-1.
Result<Design> build_cr_design(const XView& x, u64 k);

// The single-smooth layout shared by the cr, cr_stable and re designs: x = predictor at the
// training data, the term penalty embedded at rows/columns 1.., its rank and log-determinant.
Result<Design> assemble_single_smooth(Predictor pred, const Mat& term_penalty, const XView& x);

// A p x p zero matrix holding `block` at rows and columns [first, first + block.rows()).
Mat embed_penalty(const Mat& block, Eigen::Index first, Eigen::Index p);

}  // namespace vorel

// The cr term expressed in the eigenbasis of its own constrained penalty: same function space,
// but the penalty handed to the solvers is diagonal with descending entries.
#pragma once

#include "design/design.h"
#include "util/eigen.h"
#include "util/error.h"
#include "util/xview.h"

namespace vorel {

struct StableReparam {
  Vec eigenvalues;  // descending
  Mat v;            // column i: unit eigenvector of eigenvalues[i]

  // inner_penalty must be m x m (an internal fault otherwise). Error: Linalg
  // "eigh failed in StableReparam: {reason}".
  static Result<StableReparam> create(const Mat& inner_penalty, u64 m);
};

struct CrStableTermSetup {
  Vec knots;
  Mat centring;   // Z, k x (k - 1)
  Mat reparam_v;  // V, (k - 1) x (k - 1)
  Mat penalty;    // V^T P V
};
Result<CrStableTermSetup> setup_cr_stable_term(const XView& x, u64 column, u64 k);

struct CrStableTermBlock {
  Vec knots;
  Mat centring;
  Mat reparam_v;
  Mat x_block;  // B Z V, n x (k - 1)
  Mat penalty;
};
Result<CrStableTermBlock> build_cr_stable_term(const XView& x, u64 column, u64 k);

// Single-smooth design of column 0 in the stable coordinates.
Result<Design> build_cr_stable_design(const XView& x, u64 k);

// The k x (k - 1) multiplier Z V applied to the basis. Formed once here so that the design and
// every later evaluation multiply the basis by the very same matrix.
Mat cr_stable_multiplier(const Mat& centring, const Mat& reparam_v);

}  // namespace vorel

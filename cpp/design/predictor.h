// What a fit keeps to rebuild its model matrix at new x: knots, constraint matrices, rotations
// and levels computed from the training data, and nothing else.
#pragma once

#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "util/eigen.h"
#include "util/error.h"
#include "util/xview.h"

namespace vorel {

struct Predictor;

struct CrPredictor {
  Vec knots;      // k strictly increasing knots
  Mat centring;   // k x (k - 1) sum-to-zero constraint Z
};

struct RePredictor {
  std::vector<double> levels;  // ascending distinct values (bitwise distinct)
};

struct CrStablePredictor {
  Vec knots;      // k knots
  Mat centring;   // k x (k - 1)
  Mat reparam_v;  // (k - 1) x (k - 1) eigenbasis of the constrained penalty, descending order
};

struct TensorPredictor {
  u64 col_a = 0, col_b = 0;
  std::string bs_a = "cr", bs_b = "cr";  // margin basis kind; "cr" is the only one
  Vec knots_a, knots_b;
  Mat xp_a, xp_b;  // margin transforms (identities as built)
  Mat centring;    // (k_a k_b) x (k_a k_b - 1)
};

struct AdditivePredictor {
  std::vector<Predictor> term_predictors;            // kinds cr, re, cr_stable, tensor
  std::vector<std::vector<u64>> cols_used;           // x columns each term reads
  std::vector<std::pair<u64, u64>> term_col_ranges;  // (first, last_exclusive) per term
};

// Alternative order matches the kind names "cr", "re", "cr_stable", "additive", "tensor".
struct Predictor {
  std::variant<CrPredictor, RePredictor, CrStablePredictor, AdditivePredictor, TensorPredictor> kind;
};

// Model matrix [1 | block] at x (n x d view; only the columns the predictor names are read).
// Never reads out of bounds, whatever the stored shapes: inconsistent stored data is reported
// as an error value.
Result<Mat> predictor_design(const Predictor& pred, const XView& x);

// Number of model-matrix columns the predictor produces (1 + block widths), computed from the
// stored shapes; an error when the stored shapes are inconsistent.
Result<u64> predictor_width(const Predictor& pred);

}  // namespace vorel

// Additive design: intercept plus one block per term, one full-size penalty per smoothing
// parameter, and the additive predictor that rebuilds the same matrix at new x.
#pragma once

#include <vector>

#include "design/design.h"
#include "util/error.h"
#include "util/xview.h"

namespace vorel {

struct TermSpec {
  enum class Kind { Cr, CrStable, Re, Te } kind;
  u64 col = 0, k = 10, col_a = 0, col_b = 0, k_a = 10, k_b = 10;
};

// terms must be non-empty. Errors, in order: the first term column not below the number of
// columns of x ("Additive term {j} reads column {col} but x has only {d} columns"), a non-finite
// value in any column the terms read, then the first error of a term builder in term order.
Result<Design> build_additive_design(const std::vector<TermSpec>& terms, const XView& x);

}  // namespace vorel

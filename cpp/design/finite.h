// Knot placement and level sorting have no meaning for NaN or infinite covariates, so a design
// refuses them in the columns it reads before anything is built.
#pragma once

#include <vector>

#include "util/error.h"
#include "util/xview.h"

namespace vorel {

// InvalidParameter "x must be finite in the columns the model reads; got x[{row}, {col}]={value}"
// for the first non-finite entry in row order, and within a row in the order of `cols`. Every
// column must exist (a missing one is an internal fault: callers check the range first).
Status check_finite_columns(const XView& x, const std::vector<u64>& cols);

}  // namespace vorel

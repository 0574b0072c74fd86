// Random-effect term: each bitwise-distinct value of one column is a level with its own
// coefficient and an identity (ridge) penalty.
#pragma once

#include <vector>

#include "design/design.h"
#include "util/eigen.h"
#include "util/error.h"
#include "util/xview.h"

namespace vorel {

// The order levels are kept in: numeric, with -0.0 before 0.0 (they compare equal but are
// distinct levels) and NaN last (ordered by bits). A strict weak order, so sorting and binary
// search stay well defined whatever the column holds.
bool level_less(double a, double b);

struct ReTermBlock {
  std::vector<double> levels;
  Mat x_block;  // n x L indicator
  Mat penalty;  // L x L identity
};
// Error: "Re basis: x is empty" for a column with no rows.
Result<std::vector<double>> re_levels(const XView& x, u64 column);
Result<ReTermBlock> build_re_term(const XView& x, u64 column);

// n x L indicator of column `col`: 1.0 where the value is bitwise equal to a level; a value that
// is not a level gives a zero row.
Mat re_indicator(const std::vector<double>& levels, const XView& x, u64 col);
// Same, written into out.block(0, col0, n, L) (which it zero-fills first).
void write_re_indicator(const std::vector<double>& levels, const XView& x, u64 col, Mat& out,
                        Eigen::Index col0);

// Single-smooth design of column 0: x = [1 | indicator], identity penalty on rows/columns 1..L.
Result<Design> build_re_design(const XView& x);

}  // namespace vorel

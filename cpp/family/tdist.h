// Scaled t family (identity link) with degrees of freedom nu and scale sigma2.
#pragma once

#include "family/link.h"
#include "util/eigen.h"

namespace vorel {

struct TDist {
  double nu = 5.0;
  double sigma2 = 1.0;
  static constexpr LinkKind link_kind = LinkKind::Identity;
};

}  // namespace vorel

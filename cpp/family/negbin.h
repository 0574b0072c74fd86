// Negative binomial family (log link) with dispersion theta.
#pragma once

#include "family/link.h"
#include "util/eigen.h"

namespace vorel {

struct NegBin {
  double theta = 2.0;
  static constexpr LinkKind link_kind = LinkKind::Log;
};

}  // namespace vorel

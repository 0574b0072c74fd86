// Tweedie family (log link) with power p in (1, 2) and dispersion phi.
#pragma once

#include "family/link.h"
#include "util/eigen.h"

namespace vorel {

struct Tweedie {
  double p = 1.5;
  double phi = 1.0;
  static constexpr LinkKind link_kind = LinkKind::Log;
};

}  // namespace vorel

// Extended log-F quantile family (identity link).
#pragma once

#include "family/link.h"
#include "util/eigen.h"

namespace vorel {

struct Elf {
  double tau = 0.5;
  double sigma = 0.0;   // 0: chosen automatically
  double lambda = 0.0;  // 0: chosen automatically
  static constexpr LinkKind link_kind = LinkKind::Identity;
};

}  // namespace vorel

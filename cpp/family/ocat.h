// Ordered categorical family (latent identity scale) with R categories.
#pragma once

#include <vector>

#include "family/link.h"
#include "util/eigen.h"

namespace vorel {

struct Ocat {
  u64 n_cats = 3;
  std::vector<double> thresholds;  // R - 2 log-gap thresholds
  static constexpr LinkKind link_kind = LinkKind::Identity;
};

}  // namespace vorel

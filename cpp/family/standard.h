// The seven standard exponential families.
#pragma once

#include "family/link.h"
#include "util/eigen.h"

namespace vorel {

struct Gaussian {
  static constexpr LinkKind link_kind = LinkKind::Identity;
  static constexpr ScaleKind scale_kind = ScaleKind::Profiled;
};
struct Bernoulli {
  static constexpr LinkKind link_kind = LinkKind::Logit;
  static constexpr ScaleKind scale_kind = ScaleKind::Fixed;
};
struct Poisson {
  static constexpr LinkKind link_kind = LinkKind::Log;
  static constexpr ScaleKind scale_kind = ScaleKind::Fixed;
};
struct QuasiPoisson {
  static constexpr LinkKind link_kind = LinkKind::Log;
  static constexpr ScaleKind scale_kind = ScaleKind::Profiled;
};
struct QuasiBinomial {
  static constexpr LinkKind link_kind = LinkKind::Logit;
  static constexpr ScaleKind scale_kind = ScaleKind::Profiled;
};
struct Gamma {
  static constexpr LinkKind link_kind = LinkKind::Log;
  static constexpr ScaleKind scale_kind = ScaleKind::ML;
};
struct InverseGaussian {
  static constexpr LinkKind link_kind = LinkKind::Log;
  static constexpr ScaleKind scale_kind = ScaleKind::Profiled;
};

}  // namespace vorel

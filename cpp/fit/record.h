// The fitted-model record: complete when constructed, never changed afterwards.
#pragma once

#include "design/predictor.h"
#include "family/link.h"
#include "util/eigen.h"

namespace vorel {

struct FittedGam {
  Vec beta;          // p
  Vec rho;           // J
  Vec lambda;        // J
  double scale = 1.0;
  double edf_total = 0.0;
  Vec edf_per_term;  // J
  u64 n = 0;
  u64 n_iters = 0;
  bool converged = false;
  double reml_value = 0.0;
  Predictor predictor;
  Mat vcov;          // p x p
  LinkKind link_kind = LinkKind::Identity;
  Vec shape_params;
};

}  // namespace vorel

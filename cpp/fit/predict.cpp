#include "fit/predict.h"

#include <cmath>

#include "util/format.h"

namespace vorel {

Result<Mat> fitted_lpmatrix(const FittedGam& fit, const XView& x) {
  VOREL_TRY(Mat X, predictor_design(fit.predictor, x));
  if (X.cols() != fit.beta.size()) {
    return fail(VorelError::invalid(
        "FittedGam: the predictor builds " + fmt_u64(static_cast<u64>(X.cols())) +
        " model-matrix columns but beta has " + fmt_u64(static_cast<u64>(fit.beta.size())) +
        " coefficients"));
  }
  return X;
}

Vec linear_predictor(const Mat& X, const Vec& beta) { return X * beta; }

double inverse_link(LinkKind link, double eta) {
  switch (link) {
    case LinkKind::Identity:
      return eta;
    case LinkKind::Log:
      return std::exp(eta);
    case LinkKind::Logit:
      if (eta >= 0.0) return 1.0 / (1.0 + std::exp(-eta));
      {
        const double e = std::exp(eta);
        return e / (1.0 + e);
      }
  }
  throw InternalFault("inverse_link: unknown link kind");
}

void apply_inverse_link(LinkKind link, Vec& values) {
  if (link == LinkKind::Identity) return;
  for (Eigen::Index i = 0; i < values.size(); ++i) values[i] = inverse_link(link, values[i]);
}

Result<Vec> predict_eta(const FittedGam& fit, const XView& x) {
  VOREL_TRY(Mat X, fitted_lpmatrix(fit, x));
  return linear_predictor(X, fit.beta);
}

Result<Vec> predict_mu(const FittedGam& fit, const XView& x) {
  VOREL_TRY(Vec eta, predict_eta(fit, x));
  apply_inverse_link(fit.link_kind, eta);
  return eta;
}

}  // namespace vorel

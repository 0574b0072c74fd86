#include "fit/intervals.h"

#include <cmath>

#include "fit/predict.h"
#include "util/format.h"

namespace vorel {

namespace {

// Published coefficients of Acklam's approximation: central region (a, b), tails (c, d).
constexpr double kA[6] = {-3.969683028665376e+01, 2.209460984245205e+02, -2.759285104469687e+02,
                          1.383577518672690e+02,  -3.066479806614716e+01, 2.506628277459239e+00};
constexpr double kB[5] = {-5.447609879822406e+01, 1.615858368580409e+02, -1.556989798598866e+02,
                          6.680131188771972e+01,  -1.328068155288572e+01};
constexpr double kC[6] = {-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e+00,
                          -2.549732539343734e+00, 4.374664141464968e+00,  2.938163982698783e+00};
constexpr double kD[4] = {7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
                          3.754408661907416e+00};
constexpr double kPLow = 0.02425;
constexpr double kPHigh = 1.0 - kPLow;

double lower_tail(double q) {
  return (((((kC[0] * q + kC[1]) * q + kC[2]) * q + kC[3]) * q + kC[4]) * q + kC[5]) /
         ((((kD[0] * q + kD[1]) * q + kD[2]) * q + kD[3]) * q + 1.0);
}

Status check_level(double level) {
  if (!(level > 0.0 && level < 1.0)) {
    return fail(VorelError::invalid("level must be in (0, 1); got level=" + fmt_real(level)));
  }
  return {};
}

// The stored covariance must match beta before any row is multiplied by it; a mismatch can only
// come from an altered frame.
Status check_vcov_shape(const FittedGam& fit) {
  const auto p = fit.beta.size();
  if (fit.vcov.rows() != p || fit.vcov.cols() != p) {
    return fail(VorelError::invalid("FittedGam: vcov is " + fmt_u64(static_cast<u64>(fit.vcov.rows())) +
                                    " x " + fmt_u64(static_cast<u64>(fit.vcov.cols())) +
                                    " but beta has " + fmt_u64(static_cast<u64>(p)) +
                                    " coefficients"));
  }
  return {};
}

// se_i = sqrt(max(0, d_i' V d_i)) for every row d_i of D. D V is one matrix product (n x p); the
// n x n covariance of the predictions is never formed. Round-off can make the quadratic form
// slightly negative, which must read as zero width, never NaN.
Vec row_standard_errors(const Mat& D, const Mat& V) {
  const Mat DV = D * V;
  Vec se(D.rows());
  for (Eigen::Index i = 0; i < D.rows(); ++i) {
    const double q = DV.row(i).dot(D.row(i));
    se[i] = std::sqrt(q > 0.0 ? q : 0.0);
  }
  return se;
}

WaldBand band_around(Vec centre, const Vec& se, double z) {
  WaldBand band;
  band.lo.resize(centre.size());
  band.hi.resize(centre.size());
  for (Eigen::Index i = 0; i < centre.size(); ++i) {
    band.lo[i] = centre[i] - se[i] * z;
    band.hi[i] = se[i] * z + centre[i];
  }
  band.mean = std::move(centre);
  return band;
}

}  // namespace

Result<double> normal_quantile(double p) {
  if (!(p > 0.0 && p < 1.0)) {
    return fail(VorelError::invalid("normal_quantile: p must be in (0,1), got " + fmt_real(p)));
  }
  if (p < kPLow) return lower_tail(std::sqrt(-2.0 * std::log(p)));
  if (p <= kPHigh) {
    const double q = p - 0.5;
    const double r = q * q;
    return (((((kA[0] * r + kA[1]) * r + kA[2]) * r + kA[3]) * r + kA[4]) * r + kA[5]) * q /
           (((((kB[0] * r + kB[1]) * r + kB[2]) * r + kB[3]) * r + kB[4]) * r + 1.0);
  }
  return -lower_tail(std::sqrt(-2.0 * std::log(1.0 - p)));
}

Result<double> critical_value(double level) {
  VOREL_CHECK(check_level(level));
  const double p = (level + 1.0) * 0.5;
  if (!(p < 1.0)) {
    return fail(VorelError::invalid("level must be in (0, 1); got level=" + fmt_real(level)));
  }
  return normal_quantile(p);
}

Result<WaldBand> wald_prediction_band(const FittedGam& fit, const XView& x, double level,
                                      CiScale scale) {
  VOREL_TRY(const double z, critical_value(level));
  VOREL_TRY(Mat X, fitted_lpmatrix(fit, x));
  VOREL_CHECK(check_vcov_shape(fit));
  Vec eta = linear_predictor(X, fit.beta);
  const Vec se = row_standard_errors(X, fit.vcov);
  WaldBand band = band_around(std::move(eta), se, z);
  if (scale == CiScale::Response) {
    apply_inverse_link(fit.link_kind, band.mean);
    apply_inverse_link(fit.link_kind, band.lo);
    apply_inverse_link(fit.link_kind, band.hi);
  }
  return band;
}

Result<WaldBand> wald_contrast_band(const FittedGam& fit, const XView& x_a, const XView& x_b,
                                    double level) {
  VOREL_TRY(const double z, critical_value(level));
  VOREL_TRY(Mat Xa, fitted_lpmatrix(fit, x_a));
  VOREL_TRY(Mat Xb, fitted_lpmatrix(fit, x_b));
  if (Xa.cols() != Xb.cols()) {
    return fail(VorelError::invalid("predict_diff: design width mismatch (a=" +
                                    fmt_u64(static_cast<u64>(Xa.cols())) +
                                    ", b=" + fmt_u64(static_cast<u64>(Xb.cols())) + ")"));
  }
  const Eigen::Index na = Xa.rows(), nb = Xb.rows();
  Eigen::Index n = 0;
  if (na == nb || na == 1) {
    n = nb;
  } else if (nb == 1) {
    n = na;
  } else {
    return fail(VorelError::invalid(
        "predict_diff: row counts must match or one must be 1 (broadcast); got a=" +
        fmt_u64(static_cast<u64>(na)) + ", b=" + fmt_u64(static_cast<u64>(nb))));
  }
  VOREL_CHECK(check_vcov_shape(fit));
  Mat D(n, Xa.cols());
  for (Eigen::Index r = 0; r < n; ++r) {
    D.row(r) = Xa.row(na == 1 ? 0 : r) - Xb.row(nb == 1 ? 0 : r);
  }
  Vec diff = linear_predictor(D, fit.beta);
  const Vec se = row_standard_errors(D, fit.vcov);
  return band_around(std::move(diff), se, z);
}

}  // namespace vorel

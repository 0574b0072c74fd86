// Point prediction from a fitted record: the model matrix at new x, the linear predictor and the
// inverse link. Everything reads the record only, so a reloaded fit predicts identically.
#pragma once

#include "family/link.h"
#include "fit/record.h"
#include "util/eigen.h"
#include "util/error.h"
#include "util/xview.h"

namespace vorel {

// The n_new x p model matrix at x, rebuilt by the stored predictor. A record whose predictor
// width disagrees with the length of beta (only possible for an altered frame) is an error
// value, so no later product can read past either array.
Result<Mat> fitted_lpmatrix(const FittedGam& fit, const XView& x);

// η = X β for a model matrix from fitted_lpmatrix (X.cols() == beta.size()).
Vec linear_predictor(const Mat& X, const Vec& beta);

// μ = g⁻¹(η) for one value. The logistic takes the branch that never exponentiates a large
// positive number, so it stays in [0, 1] for any finite η; a NaN η gives NaN.
double inverse_link(LinkKind link, double eta);

// g⁻¹ applied elementwise in place.
void apply_inverse_link(LinkKind link, Vec& values);

// Linear predictor and response-scale mean at x.
Result<Vec> predict_eta(const FittedGam& fit, const XView& x);
Result<Vec> predict_mu(const FittedGam& fit, const XView& x);

}  // namespace vorel

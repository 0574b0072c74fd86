// Weighted cross-products X^T diag(w) X and X^T diag(w) v, the n-sized work of every inner fit.
#pragma once

#include "util/eigen.h"

namespace vorel {

// out = X^T diag(w) X (p x p, both triangles filled, exactly symmetric); w == nullptr means all
// ones. One BLAS-3 call: dsyrk on diag(sqrt w) X when every weight is >= 0, otherwise dgemm of
// diag(w) X against X (negative or NaN weights). `scaled` is an n x p scratch buffer that the
// caller may keep across calls to avoid reallocating it; it is overwritten.
void weighted_gram_into(const Mat& x, const Vec* w, Mat& scaled, Mat& out);

// Convenience form that allocates its own scratch.
Mat weighted_gram(const Mat& x, const Vec& w);

// out = X^T (w o v) (w == nullptr: X^T v), via one dgemv; `wv` is an n-sized scratch buffer.
void weighted_xtv_into(const Mat& x, const Vec* w, const Vec& v, Vec& wv, Vec& out);

}  // namespace vorel

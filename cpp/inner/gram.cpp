#include "inner/gram.h"

#include <cmath>

#include "util/lapack.h"

namespace vorel {

void weighted_gram_into(const Mat& x, const Vec* w, Mat& scaled, Mat& out) {
  const Eigen::Index n = x.rows(), p = x.cols();
  out.resize(p, p);
  if (!w) {
    lapack::gram(x, out);
    return;
  }
  if (w->size() != n) throw InternalFault("weighted_gram: weight length mismatch");
  bool all_nonnegative = true;
  for (Eigen::Index i = 0; i < n; ++i) {
    if (!(w->coeff(i) >= 0)) {
      all_nonnegative = false;
      break;
    }
  }
  scaled.resize(n, p);
  if (all_nonnegative) {
    // One square root per row, not per element.
    const Vec sw = w->array().sqrt();
    const double* swp = sw.data();
    for (Eigen::Index j = 0; j < p; ++j) {
      const double* src = x.col(j).data();
      double* dst = scaled.col(j).data();
      for (Eigen::Index i = 0; i < n; ++i) dst[i] = swp[i] * src[i];
    }
    lapack::gram(scaled, out);
    return;
  }
  for (Eigen::Index j = 0; j < p; ++j) {
    const double* src = x.col(j).data();
    double* dst = scaled.col(j).data();
    const double* wp = w->data();
    for (Eigen::Index i = 0; i < n; ++i) dst[i] = wp[i] * src[i];
  }
  lapack::at_b(scaled, x, out);
  // The product is symmetric in exact arithmetic; mirror so both triangles agree bit for bit.
  out.triangularView<Eigen::StrictlyUpper>() = out.transpose().triangularView<Eigen::StrictlyUpper>();
}

Mat weighted_gram(const Mat& x, const Vec& w) {
  Mat scaled, out;
  weighted_gram_into(x, &w, scaled, out);
  return out;
}

void weighted_xtv_into(const Mat& x, const Vec* w, const Vec& v, Vec& wv, Vec& out) {
  if (!w) {
    lapack::at_x(x, v, out);
    return;
  }
  if (w->size() != v.size()) throw InternalFault("weighted_xtv: length mismatch");
  wv.resize(v.size());
  wv.array() = w->array() * v.array();
  lapack::at_x(x, wv, out);
}

}  // namespace vorel

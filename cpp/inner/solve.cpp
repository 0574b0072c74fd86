#include "inner/solve.h"

#include <cmath>

#include "util/lapack.h"

namespace vorel {

double ridge_for(const Mat& A) {
  double m = 1.0;
  const Eigen::Index p = std::min(A.rows(), A.cols());
  for (Eigen::Index i = 0; i < p; ++i) {
    double v = std::fabs(A.coeff(i, i));
    if (v > m) m = v;  // a NaN never compares greater
  }
  return m * 1e-12;
}

Result<Mat> cholesky(const Mat& A) {
  auto l = lapack::cholesky_lower(A);
  if (!l) return fail(VorelError::singular("Cholesky failed: " + lapack::failure_text(l.error())));
  return std::move(*l);
}

Result<PenalizedSolution> solve_penalized(const Mat& A, const Vec& r) {
  if (A.rows() != A.cols() || A.rows() != r.size())
    throw InternalFault("solve_penalized: shape mismatch");
  VOREL_TRY(Mat l1, cholesky(A));
  Mat ridged = A;
  ridged.diagonal().array() += ridge_for(A);
  VOREL_TRY(Mat l2, cholesky(ridged));
  Vec beta = back_substitute(l2, forward_substitute(l2, r));
  return PenalizedSolution{std::move(l1), std::move(beta)};
}

Vec forward_substitute(const Mat& L, const Vec& b) {
  const Eigen::Index p = L.rows();
  if (L.cols() != p || b.size() != p) throw InternalFault("forward_substitute: shape mismatch");
  Vec z(p);
  for (Eigen::Index i = 0; i < p; ++i) {
    double s = b.coeff(i);
    for (Eigen::Index k = 0; k < i; ++k) s -= L.coeff(i, k) * z.coeff(k);
    z.coeffRef(i) = s / L.coeff(i, i);
  }
  return z;
}

Vec back_substitute(const Mat& L, const Vec& z) {
  const Eigen::Index p = L.rows();
  if (L.cols() != p || z.size() != p) throw InternalFault("back_substitute: shape mismatch");
  Vec x(p);
  for (Eigen::Index i = p - 1; i >= 0; --i) {
    double s = z.coeff(i);
    // Column i of L below the diagonal is row i of L^T: contiguous in column-major storage.
    for (Eigen::Index k = i + 1; k < p; ++k) s -= L.coeff(k, i) * x.coeff(k);
    x.coeffRef(i) = s / L.coeff(i, i);
  }
  return x;
}

Mat inverse_from_factor(const Mat& L) {
  const Eigen::Index p = L.rows();
  Mat inv(p, p);
  Vec e = Vec::Zero(p);
  for (Eigen::Index k = 0; k < p; ++k) {
    e.setZero();
    e.coeffRef(k) = 1.0;
    inv.col(k) = back_substitute(L, forward_substitute(L, e));
  }
  return inv;
}

PenaltySpan penalty_span(const FitProblem& problem, std::size_t j) {
  if (j < problem.penalty_spans.size()) {
    PenaltySpan s = problem.penalty_spans[j];
    const Eigen::Index p = problem.penalties[j].rows();
    if (s.first >= 0 && s.width >= 0 && s.first + s.width <= p) return s;
    throw InternalFault("penalty span outside the penalty matrix");
  }
  return PenaltySpan{0, problem.penalties[j].rows()};
}

Mat penalty_sum(const FitProblem& problem, const Vec& rho) {
  const auto& pens = problem.penalties;
  if (pens.empty()) throw InternalFault("penalty_sum: no penalties");
  if (static_cast<std::size_t>(rho.size()) < pens.size())
    throw InternalFault("penalty_sum: fewer log smoothing parameters than penalties");
  Mat s = Mat::Zero(pens[0].rows(), pens[0].cols());
  for (std::size_t j = 0; j < pens.size(); ++j) {
    PenaltySpan sp = penalty_span(problem, j);
    const double lam = std::exp(rho[static_cast<Eigen::Index>(j)]);
    s.block(sp.first, sp.first, sp.width, sp.width) +=
        lam * pens[j].block(sp.first, sp.first, sp.width, sp.width);
  }
  return s;
}

Mat penalty_sum(const std::vector<Mat>& penalties, const Vec& rho) {
  if (penalties.empty()) throw InternalFault("penalty_sum: no penalties");
  if (static_cast<std::size_t>(rho.size()) < penalties.size())
    throw InternalFault("penalty_sum: fewer log smoothing parameters than penalties");
  Mat s = Mat::Zero(penalties[0].rows(), penalties[0].cols());
  for (std::size_t j = 0; j < penalties.size(); ++j)
    s += std::exp(rho[static_cast<Eigen::Index>(j)]) * penalties[j];
  return s;
}

double trace_product(const Mat& a, const Mat& s, PenaltySpan sp) {
  if (a.rows() != s.rows() || a.cols() != s.cols()) throw InternalFault("trace_product: shape mismatch");
  return (a.block(sp.first, sp.first, sp.width, sp.width).array() *
          s.block(sp.first, sp.first, sp.width, sp.width).array())
      .sum();
}

double penalty_quadratic(const Mat& s, const Vec& b, PenaltySpan sp) {
  auto bb = b.segment(sp.first, sp.width);
  return bb.dot(s.block(sp.first, sp.first, sp.width, sp.width) * bb);
}

double log_det_from_factor(const Mat& L) {
  double s = 0.0;
  for (Eigen::Index k = 0; k < L.rows(); ++k) s += std::log(L.coeff(k, k));
  return 2.0 * s;
}

}  // namespace vorel

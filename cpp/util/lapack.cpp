#include "util/lapack.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

namespace vorel::lapack {

namespace {
int as_int(Eigen::Index v) {
  if (v < 0 || v > INT_MAX) throw InternalFault("matrix dimension exceeds the LAPACK integer range");
  return static_cast<int>(v);
}
}  // namespace

std::string failure_text(int info) {
  if (info > 0) return "Computational failure in LAPACK subroutine: return_code = " + std::to_string(info);
  return "Invalid value for LAPACK subroutine " + std::to_string(-info) + "-th argument";
}

std::expected<Mat, int> cholesky_lower(Mat a) {
  if (a.rows() != a.cols()) throw InternalFault("cholesky_lower: matrix not square");
  int n = as_int(a.rows());
  int lda = std::max(1, n);
  int info = 0;
  if (n > 0) scipy_dpotrf_("L", &n, a.data(), &lda, &info);
  if (info != 0) return std::unexpected(info);
  // This OpenBLAS build only tests pivots with `<= 0`, so NaN (or infinite) entries come back as
  // a "successful" NaN factor. Any such entry reaches the pivot of its row, so reporting the first
  // pivot that is not a positive finite number gives the same leading-minor order LAPACK would.
  for (int j = 0; j < n; ++j) {
    double d = a(j, j);
    if (!(std::isfinite(d) && d > 0.0)) return std::unexpected(j + 1);
  }
  a.triangularView<Eigen::StrictlyUpper>().setZero();
  return a;
}

std::expected<SymEigen, int> symmetric_eigen(Mat a) {
  if (a.rows() != a.cols()) throw InternalFault("symmetric_eigen: matrix not square");
  int n = as_int(a.rows());
  SymEigen out;
  out.values.resize(n);
  if (n == 0) {
    out.vectors = a;
    return out;
  }
  int lda = n, info = 0, lwork = -1;
  double query = 0;
  scipy_dsyev_("V", "L", &n, a.data(), &lda, out.values.data(), &query, &lwork, &info);
  if (info != 0) return std::unexpected(info);
  lwork = std::max(1, static_cast<int>(query));
  std::vector<double> work(static_cast<std::size_t>(lwork));
  scipy_dsyev_("V", "L", &n, a.data(), &lda, out.values.data(), work.data(), &lwork, &info);
  if (info != 0) return std::unexpected(info);
  out.vectors = std::move(a);
  return out;
}

std::expected<Vec, int> symmetric_eigenvalues(Mat a) {
  if (a.rows() != a.cols()) throw InternalFault("symmetric_eigenvalues: matrix not square");
  int n = as_int(a.rows());
  Vec w(n);
  if (n == 0) return w;
  int lda = n, info = 0, lwork = -1;
  double query = 0;
  scipy_dsyev_("N", "L", &n, a.data(), &lda, w.data(), &query, &lwork, &info);
  if (info != 0) return std::unexpected(info);
  lwork = std::max(1, static_cast<int>(query));
  std::vector<double> work(static_cast<std::size_t>(lwork));
  scipy_dsyev_("N", "L", &n, a.data(), &lda, w.data(), work.data(), &lwork, &info);
  if (info != 0) return std::unexpected(info);
  return w;
}

std::expected<Vec, int> lu_solve(Mat a, Vec b) {
  if (a.rows() != a.cols() || a.rows() != b.size()) throw InternalFault("lu_solve: shape mismatch");
  int n = as_int(a.rows());
  if (n == 0) return b;
  int lda = n, info = 0, nrhs = 1;
  std::vector<int> ipiv(static_cast<std::size_t>(n));
  scipy_dgetrf_(&n, &n, a.data(), &lda, ipiv.data(), &info);
  if (info != 0) return std::unexpected(info);
  scipy_dgetrs_("N", &n, &nrhs, a.data(), &lda, ipiv.data(), b.data(), &lda, &info);
  if (info != 0) return std::unexpected(info);
  return b;
}

void gram(const Mat& a, Mat& c, double alpha, double beta) {
  int n = as_int(a.rows()), p = as_int(a.cols());
  if (c.rows() != p || c.cols() != p) throw InternalFault("gram: output shape mismatch");
  if (p == 0) return;
  if (n == 0) {
    c *= beta;
    return;
  }
  scipy_cblas_dsyrk(kColMajor, kUpper, kTrans, p, n, alpha, a.data(), std::max(1, n), beta,
                    c.data(), std::max(1, p));
  c.triangularView<Eigen::StrictlyLower>() = c.transpose().triangularView<Eigen::StrictlyLower>();
}

void at_b(const Mat& a, const Mat& b, Mat& c) {
  if (a.rows() != b.rows()) throw InternalFault("at_b: shape mismatch");
  int n = as_int(a.rows()), p = as_int(a.cols()), q = as_int(b.cols());
  c.resize(p, q);
  if (p == 0 || q == 0) return;
  if (n == 0) {
    c.setZero();
    return;
  }
  scipy_cblas_dgemm(kColMajor, kTrans, kNoTrans, p, q, n, 1.0, a.data(), n, b.data(), n, 0.0,
                    c.data(), p);
}

void at_x(const Mat& a, const Vec& x, Vec& y) {
  if (a.rows() != x.size()) throw InternalFault("at_x: shape mismatch");
  int n = as_int(a.rows()), p = as_int(a.cols());
  y.resize(p);
  if (p == 0) return;
  if (n == 0) {
    y.setZero();
    return;
  }
  scipy_cblas_dgemv(kColMajor, kTrans, n, p, 1.0, a.data(), n, x.data(), 1, 0.0, y.data(), 1);
}

void a_x(const Mat& a, const Vec& x, Vec& y) {
  if (a.cols() != x.size()) throw InternalFault("a_x: shape mismatch");
  int n = as_int(a.rows()), p = as_int(a.cols());
  y.resize(n);
  if (n == 0) return;
  if (p == 0) {
    y.setZero();
    return;
  }
  scipy_cblas_dgemv(kColMajor, kNoTrans, n, p, 1.0, a.data(), n, x.data(), 1, 0.0, y.data(), 1);
}

void use_single_thread() { scipy_openblas_set_num_threads(1); }

}  // namespace vorel::lapack

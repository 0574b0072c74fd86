// The LAPACK/BLAS routines the core uses, from the bundled OpenBLAS build whose symbols all carry
// the "scipy_" prefix (32-bit integers). Everything else in the core calls the wrappers below,
// never the raw prototypes.
#pragma once

#include <expected>
#include <string>

#include "util/eigen.h"

extern "C" {
void scipy_dpotrf_(const char* uplo, const int* n, double* a, const int* lda, int* info);
void scipy_dsyev_(const char* jobz, const char* uplo, const int* n, double* a, const int* lda,
                  double* w, double* work, const int* lwork, int* info);
void scipy_dgetrf_(const int* m, const int* n, double* a, const int* lda, int* ipiv, int* info);
void scipy_dgetrs_(const char* trans, const int* n, const int* nrhs, const double* a,
                   const int* lda, const int* ipiv, double* b, const int* ldb, int* info);
// CBLAS enums as plain ints (row/col major, transpose, uplo) to avoid pulling in cblas.h.
void scipy_cblas_dsyrk(int order, int uplo, int trans, int n, int k, double alpha,
                       const double* a, int lda, double beta, double* c, int ldc);
void scipy_cblas_dgemm(int order, int transa, int transb, int m, int n, int k, double alpha,
                       const double* a, int lda, const double* b, int ldb, double beta, double* c,
                       int ldc);
void scipy_cblas_dgemv(int order, int trans, int m, int n, double alpha, const double* a, int lda,
                       const double* x, int incx, double beta, double* y, int incy);
void scipy_openblas_set_num_threads(int n);
}

namespace vorel::lapack {

constexpr int kColMajor = 102, kNoTrans = 111, kTrans = 112, kUpper = 121, kLower = 122;

// Text of a failed routine, from its info code:
//   info > 0: "Computational failure in LAPACK subroutine: return_code = {info}"
//   info < 0: "Invalid value for LAPACK subroutine {-info}-th argument"
std::string failure_text(int info);

// Lower Cholesky factor of a symmetric matrix (only the lower triangle of `a` is read); the
// strictly upper part of the result is zero. Error: the LAPACK info code (non-zero).
std::expected<Mat, int> cholesky_lower(Mat a);

struct SymEigen {
  Vec values;   // ascending
  Mat vectors;  // column i belongs to values[i]
};
// Symmetric eigen-decomposition of `a` (lower triangle read). Error: info code.
std::expected<SymEigen, int> symmetric_eigen(Mat a);
// Eigenvalues only (ascending).
std::expected<Vec, int> symmetric_eigenvalues(Mat a);

// Solves a * x = b by LU with partial pivoting. Error: info code of dgetrf or dgetrs.
std::expected<Vec, int> lu_solve(Mat a, Vec b);

// Upper triangle of C = alpha * A^T A + beta * C via dsyrk, then mirrored into the lower one.
// A is n x p column-major; C must be p x p.
void gram(const Mat& a, Mat& c, double alpha = 1.0, double beta = 0.0);

// C = A^T B via dgemm (A n x p, B n x q, C p x q).
void at_b(const Mat& a, const Mat& b, Mat& c);

// y = A^T x via dgemv.
void at_x(const Mat& a, const Vec& x, Vec& y);
// y = A x via dgemv.
void a_x(const Mat& a, const Vec& x, Vec& y);

// Keeps OpenBLAS single-threaded: results do not depend on the machine's core count, and the
// module starts no worker threads of its own accord.
void use_single_thread();

}  // namespace vorel::lapack

// Tensor-product smooth of two columns: the row-wise product of two cr margin bases, one
// sum-to-zero constraint on the whole product, and one penalty per margin.
#pragma once

#include <vector>

#include "design/predictor.h"
#include "util/eigen.h"
#include "util/error.h"
#include "util/xview.h"

namespace vorel {

// T (n x m_a m_b) with T[i, a * m_b + b] = A[i, a] * B[i, b] (margin a major).
Mat row_kronecker(const Mat& a, const Mat& b);

// S divided by its largest eigenvalue (unchanged when that is <= 0). Error: Linalg
// "eigh failed in tensor penalty rescale: {reason}".
Result<Mat> rescale_by_max_eigenvalue(const Mat& s);

struct TensorTermSetup {
  TensorPredictor predictor;
  std::vector<Mat> penalties;  // [Z^T S_A Z, Z^T S_B Z], each (k_a k_b - 1) square
};
// The caller has checked that both columns exist.
Result<TensorTermSetup> setup_tensor_term(const XView& x, u64 col_a, u64 col_b, u64 k_a, u64 k_b);

struct TensorTermBlock {
  TensorPredictor predictor;   // col_a, col_b, bs_a, bs_b, knots_a, knots_b, xp_a, xp_b, centring
  Mat x_block;                 // T Z, n x (k_a k_b - 1)
  std::vector<Mat> penalties;
};
Result<TensorTermBlock> build_tensor_term(const XView& x, u64 col_a, u64 col_b, u64 k_a, u64 k_b);

// out.block(0, col0, n, centring.cols()) = row_kronecker(B_a xp_a, B_b xp_b) * centring, in row
// chunks (no n x k_a k_b product is formed). The predictor's shapes and knots must already have
// been checked.
void write_tensor_block(const TensorPredictor& p, const XView& x, Mat& out, Eigen::Index col0);

}  // namespace vorel

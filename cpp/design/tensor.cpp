#include "design/tensor.h"

#include <algorithm>

#include "basis/cr_spline.h"
#include "util/lapack.h"

namespace vorel {

namespace {

void row_kron_into(const double* a, Eigen::Index ma, const double* b, Eigen::Index mb, double* out) {
  for (Eigen::Index i = 0; i < ma; ++i) {
    const double ai = a[i];
    for (Eigen::Index j = 0; j < mb; ++j) out[i * mb + j] = ai * b[j];
  }
}

// Margin basis rows r0 .. r0 + m of column `col`, times the margin transform: row-major m x q.
void margin_rows(const CrTables& tab, const Mat& xp, const XView& x, u64 col, Eigen::Index r0,
                 Eigen::Index m, std::vector<double>& raw, RowMat& out) {
  const double* p = x.data + static_cast<std::ptrdiff_t>(col) * x.col_stride;
  raw.resize(static_cast<std::size_t>(m * tab.k));
  for (Eigen::Index r = 0; r < m; ++r)
    cr_basis_row(tab, p[static_cast<std::ptrdiff_t>(r0 + r) * x.row_stride],
                 raw.data() + static_cast<std::size_t>(r * tab.k));
  Eigen::Map<const RowMat> braw(raw.data(), m, tab.k);
  out.noalias() = braw * xp;
}

// Column sums of the product basis at the training data, accumulated chunk by chunk.
Vec product_column_sums(const TensorPredictor& p, const XView& x) {
  CrTables ta = cr_tables(p.knots_a), tb = cr_tables(p.knots_b);
  const Eigen::Index qa = p.xp_a.cols(), qb = p.xp_b.cols();
  Vec sums = Vec::Zero(qa * qb);
  const auto n = static_cast<Eigen::Index>(x.rows);
  const Eigen::Index rows_per = chunk_rows(qa * qb);
  std::vector<double> raw;
  RowMat a, b;
  for (Eigen::Index r0 = 0; r0 < n; r0 += rows_per) {
    const Eigen::Index m = std::min(rows_per, n - r0);
    margin_rows(ta, p.xp_a, x, p.col_a, r0, m, raw, a);
    margin_rows(tb, p.xp_b, x, p.col_b, r0, m, raw, b);
    for (Eigen::Index r = 0; r < m; ++r)
      for (Eigen::Index i = 0; i < qa; ++i)
        for (Eigen::Index j = 0; j < qb; ++j) sums[i * qb + j] += a(r, i) * b(r, j);
  }
  return sums;
}

}  // namespace

Mat row_kronecker(const Mat& a, const Mat& b) {
  if (a.rows() != b.rows()) throw InternalFault("row_kronecker: row counts differ");
  const Eigen::Index n = a.rows(), ma = a.cols(), mb = b.cols();
  Mat t(n, ma * mb);
  for (Eigen::Index i = 0; i < ma; ++i)
    for (Eigen::Index j = 0; j < mb; ++j) t.col(i * mb + j) = a.col(i).cwiseProduct(b.col(j));
  return t;
}

Result<Mat> rescale_by_max_eigenvalue(const Mat& s) {
  auto ev = lapack::symmetric_eigenvalues(s);
  if (!ev) return fail(VorelError::linalg("eigh failed in tensor penalty rescale: " + lapack::failure_text(ev.error())));
  if (ev->size() == 0) return s;
  const double h = (*ev)[ev->size() - 1];
  if (!(h > 0.0)) return s;
  return Mat(s / h);
}

void write_tensor_block(const TensorPredictor& p, const XView& x, Mat& out, Eigen::Index col0) {
  const auto n = static_cast<Eigen::Index>(x.rows);
  const Eigen::Index qa = p.xp_a.cols(), qb = p.xp_b.cols(), q = qa * qb;
  if (out.rows() != n || p.centring.rows() != q || col0 + p.centring.cols() > out.cols())
    throw InternalFault("write_tensor_block: shape mismatch");
  if (n == 0) return;
  if (p.col_a >= x.cols || p.col_b >= x.cols) throw InternalFault("write_tensor_block: column out of range");
  CrTables ta = cr_tables(p.knots_a), tb = cr_tables(p.knots_b);
  const Eigen::Index rows_per = chunk_rows(q);
  std::vector<double> raw, t(static_cast<std::size_t>(std::min(rows_per, n) * q));
  RowMat a, b;
  for (Eigen::Index r0 = 0; r0 < n; r0 += rows_per) {
    const Eigen::Index m = std::min(rows_per, n - r0);
    margin_rows(ta, p.xp_a, x, p.col_a, r0, m, raw, a);
    margin_rows(tb, p.xp_b, x, p.col_b, r0, m, raw, b);
    for (Eigen::Index r = 0; r < m; ++r)
      row_kron_into(a.data() + r * qa, qa, b.data() + r * qb, qb, t.data() + static_cast<std::size_t>(r * q));
    gemm_chunk_into(t.data(), m, q, p.centring, out, r0, col0);
  }
}

Result<TensorTermSetup> setup_tensor_term(const XView& x, u64 col_a, u64 col_b, u64 k_a, u64 k_b) {
  if (col_a == col_b)
    return fail(VorelError::invalid("Tensor term must have distinct margin columns (got col_a == col_b == " +
                                    std::to_string(col_a) + ")"));
  if (col_a >= x.cols || col_b >= x.cols)
    return fail(VorelError::internal("tensor term reads a column that x does not have"));
  TensorPredictor p;
  p.col_a = col_a;
  p.col_b = col_b;
  VOREL_TRY(p.knots_a, place_knots(x.column(col_a), k_a));
  VOREL_TRY(p.knots_b, place_knots(x.column(col_b), k_b));
  const Eigen::Index ka = p.knots_a.size(), kb = p.knots_b.size();
  p.xp_a = Mat::Identity(ka, ka);
  p.xp_b = Mat::Identity(kb, kb);
  VOREL_TRY(Mat sa, rescale_by_max_eigenvalue(cr_penalty(p.knots_a)));
  VOREL_TRY(Mat sb, rescale_by_max_eigenvalue(cr_penalty(p.knots_b)));

  Mat z = sum_to_zero_null_space(product_column_sums(p, x));
  // Kronecker products with an identity: only the margin penalty's entries are placed.
  const Eigen::Index q = ka * kb;
  Mat big_a = Mat::Zero(q, q), big_b = Mat::Zero(q, q);
  for (Eigen::Index r = 0; r < ka; ++r)
    for (Eigen::Index c = 0; c < ka; ++c)
      for (Eigen::Index l = 0; l < kb; ++l) big_a(r * kb + l, c * kb + l) = sa(r, c);
  for (Eigen::Index a = 0; a < ka; ++a) big_b.block(a * kb, a * kb, kb, kb) = sb;
  TensorTermSetup out;
  out.penalties.push_back(z.transpose() * big_a * z);
  out.penalties.push_back(z.transpose() * big_b * z);
  p.centring = std::move(z);
  out.predictor = std::move(p);
  return out;
}

Result<TensorTermBlock> build_tensor_term(const XView& x, u64 col_a, u64 col_b, u64 k_a, u64 k_b) {
  VOREL_TRY(TensorTermSetup s, setup_tensor_term(x, col_a, col_b, k_a, k_b));
  Mat block(static_cast<Eigen::Index>(x.rows), s.predictor.centring.cols());
  write_tensor_block(s.predictor, x, block, 0);
  return TensorTermBlock{std::move(s.predictor), std::move(block), std::move(s.penalties)};
}

}  // namespace vorel

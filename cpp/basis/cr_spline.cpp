#include "basis/cr_spline.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>

#include "util/format.h"
#include "util/lapack.h"

namespace vorel {

namespace {

// Knots are held in Eigen vectors (signed sizes), and every knot count costs a k x k penalty;
// anything near this bound could never be allocated, so it is refused before allocating.
constexpr u64 kMaxKnots = u64{1} << 32;

// std::sort needs a strict weak order; plain `<` is not one when NaN is present and can make the
// sort read outside the range. NaN goes last; the finite order is the numeric one.
bool nan_last_less(double a, double b) {
  if (std::isnan(a)) return false;
  if (std::isnan(b)) return true;
  return a < b;
}

Vec equally_spaced(double lo, double hi, u64 k) {
  double step = k >= 2 ? (hi - lo) / static_cast<double>(k - 1) : 0.0;
  Vec knots(static_cast<Eigen::Index>(k));
  for (u64 j = 0; j < k; ++j) knots[static_cast<Eigen::Index>(j)] = static_cast<double>(j) * step + lo;
  return knots;
}

// Quantiles (linear interpolation) of the u >= k distinct sorted values v.
Vec unique_quantiles(const std::vector<double>& v, u64 k) {
  const std::size_t u = v.size();
  Vec knots(static_cast<Eigen::Index>(k));
  for (u64 j = 0; j < k; ++j) {
    double pos = (static_cast<double>(j) / static_cast<double>(k - 1)) * static_cast<double>(u - 1);
    std::size_t i = std::min(static_cast<std::size_t>(std::floor(pos)), u - 1);
    double f = pos - static_cast<double>(i);
    knots[static_cast<Eigen::Index>(j)] = i < u - 1 ? f * v[i + 1] + (1.0 - f) * v[i] : v[u - 1];
  }
  return knots;
}

void check_cols(const char* who, bool ok) {
  if (!ok) throw InternalFault(std::string(who) + ": shape mismatch");
}

}  // namespace

Status validate_knots(const Vec& knots) {
  if (knots.size() < 3)
    return fail(VorelError::invalid("CR spline needs k ≥ 3 (got " + fmt_u64(static_cast<u64>(knots.size())) + ")"));
  for (Eigen::Index i = 1; i < knots.size(); ++i)
    if (!(knots[i] > knots[i - 1])) return fail(VorelError::invalid("CR spline knots must be strictly increasing"));
  return {};
}

Result<Vec> place_knots(Vec values, u64 k) {
  // Below 3 knots validation fails whatever the data; answering now also keeps the quantile
  // formula away from its k - 1 = 0 division.
  if (k < 3) return fail(VorelError::invalid("CR spline needs k ≥ 3 (got " + fmt_u64(k) + ")"));
  if (k > kMaxKnots) return fail(VorelError::invalid("CR spline k is too large (got " + fmt_u64(k) + ")"));
  std::sort(values.data(), values.data() + values.size(), nan_last_less);
  std::vector<double> uniq;
  for (Eigen::Index i = 0; i < values.size(); ++i) {
    double v = values[i];
    if (uniq.empty() || std::abs(v - uniq.back()) > 1e-12) uniq.push_back(v);
  }
  Vec knots;
  if (uniq.size() < k) {
    double lo = uniq.empty() ? 0.0 : uniq.front();
    double hi = uniq.empty() ? 1.0 : uniq.back();
    knots = equally_spaced(lo, hi, k);
  } else {
    knots = unique_quantiles(uniq, k);
  }
  VOREL_CHECK(validate_knots(knots));
  return knots;
}

CrTables cr_tables(const Vec& knots) {
  const Eigen::Index k = knots.size();
  if (k < 3) throw InternalFault("cr_tables: fewer than 3 knots");
  CrTables t;
  t.knots = knots;
  t.k = k;
  const auto ks = static_cast<std::size_t>(k);
  t.a.assign((ks - 1) * ks, 0.0);
  t.b.assign((ks - 1) * ks, 0.0);
  t.c.assign((ks - 1) * ks, 0.0);
  t.d.assign((ks - 1) * ks, 0.0);
  t.left_slope.assign(ks, 0.0);
  t.right_slope.assign(ks, 0.0);

  std::vector<double> h(ks - 1), l(ks, 1.0), mu(ks, 0.0), z(ks, 0.0), c(ks, 0.0), y(ks, 0.0);
  for (std::size_t i = 0; i + 1 < ks; ++i) h[i] = knots[static_cast<Eigen::Index>(i + 1)] - knots[static_cast<Eigen::Index>(i)];
  // l and mu depend on the knots only; z and c on the right-hand side (unit vector e_j).
  for (std::size_t m = 1; m + 1 < ks; ++m) {
    l[m] = 2.0 * (h[m - 1] + h[m]) - h[m - 1] * mu[m - 1];
    mu[m] = h[m] / l[m];
  }
  for (std::size_t j = 0; j < ks; ++j) {
    std::fill(y.begin(), y.end(), 0.0);
    y[j] = 1.0;
    z[0] = 0.0;
    for (std::size_t m = 1; m + 1 < ks; ++m) {
      double r = 3.0 * (y[m + 1] - y[m]) / h[m] - 3.0 * (y[m] - y[m - 1]) / h[m - 1];
      z[m] = (r - h[m - 1] * z[m - 1]) / l[m];
    }
    c[ks - 1] = 0.0;
    for (std::size_t m = ks - 1; m-- > 0;) c[m] = z[m] - mu[m] * c[m + 1];
    for (std::size_t i = 0; i + 1 < ks; ++i) {
      std::size_t e = i * ks + j;
      t.a[e] = y[i];
      t.b[e] = (y[i + 1] - y[i]) / h[i] - h[i] * (c[i + 1] + 2.0 * c[i]) / 3.0;
      t.c[e] = c[i];
      t.d[e] = (c[i + 1] - c[i]) / (3.0 * h[i]);
    }
    t.left_slope[j] = t.b[j];
    std::size_t last = (ks - 2) * ks + j;
    double hl = h[ks - 2];
    t.right_slope[j] = 3.0 * t.d[last] * hl * hl + 2.0 * t.c[last] * hl + t.b[last];
  }
  return t;
}

void cr_basis_row(const CrTables& tab, double t, double* out) {
  const Eigen::Index k = tab.k;
  const double* kn = tab.knots.data();
  if (t < kn[0]) {
    double dt = t - kn[0];
    for (Eigen::Index j = 0; j < k; ++j) out[j] = (j == 0 ? 1.0 : 0.0) + tab.left_slope[static_cast<std::size_t>(j)] * dt;
    return;
  }
  if (t > kn[k - 1]) {
    double dt = t - kn[k - 1];
    for (Eigen::Index j = 0; j < k; ++j)
      out[j] = (j == k - 1 ? 1.0 : 0.0) + tab.right_slope[static_cast<std::size_t>(j)] * dt;
    return;
  }
  // Interior knots belong to the interval on their right; the last knot and NaN end in the last
  // interval (NaN fails every comparison and propagates into the values).
  Eigen::Index lo = 0, hi = k - 1;
  while (lo + 1 < hi) {
    Eigen::Index mid = (lo + hi) / 2;
    if (t < kn[mid]) hi = mid; else lo = mid;
  }
  const double dl = t - kn[lo];
  const double dl2 = dl * dl;
  const std::size_t row = static_cast<std::size_t>(lo) * static_cast<std::size_t>(k);
  const double* a = tab.a.data() + row;
  const double* b = tab.b.data() + row;
  const double* c = tab.c.data() + row;
  const double* d = tab.d.data() + row;
  for (Eigen::Index j = 0; j < k; ++j) out[j] = d[j] * dl * dl2 + (c[j] * dl2 + (b[j] * dl + a[j]));
}

Mat cr_basis(const Vec& knots, const XView& x, u64 col) {
  CrTables tab = cr_tables(knots);
  const auto n = static_cast<Eigen::Index>(x.rows);
  Mat out(n, tab.k);
  if (n == 0) return out;
  if (col >= x.cols) throw InternalFault("cr_basis: column out of range");
  std::vector<double> row(static_cast<std::size_t>(tab.k));
  const double* p = x.data + static_cast<std::ptrdiff_t>(col) * x.col_stride;
  for (Eigen::Index i = 0; i < n; ++i) {
    cr_basis_row(tab, p[static_cast<std::ptrdiff_t>(i) * x.row_stride], row.data());
    for (Eigen::Index j = 0; j < tab.k; ++j) out.coeffRef(i, j) = row[static_cast<std::size_t>(j)];
  }
  return out;
}

Mat cr_penalty(const Vec& knots) {
  const Eigen::Index k = knots.size();
  if (k < 3) throw InternalFault("cr_penalty: fewer than 3 knots");
  const Eigen::Index q = k - 2;
  Vec h(k - 1);
  for (Eigen::Index i = 0; i + 1 < k; ++i) h[i] = knots[i + 1] - knots[i];
  // D: second divided differences, three non-zeros per row at columns i, i + 1, i + 2.
  Mat dd(q, 3);
  for (Eigen::Index i = 0; i < q; ++i) {
    dd(i, 0) = 1.0 / h[i];
    dd(i, 1) = -1.0 / h[i] - 1.0 / h[i + 1];
    dd(i, 2) = 1.0 / h[i + 1];
  }
  // B_p: symmetric tridiagonal; its elimination (no pivoting, it is diagonally dominant) is the
  // same for every right-hand side, so the pivots and multipliers are formed once.
  Vec diag(q), off(std::max<Eigen::Index>(q - 1, 0)), w(std::max<Eigen::Index>(q - 1, 0));
  for (Eigen::Index i = 0; i < q; ++i) diag[i] = (h[i] + h[i + 1]) / 3.0;
  for (Eigen::Index i = 0; i + 1 < q; ++i) off[i] = h[i + 1] / 6.0;
  for (Eigen::Index m = 0; m + 1 < q; ++m) {
    w[m] = off[m] / diag[m];
    diag[m + 1] -= off[m] * w[m];
  }
  // X = B_p^{-1} D, one tridiagonal solve per column of D.
  Mat xs(q, k);
  Vec rhs(q);
  for (Eigen::Index j = 0; j < k; ++j) {
    for (Eigen::Index i = 0; i < q; ++i) {
      Eigen::Index off_j = j - i;
      rhs[i] = (off_j >= 0 && off_j <= 2) ? dd(i, off_j) : 0.0;
    }
    for (Eigen::Index m = 0; m + 1 < q; ++m) rhs[m + 1] -= w[m] * rhs[m];
    xs(q - 1, j) = rhs[q - 1] / diag[q - 1];
    for (Eigen::Index m = q - 1; m-- > 0;) xs(m, j) = (rhs[m] - off[m] * xs(m + 1, j)) / diag[m];
  }
  // S = D^T X, using only the three non-zeros of each row of D.
  Mat s = Mat::Zero(k, k);
  for (Eigen::Index i = 0; i < q; ++i)
    for (Eigen::Index t = 0; t < 3; ++t) s.row(i + t) += dd(i, t) * xs.row(i);
  return s;
}

double cr_penalty_scale(double basis_inf_norm, const Mat& s) {
  double s_inf = 0.0;
  for (Eigen::Index i = 0; i < s.rows(); ++i) {
    double r = s.row(i).cwiseAbs().sum();
    if (r > s_inf) s_inf = r;
  }
  return s_inf > 0.0 ? (basis_inf_norm * basis_inf_norm) / s_inf : 1.0;
}

Mat sum_to_zero_null_space(const Vec& c) {
  const Eigen::Index m = c.size();
  if (m == 0) return Mat(0, 0);
  const double norm = c.norm();
  if (norm < std::numeric_limits<double>::epsilon()) return Mat::Identity(m, m - 1);
  Vec v = c;
  v[0] = c[0] + (std::signbit(c[0]) ? -norm : norm);
  const double coef = 2.0 / v.squaredNorm();
  Mat z(m, m - 1);
  for (Eigen::Index i = 0; i + 1 < m; ++i)
    for (Eigen::Index j = 0; j < m; ++j) z(j, i) = (j == i + 1 ? 1.0 : 0.0) - coef * v[j] * v[i + 1];
  return z;
}

CrBasisStats cr_basis_stats(const CrTables& tab, const XView& x, u64 col) {
  CrBasisStats st;
  st.col_sums = Vec::Zero(tab.k);
  if (x.rows == 0) return st;
  if (col >= x.cols) throw InternalFault("cr_basis_stats: column out of range");
  std::vector<double> row(static_cast<std::size_t>(tab.k));
  const double* p = x.data + static_cast<std::ptrdiff_t>(col) * x.col_stride;
  for (std::size_t i = 0; i < x.rows; ++i) {
    cr_basis_row(tab, p[static_cast<std::ptrdiff_t>(i) * x.row_stride], row.data());
    double abs_sum = 0.0;
    for (Eigen::Index j = 0; j < tab.k; ++j) {
      double v = row[static_cast<std::size_t>(j)];
      st.col_sums[j] += v;
      abs_sum += std::abs(v);
    }
    if (abs_sum > st.max_abs_row_sum) st.max_abs_row_sum = abs_sum;
  }
  return st;
}

Eigen::Index chunk_rows(Eigen::Index width) {
  return std::max<Eigen::Index>(64, 32768 / std::max<Eigen::Index>(width, 1));
}

void gemm_chunk_into(const double* a_rowmajor, Eigen::Index m_rows, Eigen::Index k,
                     const Mat& mult, Mat& out, Eigen::Index r0, Eigen::Index col0) {
  const Eigen::Index q = mult.cols();
  check_cols("gemm_chunk_into", mult.rows() == k && r0 >= 0 && col0 >= 0 && m_rows >= 0 &&
                                    r0 + m_rows <= out.rows() && col0 + q <= out.cols());
  if (m_rows == 0 || q == 0) return;
  if (k == 0) {
    out.block(r0, col0, m_rows, q).setZero();
    return;
  }
  if (out.rows() <= INT_MAX && k <= INT_MAX && q <= INT_MAX && m_rows <= INT_MAX) {
    // The chunk buffer is row-major m x k, i.e. column-major k x m: multiply by its transpose.
    scipy_cblas_dgemm(lapack::kColMajor, lapack::kTrans, lapack::kNoTrans, static_cast<int>(m_rows),
                      static_cast<int>(q), static_cast<int>(k), 1.0, a_rowmajor, static_cast<int>(k),
                      mult.data(), static_cast<int>(std::max<Eigen::Index>(k, 1)), 0.0,
                      out.data() + col0 * out.rows() + r0, static_cast<int>(out.rows()));
    return;
  }
  Eigen::Map<const RowMat> a(a_rowmajor, m_rows, k);
  out.block(r0, col0, m_rows, q).noalias() = a * mult;
}

void write_cr_product(const CrTables& tab, const XView& x, u64 col, const Mat& m, Mat& out,
                      Eigen::Index col0) {
  const auto n = static_cast<Eigen::Index>(x.rows);
  check_cols("write_cr_product", m.rows() == tab.k && out.rows() == n);
  if (n == 0) return;
  if (col >= x.cols) throw InternalFault("write_cr_product: column out of range");
  const Eigen::Index rows_per = chunk_rows(tab.k);
  std::vector<double> buf(static_cast<std::size_t>(std::min(rows_per, n) * tab.k));
  const double* p = x.data + static_cast<std::ptrdiff_t>(col) * x.col_stride;
  for (Eigen::Index r0 = 0; r0 < n; r0 += rows_per) {
    const Eigen::Index mrows = std::min(rows_per, n - r0);
    for (Eigen::Index r = 0; r < mrows; ++r)
      cr_basis_row(tab, p[static_cast<std::ptrdiff_t>(r0 + r) * x.row_stride],
                   buf.data() + static_cast<std::size_t>(r * tab.k));
    gemm_chunk_into(buf.data(), mrows, tab.k, m, out, r0, col0);
  }
}

}  // namespace vorel

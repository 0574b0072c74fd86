#include "design/re.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "design/cr.h"

namespace vorel {

namespace {
std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }
}  // namespace

bool level_less(double a, double b) {
  const bool na = std::isnan(a), nb = std::isnan(b);
  if (na || nb) return na && nb ? bits(a) < bits(b) : nb;
  if (a < b) return true;
  return a == b && std::signbit(a) && !std::signbit(b);
}

Result<std::vector<double>> re_levels(const XView& x, u64 column) {
  if (column >= x.cols) return fail(VorelError::internal("re term reads a column that x does not have"));
  if (x.rows == 0) return fail(VorelError::invalid("Re basis: x is empty"));
  Vec col = x.column(column);
  std::vector<double> v(col.data(), col.data() + col.size());
  std::sort(v.begin(), v.end(), level_less);
  std::vector<double> levels;
  for (double t : v)
    if (levels.empty() || bits(t) != bits(levels.back())) levels.push_back(t);
  return levels;
}

void write_re_indicator(const std::vector<double>& levels, const XView& x, u64 col, Mat& out,
                        Eigen::Index col0) {
  const auto n = static_cast<Eigen::Index>(x.rows);
  const auto nl = static_cast<Eigen::Index>(levels.size());
  if (out.rows() != n || col0 < 0 || col0 + nl > out.cols())
    throw InternalFault("write_re_indicator: shape mismatch");
  out.block(0, col0, n, nl).setZero();
  if (n == 0 || nl == 0) return;
  if (col >= x.cols) throw InternalFault("write_re_indicator: column out of range");
  const double* p = x.data + static_cast<std::ptrdiff_t>(col) * x.col_stride;
  for (Eigen::Index i = 0; i < n; ++i) {
    const double t = p[static_cast<std::ptrdiff_t>(i) * x.row_stride];
    auto it = std::lower_bound(levels.begin(), levels.end(), t, level_less);
    if (it != levels.end() && bits(*it) == bits(t)) out.coeffRef(i, col0 + (it - levels.begin())) = 1.0;
  }
}

Mat re_indicator(const std::vector<double>& levels, const XView& x, u64 col) {
  Mat out(static_cast<Eigen::Index>(x.rows), static_cast<Eigen::Index>(levels.size()));
  write_re_indicator(levels, x, col, out, 0);
  return out;
}

Result<ReTermBlock> build_re_term(const XView& x, u64 column) {
  VOREL_TRY(std::vector<double> levels, re_levels(x, column));
  const auto nl = static_cast<Eigen::Index>(levels.size());
  Mat block = re_indicator(levels, x, column);
  return ReTermBlock{std::move(levels), std::move(block), Mat::Identity(nl, nl)};
}

Result<Design> build_re_design(const XView& x) {
  VOREL_TRY(std::vector<double> levels, re_levels(x, 0));
  const auto nl = static_cast<Eigen::Index>(levels.size());
  Predictor pred{RePredictor{std::move(levels)}};
  return assemble_single_smooth(std::move(pred), Mat::Identity(nl, nl), x);
}

}  // namespace vorel

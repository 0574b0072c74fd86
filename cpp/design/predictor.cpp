// Evaluation of stored predictors. Predictors also arrive from serialized bytes, so every
// stored shape is checked against the others before anything is indexed.
#include "design/predictor.h"

#include <string>

#include "basis/cr_spline.h"
#include "design/cr_stable.h"
#include "design/re.h"
#include "design/tensor.h"
#include "util/format.h"

namespace vorel {

namespace {

using Index = Eigen::Index;

std::string dims(Index r, Index c) { return fmt_u64(static_cast<u64>(r)) + "x" + fmt_u64(static_cast<u64>(c)); }
std::string num(Index v) { return fmt_u64(static_cast<u64>(v)); }

std::unexpected<VorelError> bad(std::string m) { return fail(VorelError::invalid(std::move(m))); }

std::string list_text(const std::vector<u64>& v) {
  std::string s = "[";
  for (std::size_t i = 0; i < v.size(); ++i) s += (i ? ", " : "") + fmt_u64(v[i]);
  return s + "]";
}

// --- shape checks: no x needed; they only say whether indexing the record is safe ---------

Status check_knots_centring(const std::string& kind, const Vec& knots, const Mat& centring) {
  const Index k = knots.size();
  if (k == 0) return bad(kind + ": knots is empty");
  if (centring.rows() != k)
    return bad(kind + ": centring has " + num(centring.rows()) + " rows but there are " + num(k) + " knots");
  if (centring.cols() != k - 1)
    return bad(kind + ": centring has " + num(centring.cols()) + " columns but must have " + num(k - 1) +
               " (one fewer than the " + num(k) + " knots)");
  return {};
}

Result<u64> width_of(const CrPredictor& p) {
  VOREL_CHECK(check_knots_centring("CrPredictor", p.knots, p.centring));
  return static_cast<u64>(p.centring.cols());
}

Result<u64> width_of(const RePredictor& p) {
  if (p.levels.empty()) return bad("RePredictor: levels is empty");
  for (std::size_t i = 1; i < p.levels.size(); ++i)
    if (!level_less(p.levels[i - 1], p.levels[i]))
      return bad("RePredictor: levels must be strictly ascending; got levels[" + fmt_u64(i) +
                 "]=" + fmt_real(p.levels[i]) + " after levels[" + fmt_u64(i - 1) + "]=" + fmt_real(p.levels[i - 1]));
  return static_cast<u64>(p.levels.size());
}

Result<u64> width_of(const CrStablePredictor& p) {
  VOREL_CHECK(check_knots_centring("CrStablePredictor", p.knots, p.centring));
  const Index m = p.centring.cols();
  if (p.reparam_v.rows() != m || p.reparam_v.cols() != m)
    return bad("CrStablePredictor: reparam_v is " + dims(p.reparam_v.rows(), p.reparam_v.cols()) +
               " but must be " + dims(m, m) + " (one row and column per centring column)");
  return static_cast<u64>(m);
}

Status check_margin(const std::string& side, const std::string& bs, const Vec& knots, const Mat& xp) {
  if (bs != "cr")
    return bad("TensorPredictor: bs_" + side + " must be \"cr\"; got bs_" + side + "=" + quote_name(bs));
  const Index k = knots.size();
  if (k == 0) return bad("TensorPredictor: knots_" + side + " is empty");
  if (xp.rows() != k || xp.cols() != k)
    return bad("TensorPredictor: xp_" + side + " is " + dims(xp.rows(), xp.cols()) + " but must be " + dims(k, k) +
               " to match the " + num(k) + " knots_" + side);
  return {};
}

Result<u64> width_of(const TensorPredictor& p) {
  VOREL_CHECK(check_margin("a", p.bs_a, p.knots_a, p.xp_a));
  VOREL_CHECK(check_margin("b", p.bs_b, p.knots_b, p.xp_b));
  Index q = 0;
  if (__builtin_mul_overflow(p.knots_a.size(), p.knots_b.size(), &q))
    return bad("TensorPredictor: k_a * k_b overflows");
  if (p.centring.rows() != q)
    return bad("TensorPredictor: centring has " + num(p.centring.rows()) + " rows but must have k_a * k_b = " + num(q));
  if (p.centring.cols() != q - 1)
    return bad("TensorPredictor: centring has " + num(p.centring.cols()) + " columns but must have k_a * k_b - 1 = " +
               num(q - 1));
  return static_cast<u64>(q - 1);
}

Result<u64> width_of(const AdditivePredictor& p);

// Block width of a term of an additive predictor; nested additive predictors are refused, which
// also bounds the recursion of every function below at one level.
Result<u64> term_width(const Predictor& t) {
  return std::visit(
      [](const auto& v) -> Result<u64> {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, AdditivePredictor>)
          return fail(VorelError::internal("unreachable"));
        else
          return width_of(v);
      },
      t.kind);
}

Result<u64> width_of(const AdditivePredictor& p) {
  const std::size_t nt = p.term_predictors.size();
  if (p.cols_used.size() != nt)
    return bad("AdditivePredictor: cols_used has " + fmt_u64(p.cols_used.size()) + " entries but there are " +
               fmt_u64(nt) + " term predictors");
  if (p.term_col_ranges.size() != nt)
    return bad("AdditivePredictor: term_col_ranges has " + fmt_u64(p.term_col_ranges.size()) +
               " entries but there are " + fmt_u64(nt) + " term predictors");
  u64 start = 1;
  for (std::size_t i = 0; i < nt; ++i) {
    const Predictor& t = p.term_predictors[i];
    const std::string term = "AdditivePredictor: term " + fmt_u64(i);
    if (std::holds_alternative<AdditivePredictor>(t.kind))
      return bad(term + " is itself an additive predictor; nested additive predictors are not supported");
    auto w = term_width(t);
    if (!w) {
      w.error().message = term + ": " + w.error().message;
      return fail(std::move(w).error());
    }
    const std::vector<u64>& cols = p.cols_used[i];
    if (const auto* te = std::get_if<TensorPredictor>(&t.kind)) {
      if (cols.size() != 2 || cols[0] != te->col_a || cols[1] != te->col_b)
        return bad(term + " is a tensor term of columns (" + fmt_u64(te->col_a) + ", " + fmt_u64(te->col_b) +
                   ") but cols_used lists " + list_text(cols));
    } else if (cols.size() != 1) {
      return bad(term + " reads exactly one column but cols_used lists " + list_text(cols));
    }
    u64 end = 0;
    if (__builtin_add_overflow(start, *w, &end)) return bad(term + ": model matrix width overflows");
    const auto& r = p.term_col_ranges[i];
    if (r.first != start || r.second != end)
      return bad("AdditivePredictor: term_col_ranges[" + fmt_u64(i) + "] is (" + fmt_u64(r.first) + ", " +
                 fmt_u64(r.second) + ") but the term's block occupies (" + fmt_u64(start) + ", " + fmt_u64(end) + ")");
    start = end;
  }
  return start - 1;
}

Result<u64> block_width(const Predictor& p) {
  return std::visit([](const auto& v) { return width_of(v); }, p.kind);
}

// --- evaluation: shapes already checked; knots and columns are checked here, in the order the
// --- errors are documented -----------------------------------------------------------------

Status need_column(const char* kind, const XView& x) {
  if (x.cols == 0) return bad(std::string(kind) + ": x has no columns");
  return {};
}

Status write_block(const CrPredictor& p, const XView& x, Mat& out, Index col0) {
  VOREL_CHECK(validate_knots(p.knots));
  VOREL_CHECK(need_column("CrPredictor", x));
  write_cr_product(cr_tables(p.knots), x, 0, p.centring, out, col0);
  return {};
}

Status write_block(const RePredictor& p, const XView& x, Mat& out, Index col0) {
  VOREL_CHECK(need_column("RePredictor", x));
  write_re_indicator(p.levels, x, 0, out, col0);
  return {};
}

Status write_block(const CrStablePredictor& p, const XView& x, Mat& out, Index col0) {
  VOREL_CHECK(validate_knots(p.knots));
  VOREL_CHECK(need_column("CrStablePredictor", x));
  write_cr_product(cr_tables(p.knots), x, 0, cr_stable_multiplier(p.centring, p.reparam_v), out, col0);
  return {};
}

Status write_block(const TensorPredictor& p, const XView& x, Mat& out, Index col0) {
  if (p.col_a >= x.cols || p.col_b >= x.cols)
    return bad("TensorPredictor: term reads columns (" + fmt_u64(p.col_a) + ", " + fmt_u64(p.col_b) +
               ") but x has only " + fmt_u64(x.cols) + " columns");
  if (!validate_knots(p.knots_a)) return fail(VorelError::internal("invalid stored knots_a"));
  if (!validate_knots(p.knots_b)) return fail(VorelError::internal("invalid stored knots_b"));
  write_tensor_block(p, x, out, col0);
  return {};
}

Status write_term(const Predictor& t, const XView& x, Mat& out, Index col0) {
  return std::visit(
      [&](const auto& v) -> Status {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, AdditivePredictor>)
          return fail(VorelError::internal("nested additive predictor reached evaluation"));
        else
          return write_block(v, x, out, col0);
      },
      t.kind);
}

Status write_block(const AdditivePredictor& p, const XView& x, Mat& out, Index col0) {
  Index col = col0;
  for (std::size_t i = 0; i < p.term_predictors.size(); ++i) {
    for (u64 c : p.cols_used[i])
      if (c >= x.cols)
        return bad("AdditivePredictor: term " + fmt_u64(i) + " expects column " + fmt_u64(c) + " but x has only " +
                   fmt_u64(x.cols) + " columns");
    const Predictor& t = p.term_predictors[i];
    const bool whole_x = std::holds_alternative<TensorPredictor>(t.kind);
    VOREL_CHECK(write_term(t, whole_x ? x : x.column_view(p.cols_used[i][0]), out, col));
    VOREL_TRY(u64 w, term_width(t));
    col += static_cast<Index>(w);
  }
  return {};
}

}  // namespace

Result<u64> predictor_width(const Predictor& pred) {
  VOREL_TRY(u64 w, block_width(pred));
  return w + 1;
}

Result<Mat> predictor_design(const Predictor& pred, const XView& x) {
  VOREL_TRY(u64 w, block_width(pred));
  Mat out(static_cast<Index>(x.rows), static_cast<Index>(w) + 1);
  out.col(0).setOnes();
  VOREL_CHECK(std::visit([&](const auto& v) { return write_block(v, x, out, 1); }, pred.kind));
  return out;
}

}  // namespace vorel

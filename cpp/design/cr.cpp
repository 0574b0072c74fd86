#include "design/cr.h"

#include "basis/cr_spline.h"
#include "design/penalty_rank.h"

namespace vorel {

Result<CrTermSetup> setup_cr_term(const XView& x, u64 column, u64 k) {
  if (column >= x.cols) return fail(VorelError::internal("cr term reads a column that x does not have"));
  VOREL_TRY(Vec knots, place_knots(x.column(column), k));
  CrTables tab = cr_tables(knots);
  CrBasisStats st = cr_basis_stats(tab, x, column);
  Mat s = cr_penalty(knots);
  s *= cr_penalty_scale(st.max_abs_row_sum, s);
  Mat z = sum_to_zero_null_space(st.col_sums);
  Mat pen = z.transpose() * s * z;
  return CrTermSetup{std::move(knots), std::move(z), std::move(pen)};
}

Result<CrTermBlock> build_cr_term(const XView& x, u64 column, u64 k) {
  VOREL_TRY(CrTermSetup setup, setup_cr_term(x, column, k));
  Mat block(static_cast<Eigen::Index>(x.rows), setup.centring.cols());
  write_cr_product(cr_tables(setup.knots), x, column, setup.centring, block, 0);
  return CrTermBlock{std::move(setup.knots), std::move(setup.centring), std::move(block),
                     std::move(setup.penalty)};
}

Mat embed_penalty(const Mat& block, Eigen::Index first, Eigen::Index p) {
  Mat s = Mat::Zero(p, p);
  s.block(first, first, block.rows(), block.cols()) = block;
  return s;
}

Result<Design> assemble_single_smooth(Predictor pred, const Mat& term_penalty, const XView& x) {
  Design d;
  VOREL_TRY(d.x, predictor_design(pred, x));
  const Eigen::Index p = d.x.cols();
  const Eigen::Index m = term_penalty.rows();
  if (m != p - 1 || term_penalty.cols() != m)
    return fail(VorelError::internal("single-smooth penalty does not match its block"));
  // The embedded penalty only adds zero eigenvalues, which never pass the rank threshold, so the
  // term penalty itself gives the same rank and log-determinant at a fraction of the cost.
  VOREL_TRY(PenaltyRankLogDet rl, penalty_rank_log_det(term_penalty));
  d.predictor = std::move(pred);
  d.penalties.push_back(embed_penalty(term_penalty, 1, p));
  d.penalty_ranks.push_back(rl.rank);
  d.penalty_log_dets.push_back(rl.log_det);
  d.null_space_dim = static_cast<u64>(p) > rl.rank ? static_cast<u64>(p) - rl.rank : 0;
  d.penalty_spans.push_back(PenaltySpan{1, m});
  return d;
}

Result<Design> build_cr_design(const XView& x, u64 k) {
  VOREL_TRY(CrTermSetup t, setup_cr_term(x, 0, k));
  Predictor pred{CrPredictor{std::move(t.knots), std::move(t.centring)}};
  return assemble_single_smooth(std::move(pred), t.penalty, x);
}

}  // namespace vorel

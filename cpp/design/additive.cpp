#include "design/additive.h"

#include <algorithm>

#include "design/cr.h"
#include "design/cr_stable.h"
#include "design/finite.h"
#include "design/penalty_rank.h"
#include "design/re.h"
#include "design/tensor.h"
#include "util/format.h"

namespace vorel {

namespace {

std::vector<u64> columns_of(const TermSpec& t) {
  if (t.kind == TermSpec::Kind::Te) return {t.col_a, t.col_b};
  return {t.col};
}

struct BuiltTerm {
  Predictor predictor;
  std::vector<Mat> penalties;  // term-sized, in smoothing-parameter order
  Eigen::Index width = 0;
};

Result<BuiltTerm> build_term(const TermSpec& t, const XView& x) {
  switch (t.kind) {
    case TermSpec::Kind::Cr: {
      VOREL_TRY(CrTermSetup s, setup_cr_term(x, t.col, t.k));
      const Eigen::Index w = s.centring.cols();
      return BuiltTerm{Predictor{CrPredictor{std::move(s.knots), std::move(s.centring)}}, {std::move(s.penalty)}, w};
    }
    case TermSpec::Kind::CrStable: {
      VOREL_TRY(CrStableTermSetup s, setup_cr_stable_term(x, t.col, t.k));
      const Eigen::Index w = s.centring.cols();
      return BuiltTerm{
          Predictor{CrStablePredictor{std::move(s.knots), std::move(s.centring), std::move(s.reparam_v)}},
          {std::move(s.penalty)}, w};
    }
    case TermSpec::Kind::Re: {
      VOREL_TRY(std::vector<double> levels, re_levels(x, t.col));
      const auto w = static_cast<Eigen::Index>(levels.size());
      return BuiltTerm{Predictor{RePredictor{std::move(levels)}}, {Mat::Identity(w, w)}, w};
    }
    case TermSpec::Kind::Te: {
      VOREL_TRY(TensorTermSetup s, setup_tensor_term(x, t.col_a, t.col_b, t.k_a, t.k_b));
      const Eigen::Index w = s.predictor.centring.cols();
      return BuiltTerm{Predictor{std::move(s.predictor)}, std::move(s.penalties), w};
    }
  }
  return fail(VorelError::internal("unknown term kind"));
}

}  // namespace

Result<Design> build_additive_design(const std::vector<TermSpec>& terms, const XView& x) {
  if (terms.empty()) return fail(VorelError::internal("build_additive_design: no terms"));
  std::vector<u64> read;  // every column read, first occurrence order
  for (std::size_t j = 0; j < terms.size(); ++j) {
    for (u64 c : columns_of(terms[j])) {
      if (c >= x.cols)
        return fail(VorelError::invalid("Additive term " + fmt_u64(j) + " reads column " + fmt_u64(c) +
                                        " but x has only " + fmt_u64(x.cols) + " columns"));
      if (std::find(read.begin(), read.end(), c) == read.end()) read.push_back(c);
    }
  }
  VOREL_CHECK(check_finite_columns(x, read));

  std::vector<BuiltTerm> built;
  built.reserve(terms.size());
  for (const TermSpec& t : terms) {
    VOREL_TRY(BuiltTerm b, build_term(t, x));
    built.push_back(std::move(b));
  }

  AdditivePredictor add;
  Eigen::Index start = 1;
  for (std::size_t j = 0; j < built.size(); ++j) {
    add.cols_used.push_back(columns_of(terms[j]));
    add.term_col_ranges.emplace_back(static_cast<u64>(start), static_cast<u64>(start + built[j].width));
    start += built[j].width;
  }
  const Eigen::Index p = start;

  Design d;
  std::vector<std::vector<Mat>> term_penalties;
  for (BuiltTerm& b : built) {
    add.term_predictors.push_back(std::move(b.predictor));
    term_penalties.push_back(std::move(b.penalties));
  }
  d.predictor = Predictor{std::move(add)};
  // The model matrix is the predictor evaluated at the training x: a later evaluation at the same
  // x reproduces it exactly.
  VOREL_TRY(d.x, predictor_design(d.predictor, x));
  if (d.x.cols() != p) return fail(VorelError::internal("additive design width mismatch"));

  const auto& ranges = std::get<AdditivePredictor>(d.predictor.kind).term_col_ranges;
  u64 rank_sum = 0;
  for (std::size_t j = 0; j < term_penalties.size(); ++j) {
    const auto first = static_cast<Eigen::Index>(ranges[j].first);
    for (const Mat& s : term_penalties[j]) {
      // Zero rows and columns around the block only add zero eigenvalues, which never pass the
      // rank threshold: the block gives the full matrix's rank and log-determinant.
      VOREL_TRY(PenaltyRankLogDet rl, penalty_rank_log_det(s));
      d.penalties.push_back(embed_penalty(s, first, p));
      d.penalty_ranks.push_back(rl.rank);
      d.penalty_log_dets.push_back(rl.log_det);
      d.penalty_spans.push_back(PenaltySpan{first, s.rows()});
      rank_sum += rl.rank;
    }
  }
  d.null_space_dim = rank_sum > static_cast<u64>(p) ? 0 : static_cast<u64>(p) - rank_sum;
  return d;
}

}  // namespace vorel

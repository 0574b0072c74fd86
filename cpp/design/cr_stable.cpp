#include "design/cr_stable.h"

#include "basis/cr_spline.h"
#include "design/cr.h"
#include "util/lapack.h"

namespace vorel {

Result<StableReparam> StableReparam::create(const Mat& inner_penalty, u64 m) {
  const auto mi = static_cast<Eigen::Index>(m);
  if (inner_penalty.rows() != mi || inner_penalty.cols() != mi)
    return fail(VorelError::internal("StableReparam: penalty is not m x m"));
  auto eig = lapack::symmetric_eigen(inner_penalty);
  if (!eig) return fail(VorelError::linalg("eigh failed in StableReparam: " + lapack::failure_text(eig.error())));
  StableReparam r;
  r.eigenvalues = eig->values.reverse();
  r.v = eig->vectors.rowwise().reverse();
  return r;
}

Mat cr_stable_multiplier(const Mat& centring, const Mat& reparam_v) { return centring * reparam_v; }

Result<CrStableTermSetup> setup_cr_stable_term(const XView& x, u64 column, u64 k) {
  VOREL_TRY(CrTermSetup cr, setup_cr_term(x, column, k));
  VOREL_TRY(StableReparam rep, StableReparam::create(cr.penalty, static_cast<u64>(cr.centring.cols())));
  Mat pen = rep.v.transpose() * cr.penalty * rep.v;
  return CrStableTermSetup{std::move(cr.knots), std::move(cr.centring), std::move(rep.v), std::move(pen)};
}

Result<CrStableTermBlock> build_cr_stable_term(const XView& x, u64 column, u64 k) {
  VOREL_TRY(CrStableTermSetup s, setup_cr_stable_term(x, column, k));
  Mat block(static_cast<Eigen::Index>(x.rows), s.centring.cols());
  write_cr_product(cr_tables(s.knots), x, column, cr_stable_multiplier(s.centring, s.reparam_v), block, 0);
  return CrStableTermBlock{std::move(s.knots), std::move(s.centring), std::move(s.reparam_v),
                           std::move(block), std::move(s.penalty)};
}

Result<Design> build_cr_stable_design(const XView& x, u64 k) {
  VOREL_TRY(CrStableTermSetup s, setup_cr_stable_term(x, 0, k));
  Predictor pred{CrStablePredictor{std::move(s.knots), std::move(s.centring), std::move(s.reparam_v)}};
  return assemble_single_smooth(std::move(pred), s.penalty, x);
}

}  // namespace vorel

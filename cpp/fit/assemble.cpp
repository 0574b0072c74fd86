#include "fit/assemble.h"

#include <cmath>
#include <type_traits>

#include "util/format.h"

namespace vorel {

Status check_lengths(u64 n, const Vec& y, const std::optional<Vec>& weights) {
  if (n != static_cast<u64>(y.size()))
    return fail(VorelError::invalid("x and y must have the same number of rows; got x.nrows()=" +
                                    fmt_u64(n) + ", y.len()=" + fmt_u64(static_cast<u64>(y.size()))));
  if (weights && static_cast<u64>(weights->size()) != n)
    return fail(VorelError::invalid("prior_weights length must match x rows; got weights.len()=" +
                                    fmt_u64(static_cast<u64>(weights->size())) +
                                    ", x.nrows()=" + fmt_u64(n)));
  return {};
}

Status check_response(const Family& family, const Vec& y) {
  return std::visit(
      [&](const auto& fam) -> Status {
        if constexpr (requires { fam.valid_response(0.0, u64{0}); }) {
          for (Eigen::Index i = 0; i < y.size(); ++i) VOREL_CHECK(fam.valid_response(y.coeff(i), static_cast<u64>(i)));
        }
        return {};
      },
      family);
}

u64 nonzero_rows(const Mat& s) {
  u64 r = 0;
  for (Eigen::Index i = 0; i < s.rows(); ++i) {
    for (Eigen::Index j = 0; j < s.cols(); ++j) {
      if (!(s.coeff(i, j) == 0.0)) {
        ++r;
        break;
      }
    }
  }
  return r;
}

Vec edf_per_term(const Mat& a_inv, const FitProblem& problem, const Vec& lambda) {
  const std::size_t m = problem.penalties.size();
  Vec out(static_cast<Eigen::Index>(m));
  for (std::size_t j = 0; j < m; ++j) {
    const Eigen::Index jj = static_cast<Eigen::Index>(j);
    out[jj] = static_cast<double>(nonzero_rows(problem.penalties[j])) -
              lambda[jj] * trace_product(a_inv, problem.penalties[j], penalty_span(problem, j));
  }
  return out;
}

double edf_total(const Mat& a_inv, const Mat& xtwx) {
  if (a_inv.rows() != xtwx.rows() || a_inv.cols() != xtwx.cols())
    throw InternalFault("edf_total: shape mismatch");
  return (a_inv.array() * xtwx.array()).sum();
}

FinalFitSummary summarize_final_fit(const FitProblem& problem, const InnerFit& fit, const Vec& rho,
                                    const Mat* xtwx_known) {
  FinalFitSummary s;
  s.a_inv = inverse_from_factor(fit.factor);
  s.lambda = rho.array().exp();
  if (xtwx_known) {
    s.edf_total = edf_total(s.a_inv, *xtwx_known);
  } else {
    s.edf_total = edf_total(s.a_inv, weighted_gram(problem.x, fit.working_weights));
  }
  s.edf_per_term = edf_per_term(s.a_inv, problem, s.lambda);
  return s;
}

FittedGam assemble_record(Vec beta, Vec rho, double scale, FinalFitSummary summary, u64 n,
                          const OuterResult& outer, bool converged, Predictor predictor,
                          LinkKind link_kind, Vec shape_params) {
  FittedGam g;
  g.beta = std::move(beta);
  g.rho = std::move(rho);
  g.lambda = std::move(summary.lambda);
  g.scale = scale;
  g.edf_total = summary.edf_total;
  g.edf_per_term = std::move(summary.edf_per_term);
  g.n = n;
  g.n_iters = outer.iterations;
  g.converged = converged;
  g.reml_value = outer.value;
  g.predictor = std::move(predictor);
  g.vcov = std::move(summary.a_inv);
  if (scale != 1.0) g.vcov *= scale;
  g.link_kind = link_kind;
  g.shape_params = std::move(shape_params);
  return g;
}

}  // namespace vorel

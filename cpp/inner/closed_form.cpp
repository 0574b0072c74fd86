#include "inner/closed_form.h"

#include "inner/solve.h"
#include "util/lapack.h"

namespace vorel {

Result<InnerFit> closed_form_fit(const FitProblem& problem, const Vec& rho, InnerDetail detail) {
  Mat a = problem.xtwx;
  a += penalty_sum(problem, rho);
  VOREL_TRY(PenalizedSolution sol, solve_penalized(a, problem.xtwy));

  const Mat& x = problem.x;
  const Vec& y = problem.y;
  const Eigen::Index n = x.rows();
  if (y.size() != n || (problem.weights && problem.weights->size() != n))
    throw InternalFault("closed_form_fit: response or weights length differs from the rows of x");

  Vec f;
  lapack::a_x(x, sol.beta, f);
  // One pass over the residuals.
  double dev = 0.0;
  const double* yp = y.data();
  const double* fp = f.data();
  if (problem.weights) {
    const double* wp = problem.weights->data();
    for (Eigen::Index i = 0; i < n; ++i) {
      double r = yp[i] - fp[i];
      dev += wp[i] * r * r;
    }
  } else {
    for (Eigen::Index i = 0; i < n; ++i) {
      double r = yp[i] - fp[i];
      dev += r * r;
    }
  }

  InnerFit out;
  out.log_det = LogDetFromFactor{};
  out.beta = std::move(sol.beta);
  if (detail == InnerDetail::Full) {
    out.mu = f;
    out.working_weights = problem.weights ? *problem.weights : Vec::Ones(n);
    out.working_response = y;
    out.eta = std::move(f);
  }
  out.factor = std::move(sol.factor);
  out.deviance = dev;
  out.pearson = dev;
  out.n = static_cast<u64>(n);
  out.p = static_cast<u64>(x.cols());
  out.iterations = 1;
  out.converged = true;
  return out;
}

}  // namespace vorel

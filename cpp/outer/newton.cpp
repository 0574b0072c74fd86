#include "outer/newton.h"

#include <cmath>
#include <limits>

#include "util/lapack.h"

namespace vorel {

namespace {
constexpr double kGradTol = 5e-7;
constexpr double kRelChangeTol = 1e-7;
constexpr double kStepCap = 5.0;
constexpr double kSufficientDecrease = 1e-10;
constexpr double kBacktrack = 0.5;
constexpr double kMinStep = 0.001;
constexpr int kMaxTrials = 20;
constexpr u64 kMaxSteps = 50;
constexpr double kEigenFloor = 1e-8;
constexpr double kLooseGradTol = 1e-3;
}  // namespace

double max_abs_ignoring_nan(const Vec& v) {
  double m = 0.0;
  for (Eigen::Index i = 0; i < v.size(); ++i) {
    double a = std::fabs(v.coeff(i));
    if (a > m) m = a;
  }
  return m;
}

Mat make_positive_definite(const Mat& H) {
  const Eigen::Index m = H.rows();
  if (m == 0) return H;
  if (m == 1) {
    Mat out(1, 1);
    const double h = H.coeff(0, 0);
    out(0, 0) = std::isnan(h) ? h : std::fmax(h, kEigenFloor);
    return out;
  }
  Mat s = 0.5 * (H + H.transpose());
  auto eig = lapack::symmetric_eigen(s);
  if (!eig) {
    for (Eigen::Index i = 0; i < m; ++i)
      if (s(i, i) < kEigenFloor) s(i, i) = kEigenFloor;
    return s;
  }
  Vec e = eig->values;
  for (Eigen::Index i = 0; i < m; ++i) {
    if (std::isnan(e[i]) || e[i] < kEigenFloor) e[i] = kEigenFloor;
  }
  return eig->vectors * e.asDiagonal() * eig->vectors.transpose();
}

Result<OuterResult> optimize(const ScoreFn& f, Vec start) {
  Vec rho = std::move(start);
  VOREL_TRY(ScoreWithHessian cur, f(rho));
  double v_prev = std::numeric_limits<double>::infinity();
  u64 it = 0;
  bool converged = false;
  for (;;) {
    const double gmax = max_abs_ignoring_nan(cur.gradient);
    if (gmax < kGradTol * (std::fabs(cur.value) + 1.0)) {
      converged = true;
      break;
    }
    if (it >= 3 && std::fabs(cur.value - v_prev) / std::fmax(std::fabs(cur.value), 1.0) < kRelChangeTol) {
      converged = true;
      break;
    }
    const Mat hpd = make_positive_definite(cur.hessian);
    Vec d;
    if (auto sol = lapack::lu_solve(hpd, -cur.gradient)) {
      d = std::move(*sol);
    } else {
      d = -cur.gradient;
    }
    const double dmax = max_abs_ignoring_nan(d);
    if (dmax > kStepCap) d *= kStepCap / dmax;
    ++it;
    const double v_thr = cur.value - kSufficientDecrease * std::fabs(cur.value);

    bool accepted = false;
    double alpha = 1.0;
    for (int trial = 0;;) {
      Vec rho_t = rho + alpha * d;
      auto r = f(rho_t);
      if (r && std::isfinite(r->value) && r->value < v_thr) {
        v_prev = cur.value;
        rho = std::move(rho_t);
        cur = std::move(*r);
        accepted = true;
        break;
      }
      alpha *= kBacktrack;
      if (alpha < kMinStep) break;
      if (++trial >= kMaxTrials) break;
    }
    if (!accepted) {
      converged = gmax < kLooseGradTol * (std::fabs(cur.value) + 1.0);
      break;
    }
    if (it == kMaxSteps)
      return fail(VorelError::not_converged(kMaxSteps, max_abs_ignoring_nan(cur.gradient)));
  }
  return OuterResult{std::move(rho), cur.value, it, converged};
}

Result<OuterResult> optimize_rho(const ScoreFn& f, u64 m) {
  return optimize(f, Vec::Zero(static_cast<Eigen::Index>(m)));
}

}  // namespace vorel

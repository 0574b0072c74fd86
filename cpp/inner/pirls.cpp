#include "inner/pirls.h"

namespace vorel::pirls_detail {

// The Laplace approximation for this family uses the observed information
// H = X^T diag(W_obs) X + S_lambda rather than the expected one of the loop, so the score gets
// log|H| directly and a correction for the dependence of W_obs on beta-hat (through eta-hat)
// in the first gradient component:
//   d/d rho_1 of (1/2) log|H| = (lambda_1 / 2) [tr(H^-1 S_1) + sum_i a_i b_i c_i]
// with a_i = x_i^T H^-1 x_i, b_i = dW_obs_i / d eta_i and c_i = d eta_i / d lambda_1
// = x_i^T (-H^-1 S_1 beta-hat). trace0 and c are taken per unit lambda_1 (S_1 alone) so that
// the score multiplies both by lambda_1 once; b carries the prior weight because W_obs does.
void inverse_gaussian_observed_information(const FitProblem& problem, const Vec* w,
                                           const Mat& s_lambda, Mat& scratch,
                                           InnerFit& fit) {
  const Mat& x = problem.x;
  const Vec& y = problem.y;
  const Eigen::Index n = x.rows(), p = x.cols();
  const Vec& mu = fit.mu;

  // 1. observed-information weights.
  Vec alpha(n), w_obs(n);
  for (Eigen::Index i = 0; i < n; ++i) {
    const double mi = mu.coeff(i);
    const double m = std::fmax(mi, 1e-300);
    const double v = std::fmax(mi * mi * mi, 1e-300);
    const double gp = 1.0 / m;
    const double al = 1.0 + (y.coeff(i) - mi) * (3.0 * mi * mi / v - 1.0 / m);
    alpha.coeffRef(i) = al;
    const double wo = (w ? w->coeff(i) : 1.0) * al / (v * gp * gp);
    if (!std::isfinite(wo)) return;
    w_obs.coeffRef(i) = wo;
  }

  // 2. H and its eigen-decomposition; |H| from the eigenvalues so an indefinite H still counts.
  Mat h;
  weighted_gram_into(x, &w_obs, scratch, h);
  h += s_lambda;
  auto eig = lapack::symmetric_eigen(h);
  if (!eig) return;
  double log_det = 0.0;
  for (Eigen::Index k = 0; k < p; ++k) {
    const double e = eig->values.coeff(k);
    if (!std::isfinite(e) || std::fabs(e) < 1e-300) return;
    log_det += std::log(std::fabs(e));
  }
  fit.log_det = LogDetGiven{log_det};

  // 3. s_i = alpha_i / (V g'^2), the unweighted observed weight, must be finite.
  for (Eigen::Index i = 0; i < n; ++i) {
    const double mi = mu.coeff(i);
    const double m = std::fmax(mi, 1e-300);
    const double v = std::fmax(mi * mi * mi, 1e-300);
    const double gp = 1.0 / m;
    if (!std::isfinite(alpha.coeff(i) / (v * gp * gp))) return;
  }

  // 4. H^-1 = V diag(1/e) V^T.
  const Mat& ev = eig->vectors;
  Mat h_inv = ev * eig->values.cwiseInverse().asDiagonal() * ev.transpose();

  // 5. a_i = x_i^T H^-1 x_i via one n x p product; c = X d with d = -H^-1 S_1 beta-hat.
  const PenaltySpan sp = penalty_span(problem, 0);
  const Mat& s1 = problem.penalties[0];
  Vec s1_beta = Vec::Zero(p);
  s1_beta.segment(sp.first, sp.width) =
      s1.block(sp.first, sp.first, sp.width, sp.width) * fit.beta.segment(sp.first, sp.width);
  Vec d = -(h_inv * s1_beta);

  scratch.resize(n, p);
  scratch.noalias() = x * h_inv;
  LamlCorrection corr;
  corr.a.resize(n);
  corr.b.resize(n);
  corr.c.resize(n);
  for (Eigen::Index i = 0; i < n; ++i) corr.a.coeffRef(i) = scratch.row(i).dot(x.row(i));
  lapack::a_x(x, d, corr.c);

  for (Eigen::Index i = 0; i < n; ++i) {
    const double mi = mu.coeff(i);
    const double m = std::fmax(mi, 1e-300);
    const double v = std::fmax(mi * mi * mi, 1e-300);
    const double gp = 1.0 / m;
    if (gp < 1e-12) {
      corr.b.coeffRef(i) = 0.0;
      continue;
    }
    const double r = y.coeff(i) - mi;
    const double hd = 3.0 * mi * mi / v;
    const double he = -(1.0 / (m * m)) / gp;
    const double al = alpha.coeff(i);
    const double al_prime = (6.0 * mi / v - hd * hd + (2.0 / (m * m * m)) / gp - he * he) * r - (hd + he);
    // s_i = alpha_i u_i with u_i = 1 / (V g'^2), so ds_i/d eta_i = m u_i (alpha' - alpha (hd + 2 he)).
    // Written without dividing by alpha: alpha <= 0 (any y below half its mean) is common.
    const double u = 1.0 / (v * gp * gp);
    const double wi = w ? w->coeff(i) : 1.0;
    corr.b.coeffRef(i) = wi * m * u * (al_prime - al * (hd + 2.0 * he));
  }

  // 6. tr(H^-1 S_1).
  corr.trace0 = trace_product(h_inv, s1, sp);
  fit.laml_correction = std::move(corr);
}

}  // namespace vorel::pirls_detail

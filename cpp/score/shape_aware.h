// The joint Laplace-approximate restricted score of the shape-aware families over
// z = (rho, shape coordinates...), its gradient and finite-difference Hessian. Every
// evaluation rebuilds the family from z and re-runs PIRLS at rho = z[0]; the problem carries
// exactly one penalty. A Model supplies:
//   static constexpr int K; static constexpr bool has_analytic_shape_grad
//   Fam family_at(const Vec& z) const          unpacking of z (floors and clamps applied)
//   double dispersion(const Fam&) const         phi of (lambda b + D) / (2 phi); 1 for most
//   double extra(const FitProblem&, const Fam&) const   family terms of V besides the common ones
//   (analytic only) std::array<double, K-1> shape_gradient(problem, fam, mu, pen_dev) const
#pragma once

#include <array>
#include <cmath>
#include <atomic>
#include <cstdint>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "family/negbin.h"
#include "score/fd_hessian.h"
#include "family/tdist.h"
#include "family/tweedie.h"
#include "inner/pirls.h"
#include "inner/solve.h"
#include "outer/newton.h"
#include "util/eigen.h"
#include "util/error.h"

namespace vorel {

inline constexpr double kLog2Pi = 1.8378770664093453;

// What the score reads from an inner fit at one z.
struct JointCentre {
  Vec mu;
  double b = 0.0;      // beta^T S beta
  double dev = 0.0;    // family deviance
  double trace = 0.0;  // tr(A^-1 S)
  double half_log_det = 0.0;
};

struct JointEval {
  double value = 0.0;
  Vec gradient;
  JointCentre centre;
};

template <class Model>
class JointScore {
 public:
  using Fam = decltype(std::declval<Model>().family_at(Vec()));
  static constexpr int K = Model::K;

  JointScore(const FitProblem& problem, Model model) : pr_(problem), model_(std::move(model)) {}

  u64 inner_fits() const { return inner_fits_.load(); }

  Result<JointEval> eval_value(const Vec& z) const {
    const Fam fam = model_.family_at(z);
    Vec rho(1);
    rho[0] = z[0];
    ++inner_fits_;
    VOREL_TRY(InnerFit fit, pirls(pr_, fam, rho));
    JointEval e;
    const Mat& s = pr_.penalties[0];
    const PenaltySpan sp = penalty_span(pr_, 0);
    e.centre.b = penalty_quadratic(s, fit.beta, sp);
    e.centre.dev = fit.deviance;
    e.centre.trace = trace_product(inverse_from_factor(fit.factor), s, sp);
    e.centre.half_log_det = 0.5 * log_det_from_factor(fit.factor);
    e.centre.mu = std::move(fit.mu);
    e.value = value_at(z, fam, e.centre);
    return e;
  }

  Result<JointEval> eval_grad(const Vec& z) const {
    VOREL_TRY(JointEval e, eval_value(z));
    const Fam fam = model_.family_at(z);
    e.gradient.resize(K);
    e.gradient[0] = rho_component(z, fam, e.centre);
    if constexpr (Model::has_analytic_shape_grad) {
      const auto g = model_.shape_gradient(pr_, fam, e.centre.mu, pen_dev(z, e.centre));
      for (int k = 1; k < K; ++k) e.gradient[k] = g[k - 1];
    } else {
      for (int k = 1; k < K; ++k) {
        Vec up = z, dn = z;
        up[k] += 1e-5;
        dn[k] -= 1e-5;
        VOREL_TRY(JointEval a, eval_value(up));
        VOREL_TRY(JointEval c, eval_value(dn));
        e.gradient[k] = (a.value - c.value) / 2e-5;
      }
    }
    return e;
  }

  // Gradient at z from the centre fit's quantities, no inner fit.
  Vec eval_grad_frozen_beta(const Vec& z, const JointCentre& c) const {
    const Fam fam = model_.family_at(z);
    Vec g(K);
    g[0] = rho_component(z, fam, c);
    if constexpr (Model::has_analytic_shape_grad) {
      const auto s = model_.shape_gradient(pr_, fam, c.mu, pen_dev(z, c));
      for (int k = 1; k < K; ++k) g[k] = s[k - 1];
    }
    return g;
  }

  // The refitted gradients of the Hessian columns are independent: with `workers` = 2 they are
  // shared between the calling thread and one helper joined before returning; the columns are
  // combined in the sequential order, so the result and the error reported do not change.
  Result<ScoreWithHessian> eval_value_grad_hess(const Vec& z) const {
    VOREL_TRY(JointEval centre, eval_grad(z));
    Mat h(K, K);
    std::vector<Vec> points;
    std::vector<int> refit_cols;
    for (int k = 0; k < K; ++k) {
      const bool frozen = k >= 1 && (Model::has_analytic_shape_grad || K == 1);
      const double step = frozen ? 1e-5 : 1e-4;
      Vec up = z, dn = z;
      up[k] += step;
      dn[k] -= step;
      if (frozen) {
        h.col(k) = (eval_grad_frozen_beta(up, centre.centre) - eval_grad_frozen_beta(dn, centre.centre)) /
                   (2.0 * step);
      } else {
        refit_cols.push_back(k);
        points.push_back(std::move(up));
        points.push_back(std::move(dn));
      }
    }
    std::vector<std::optional<Result<JointEval>>> out(points.size());
    // An exception must not leave a worker: escaping the helper would terminate the process, and
    // escaping the caller would destroy a joinable thread. A broken invariant becomes an error value.
    auto run = [&](std::size_t first, std::size_t stride) {
      for (std::size_t i = first; i < points.size(); i += stride) {
        try {
          out[i].emplace(eval_grad(points[i]));
        } catch (const std::exception& e) {
          out[i].emplace(std::unexpected(VorelError::internal(e.what())));
        }
      }
    };
    std::optional<std::thread> helper;
    if (workers_ >= 2 && points.size() >= 2) {
      try {
        helper.emplace(run, 1, 2);
      } catch (const std::system_error&) {
        helper.reset();  // no thread available: do all of it here
      }
    }
    run(0, helper ? 2 : 1);
    if (helper) helper->join();
    for (std::size_t c = 0; c < refit_cols.size(); ++c) {
      Result<JointEval>& a = *out[2 * c];
      Result<JointEval>& b = *out[2 * c + 1];
      if (!a) return fail(std::move(a).error());
      if (!b) return fail(std::move(b).error());
      h.col(refit_cols[c]) = (a->gradient - b->gradient) / 2e-4;
    }
    symmetrize(h);
    return ScoreWithHessian{centre.value, std::move(centre.gradient), std::move(h)};
  }

  void set_workers(int w) { workers_ = w; }

  const Model& model() const { return model_; }

 private:
  double pen_dev(const Vec& z, const JointCentre& c) const { return std::exp(z[0]) * c.b + c.dev; }

  double value_at(const Vec& z, const Fam& fam, const JointCentre& c) const {
    const double phi = model_.dispersion(fam);
    const double mp = static_cast<double>(pr_.null_space_dim);
    const double r = static_cast<double>(pr_.penalty_ranks[0]);
    return pen_dev(z, c) / (2.0 * phi) + c.half_log_det - 0.5 * (pr_.penalty_log_dets[0] + r * z[0]) -
           0.5 * mp * (phi == 1.0 ? kLog2Pi : kLog2Pi + std::log(phi)) + model_.extra(pr_, fam);
  }

  double rho_component(const Vec& z, const Fam& fam, const JointCentre& c) const {
    const double lambda = std::exp(z[0]);
    return 0.5 * lambda * c.trace + 0.5 * lambda * c.b / model_.dispersion(fam) -
           0.5 * static_cast<double>(pr_.penalty_ranks[0]);
  }

  const FitProblem& pr_;
  Model model_;
  mutable std::atomic<u64> inner_fits_ = 0;
  int workers_ = 1;
};

// ---- the three models ---------------------------------------------------------------------

struct NegBinModel {
  static constexpr int K = 2;
  static constexpr bool has_analytic_shape_grad = false;
  NegBin family_at(const Vec& z) const { return NegBin{std::exp(z[1])}; }
  double dispersion(const NegBin&) const { return 1.0; }
  double extra(const FitProblem& pr, const NegBin& f) const { return -f.saturated_loglik(pr.y); }
};

struct TDistModel {
  static constexpr int K = 3;
  static constexpr bool has_analytic_shape_grad = false;
  double y_mean = 0.0;
  TDist family_at(const Vec& z) const { return TDist{2.0 + std::exp(z[2]), std::exp(z[1]), y_mean}; }
  double dispersion(const TDist&) const { return 1.0; }
  double extra(const FitProblem& pr, const TDist& f) const {
    return tdist_score_term(static_cast<double>(pr.y.size()), f.nu, f.sigma2);
  }
};

struct TweedieModel {
  static constexpr int K = 3;
  static constexpr bool has_analytic_shape_grad = true;
  Tweedie family_at(const Vec& z) const {
    double phi = std::exp(z[1]);
    if (!(phi >= 1e-6)) phi = 1e-6;  // a NaN is floored too
    double p = 1.0 + 1.0 / (1.0 + std::exp(-z[2]));
    p = std::fmin(std::fmax(p, 1.05), 1.95);
    return Tweedie{p, phi};
  }
  double dispersion(const Tweedie& f) const { return f.phi; }
  double extra(const FitProblem& pr, const Tweedie& f) const {
    return -tweedie_saturated_loglik(pr.y, f.p, f.phi);
  }
  std::array<double, 2> shape_gradient(const FitProblem& pr, const Tweedie& f, const Vec& mu,
                                       double pen_dev) const {
    const Vec* w = pr.weights ? &*pr.weights : nullptr;
    return tweedie_shape_gradient(pr.y, mu, w, f.p, f.phi, pen_dev,
                                  static_cast<double>(pr.y.size()) -
                                      static_cast<double>(pr.null_space_dim));
  }
};

}  // namespace vorel

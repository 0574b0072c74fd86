// Test hooks for the inner solvers, the score, the outer search, the standard families and the
// standard-family driver. Problems and designs are assembled here from NumPy arrays.
#include "util/eigen.h"  // before any Eigen header, for the index-check hook

#include <nanobind/eigen/dense.h>
#include <nanobind/stl/function.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <stdexcept>
#include <string>

#include "family/family.h"
#include "fit/assemble.h"
#include "fit/routes.h"
#include "inner/closed_form.h"
#include "inner/gram.h"
#include "inner/pirls.h"
#include "inner/solve.h"
#include "outer/newton.h"
#include "score/envelope.h"
#include "testing/registry.h"
#include "util/error.h"

namespace nb = nanobind;

namespace vorel::testing {

namespace {

[[noreturn]] void raise(const VorelError& e) {
  if (e.kind == ErrorKind::InvalidParameter) throw nb::value_error(e.message.c_str());
  throw std::runtime_error(to_string(e));
}

template <class T>
T take(Result<T> r) {
  if (!r) raise(r.error());
  return std::move(*r);
}

Family family_named(const std::string& name) {
  if (name == "gaussian") return gaussian_identity();
  if (name == "bernoulli") return bernoulli_logit();
  if (name == "poisson") return poisson_log();
  if (name == "quasipoisson") return quasipoisson_log();
  if (name == "quasibinomial") return quasibinomial_logit();
  if (name == "gamma") return gamma_log();
  if (name == "inverse_gaussian") return inverse_gaussian_log();
  throw nb::value_error(("no standard family " + name).c_str());
}

FitProblem make_problem(Mat x, Vec y, std::optional<Vec> weights, std::vector<Mat> penalties,
                        std::vector<u64> ranks, std::vector<double> log_dets, u64 null_space_dim,
                        u64 max_iter, double tol, std::optional<Vec> eta_start) {
  FitProblem pr;
  pr.penalties = std::move(penalties);
  pr.penalty_ranks = std::move(ranks);
  pr.penalty_log_dets = std::move(log_dets);
  pr.null_space_dim = null_space_dim;
  pr.x = std::move(x);
  pr.y = std::move(y);
  pr.weights = std::move(weights);
  pr.max_iter = max_iter;
  pr.tol = tol;
  pr.eta_start = std::move(eta_start);
  // Cross-products for the closed form; harmless for the other families.
  Mat scratch;
  Vec wy;
  const Vec* w = pr.weights ? &*pr.weights : nullptr;
  weighted_gram_into(pr.x, w, scratch, pr.xtwx);
  weighted_xtv_into(pr.x, w, pr.y, wy, pr.xtwy);
  return pr;
}

nb::dict inner_fit_dict(const InnerFit& f) {
  nb::dict d;
  d["beta"] = f.beta;
  d["eta"] = f.eta;
  d["mu"] = f.mu;
  d["working_weights"] = f.working_weights;
  d["working_response"] = f.working_response;
  d["factor"] = f.factor;
  d["deviance"] = f.deviance;
  d["pearson"] = f.pearson;
  d["n"] = f.n;
  d["p"] = f.p;
  d["iterations"] = f.iterations;
  d["converged"] = f.converged;
  if (auto g = std::get_if<LogDetGiven>(&f.log_det)) d["log_det"] = g->value;
  else d["log_det"] = nb::none();
  if (f.laml_correction) {
    nb::dict c;
    c["a"] = f.laml_correction->a;
    c["b"] = f.laml_correction->b;
    c["c"] = f.laml_correction->c;
    c["trace0"] = f.laml_correction->trace0;
    d["laml_correction"] = c;
  } else {
    d["laml_correction"] = nb::none();
  }
  return d;
}

nb::dict record_dict(const FittedGam& g) {
  nb::dict d;
  d["beta"] = g.beta;
  d["rho"] = g.rho;
  d["lambda"] = g.lambda;
  d["scale"] = g.scale;
  d["edf_total"] = g.edf_total;
  d["edf_per_term"] = g.edf_per_term;
  d["n"] = g.n;
  d["n_iters"] = g.n_iters;
  d["converged"] = g.converged;
  d["reml_value"] = g.reml_value;
  d["vcov"] = g.vcov;
  d["link_kind"] = static_cast<int>(g.link_kind);
  d["shape_params"] = g.shape_params;
  return d;
}

double family_op(const std::string& name, const std::string& op, double a, double b) {
  return std::visit(
      [&](const auto& fam) -> double {
        using F = std::decay_t<decltype(fam)>;
        if constexpr (is_standard_family_v<F>) {
          if (op == "initial_mu") return fam.initial_mu(a);
          if (op == "link") return fam.link(a);
          if (op == "inverse_link") return fam.inverse_link(a);
          if (op == "link_derivative") return fam.link_derivative(a);
          if (op == "variance") return fam.variance(a);
          if (op == "unit_deviance") return fam.unit_deviance(a, b);
        }
        throw nb::value_error(("unknown family operation " + op).c_str());
      },
      family_named(name));
}

double saturated(const std::string& name, const Vec& y, double phi) {
  return std::visit(
      [&](const auto& fam) -> double {
        using F = std::decay_t<decltype(fam)>;
        if constexpr (is_standard_family_v<F>) return fam.saturated_loglik(y, phi);
        throw nb::value_error("not a standard family");
      },
      family_named(name));
}

}  // namespace

void register_numerics(nb::module_& m) {
  nb::class_<FitProblem>(m, "FitProblem");
  m.def("make_problem", &make_problem, nb::arg("x"), nb::arg("y"), nb::arg("weights").none(),
        nb::arg("penalties"), nb::arg("ranks"), nb::arg("log_dets"), nb::arg("null_space_dim"),
        nb::arg("max_iter") = 50, nb::arg("tol") = 1e-9, nb::arg("eta_start").none() = nb::none());

  m.def("solve_penalized", [](const Mat& a, const Vec& r) {
    PenalizedSolution s = take(solve_penalized(a, r));
    return std::make_tuple(s.factor, s.beta);
  });
  m.def("forward_substitute", &forward_substitute);
  m.def("back_substitute", &back_substitute);
  m.def("inverse_from_factor", &inverse_from_factor);
  m.def("weighted_gram", [](const Mat& x, const Vec& w) { return weighted_gram(x, w); });
  m.def("penalty_sum", [](const FitProblem& p, const Vec& rho) { return penalty_sum(p, rho); });

  m.def("closed_form_fit", [](const FitProblem& p, const Vec& rho) {
    return inner_fit_dict(take(closed_form_fit(p, rho)));
  });
  m.def("pirls", [](const FitProblem& p, const std::string& family, const Vec& rho) {
    return inner_fit_dict(take(standard_inner_fit(p, family_named(family), rho)));
  });

  m.def("score_eval", [](const FitProblem& p, const std::string& family, const Vec& rho) {
    ScoreEval s = take(score_eval(p, family_named(family), rho));
    return std::make_tuple(s.value, s.gradient);
  });
  m.def("score_with_hessian", [](const FitProblem& p, const std::string& family, const Vec& rho) {
    ScoreWithHessian s = take(score_with_hessian(p, family_named(family), rho));
    return std::make_tuple(s.value, s.gradient, s.hessian);
  });
  // Inverse Gaussian score gradient with and without the observed-information correction.
  m.def("inverse_gaussian_gradients", [](const FitProblem& p, const Vec& rho) {
    InnerFit fit = take(pirls(p, InverseGaussian{}, rho));
    const InverseGaussian fam;
    auto ell = [&](double phi) { return fam.saturated_loglik(p.y, phi); };
    ScoreEval corrected = score_from_fit(p, fit, rho, InverseGaussian::scale_kind, ell);
    fit.laml_correction.reset();
    ScoreEval plain = score_from_fit(p, fit, rho, InverseGaussian::scale_kind, ell);
    return std::make_tuple(corrected.value, corrected.gradient, plain.gradient);
  });
  m.def("gamma_scale_newton", &gamma_scale_newton);

  m.def("make_positive_definite", &make_positive_definite);
  // f(rho) -> (value, gradient, hessian); an exception from f is a failed evaluation.
  m.def("optimize", [](nb::callable f, const Vec& start) {
    ScoreFn fn = [&](const Vec& rho) -> Result<ScoreWithHessian> {
      try {
        auto t = nb::cast<std::tuple<double, Vec, Mat>>(f(rho));
        return ScoreWithHessian{std::get<0>(t), std::get<1>(t), std::get<2>(t)};
      } catch (nb::python_error& e) {
        return fail(VorelError::singular(std::string("callback failed: ") + e.what()));
      }
    };
    OuterResult r = take(optimize(fn, start));
    return std::make_tuple(r.rho, r.value, r.iterations, r.converged);
  });

  m.def("family_op", &family_op, nb::arg("family"), nb::arg("op"), nb::arg("a"), nb::arg("b") = 0.0);
  m.def("saturated_loglik", &saturated);
  m.def("check_response", [](const std::string& family, const Vec& y) {
    auto s = check_response(family_named(family), y);
    if (!s) raise(s.error());
  });

  // The driver on a design assembled from arrays (no predictor is needed to fit).
  m.def(
      "fit_standard",
      [](const std::string& family, Mat x, const Vec& y, std::optional<Vec> weights,
         std::vector<Mat> penalties, std::vector<u64> ranks, std::vector<double> log_dets,
         u64 null_space_dim, std::optional<u64> n_rows) {
        Design d;
        d.predictor = Predictor{CrPredictor{}};
        const Eigen::Index p = x.cols();
        for (std::size_t j = 0; j < penalties.size(); ++j) d.penalty_spans.push_back({0, p});
        d.penalties = std::move(penalties);
        d.penalty_ranks = std::move(ranks);
        d.penalty_log_dets = std::move(log_dets);
        d.null_space_dim = null_space_dim;
        const u64 n = n_rows ? *n_rows : static_cast<u64>(x.rows());
        d.x = std::move(x);
        return record_dict(take(fit_standard(family_named(family), std::move(d), n, y, std::move(weights))));
      },
      nb::arg("family"), nb::arg("x"), nb::arg("y"), nb::arg("weights").none(), nb::arg("penalties"),
      nb::arg("ranks"), nb::arg("log_dets"), nb::arg("null_space_dim"),
      nb::arg("n_rows").none() = nb::none());
}

}  // namespace vorel::testing

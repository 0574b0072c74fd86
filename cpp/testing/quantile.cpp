// Ordered categorical and quantile pieces exposed to pytest.
#include "util/eigen.h"  // before nanobind's Eigen caster, which includes Eigen itself

#include <nanobind/eigen/dense.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <optional>
#include <string>

#include "family/elf.h"
#include "family/ocat.h"
#include "fit/ocat.h"
#include "fit/quantile.h"
#include "fit/routes.h"
#include "inner/armijo.h"
#include "inner/full_newton.h"
#include "testing/registry.h"

namespace nb = nanobind;

namespace vorel::testing {
namespace {

Ocat make_ocat(u64 n_cats, std::vector<double> thresholds) { return Ocat{n_cats, std::move(thresholds)}; }

// None on success, the error's message otherwise.
std::optional<std::string> message_of(const Status& s) {
  if (s) return std::nullopt;
  return s.error().message;
}

void register_ocat_family(nb::module_& m) {
  m.def("ocat_cut_points", [](u64 r, std::vector<double> th) { return ocat_cut_points(make_ocat(r, th)); });
  m.def("ocat_category", &ocat_category);
  m.def("ocat_probability", [](u64 r, std::vector<double> th, u64 k, double eta) {
    return ocat_probability(ocat_cut_points(make_ocat(r, th)), k, eta);
  });
  m.def("ocat_unit_deviance", [](u64 r, std::vector<double> th, u64 k, double eta) {
    return ocat_unit_deviance(ocat_cut_points(make_ocat(r, th)), k, eta);
  });
  m.def("ocat_derivatives", [](u64 r, std::vector<double> th, u64 k, double eta) {
    auto d = ocat_derivatives(ocat_cut_points(make_ocat(r, th)), k, eta);
    return std::pair{d.g1, d.g2};
  });
  m.def("ocat_check_response", [](const Vec& y, u64 r) { return message_of(ocat_check_response(y, r)); });
}

void register_elf_family(nb::module_& m) {
  m.def("softplus", &softplus);
  m.def("elf_unit_deviance", [](double tau, double sigma, double lambda, double r) {
    return elf_unit_deviance(Elf{tau, sigma, lambda}, r);
  });
  m.def("elf_newton", [](double tau, double sigma, double lambda, double r) {
    auto q = elf_newton(Elf{tau, sigma, lambda}, r);
    return std::pair{q.weight, q.gradient};
  });
  m.def("elf_saturated_term", [](double tau, double sigma, double lambda) {
    return elf_saturated_term(Elf{tau, sigma, lambda});
  });
  m.def("elf_check_response", [](const Vec& y) { return message_of(elf_check_response(y)); });
}

// A one-penalty problem assembled from Python arrays.
FitProblem make_problem(const Mat& x, const Mat& s, const Vec& y, std::optional<Vec> weights,
                        u64 max_iter, double tol) {
  FitProblem pr;
  pr.x = x;
  pr.penalties = {s};
  pr.penalty_ranks = {static_cast<u64>(s.rows())};
  pr.penalty_log_dets = {0.0};
  pr.y = y;
  pr.weights = std::move(weights);
  pr.max_iter = max_iter;
  pr.tol = tol;
  return pr;
}

nb::dict inner_fit_dict(const Result<InnerFit>& r) {
  nb::dict d;
  if (!r) {
    d["error"] = to_string(r.error());
    return d;
  }
  d["beta"] = r->beta;
  d["eta"] = r->eta;
  d["working_weights"] = r->working_weights;
  d["working_response"] = r->working_response;
  d["factor"] = r->factor;
  d["deviance"] = r->deviance;
  d["iterations"] = r->iterations;
  d["converged"] = r->converged;
  return d;
}

void register_inner(nb::module_& m) {
  m.def(
      "full_newton",
      [](const Mat& x, const Mat& s, const Vec& y, std::optional<Vec> w, u64 r, std::vector<double> th,
         double rho, u64 max_iter, double tol, std::optional<Vec> eta_start) {
        FitProblem pr = make_problem(x, s, y, std::move(w), max_iter, tol);
        pr.eta_start = std::move(eta_start);
        return inner_fit_dict(fit_full_newton(pr, make_ocat(r, std::move(th)), Vec::Constant(1, rho)));
      },
      nb::arg("x"), nb::arg("s"), nb::arg("y"), nb::arg("weights").none(), nb::arg("n_cats"),
      nb::arg("thresholds"), nb::arg("rho"), nb::arg("max_iter") = 50, nb::arg("tol") = 1e-9,
      nb::arg("eta_start").none() = nb::none());
  m.def(
      "armijo",
      [](const Mat& x, const Mat& s, const Vec& y, double tau, double sigma, double lambda, double rho,
         const Vec& beta_start, u64 max_iter, double tol) {
        FitProblem pr = make_problem(x, s, y, std::nullopt, max_iter, tol);
        return inner_fit_dict(fit_armijo(pr, Elf{tau, sigma, lambda}, Vec::Constant(1, rho), beta_start));
      },
      nb::arg("x"), nb::arg("s"), nb::arg("y"), nb::arg("tau"), nb::arg("sigma"), nb::arg("lam"),
      nb::arg("rho"), nb::arg("beta_start"), nb::arg("max_iter") = 50, nb::arg("tol") = 1e-7);
}

// A single-smooth design assembled from Python arrays (the predictor is a placeholder: these
// fits are never used for prediction).
Design make_design(const Mat& x, const Mat& s, u64 rank, double log_det, u64 null_space_dim) {
  Design d;
  d.x = x;
  d.penalties = {s};
  d.penalty_ranks = {rank};
  d.penalty_log_dets = {log_det};
  d.null_space_dim = null_space_dim;
  d.penalty_spans = {PenaltySpan{0, s.rows()}};
  return d;
}

nb::dict record_dict(const Result<FittedGam>& r) {
  nb::dict d;
  if (!r) {
    d["error"] = to_string(r.error());
    return d;
  }
  d["beta"] = r->beta;
  d["rho"] = r->rho;
  d["lambda"] = r->lambda;
  d["scale"] = r->scale;
  d["edf_total"] = r->edf_total;
  d["edf_per_term"] = r->edf_per_term;
  d["n"] = r->n;
  d["n_iters"] = r->n_iters;
  d["converged"] = r->converged;
  d["reml_value"] = r->reml_value;
  d["vcov"] = r->vcov;
  d["link_kind"] = static_cast<int>(r->link_kind);
  d["shape_params"] = r->shape_params;
  return d;
}

void register_routes(nb::module_& m) {
  m.def(
      "fit_ocat_design",
      [](const Mat& x, const Mat& s, u64 rank, double log_det, u64 mp, u64 n, const Vec& y,
         std::optional<Vec> w, u64 r) {
        return record_dict(fit_ocat_design(make_ocat(r, std::vector<double>(r >= 2 ? r - 2 : 0, 0.0)),
                                           make_design(x, s, rank, log_det, mp), n, y, std::move(w)));
      },
      nb::arg("x"), nb::arg("s"), nb::arg("rank"), nb::arg("log_det"), nb::arg("null_space_dim"),
      nb::arg("n"), nb::arg("y"), nb::arg("weights").none(), nb::arg("n_cats"));
  m.def(
      "fit_elf_design",
      [](const Mat& x, const Mat& s, u64 rank, double log_det, u64 mp, u64 n, const Vec& y,
         std::optional<Vec> w, double tau, double sigma, double lambda) {
        return record_dict(
            fit_elf(Elf{tau, sigma, lambda}, make_design(x, s, rank, log_det, mp), n, y, std::move(w)));
      },
      nb::arg("x"), nb::arg("s"), nb::arg("rank"), nb::arg("log_det"), nb::arg("null_space_dim"),
      nb::arg("n"), nb::arg("y"), nb::arg("weights").none(), nb::arg("tau"), nb::arg("sigma") = 0.0,
      nb::arg("lam") = 0.0);
  m.def("elf_warm_start", [](const Mat& x, const Mat& s, const Vec& y, double tau, double sigma,
                             double lambda) {
    FitProblem pr = make_problem(x, s, y, std::nullopt, 50, 1e-7);
    auto r = elf_warm_start(pr, tau, sigma, lambda);
    nb::dict d;
    if (!r) {
      d["error"] = to_string(r.error());
      return d;
    }
    d["beta0"] = r->beta0;
    d["sigma"] = r->sigma;
    d["lambda"] = r->lambda;
    return d;
  });
}

}  // namespace

void register_quantile(nb::module_& m) {
  register_ocat_family(m);
  register_elf_family(m);
  register_inner(m);
  register_routes(m);
}

}  // namespace vorel::testing

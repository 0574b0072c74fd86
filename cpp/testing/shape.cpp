// Shape-aware family pieces exposed to pytest: family operations, the Tweedie series and
// analytic shape gradient, and the counted fit routes.
#include "util/eigen.h"  // before nanobind's Eigen caster, which includes Eigen itself

#include <nanobind/eigen/dense.h>
#include <nanobind/stl/array.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/pair.h>

#include <optional>
#include <stdexcept>
#include <utility>
#include <string>

#include "family/negbin.h"
#include "family/tdist.h"
#include "family/tweedie.h"
#include "design/cr.h"
#include "fit/shape_aware.h"
#include "testing/registry.h"

namespace nb = nanobind;

namespace vorel::testing {
namespace {

std::optional<std::string> message_of(const Status& s) {
  if (s) return std::nullopt;
  return s.error().message;
}

// Builds the cr design of column 0 of x and runs the named route; returns (shape_params,
// inner fits of the whole call) or raises with the error's message.
std::pair<Vec, u64> counted_fit(const std::string& family, const Mat& x, const Vec& y, u64 k,
                                double a, double b, int workers) {
  auto design = build_cr_design(XView::of(x), k);
  if (!design) throw std::runtime_error(design.error().message);
  const u64 n = static_cast<u64>(x.rows());
  ShapeFitStats stats;
  stats.workers = workers;
  Result<FittedGam> r = fail(VorelError::internal("unknown family"));
  if (family == "negbin") r = fit_negbin_counted(NegBin{a}, std::move(*design), n, y, std::nullopt, &stats);
  else if (family == "tdist") r = fit_tdist_counted(TDist{a, b}, std::move(*design), n, y, std::nullopt, &stats);
  else if (family == "tweedie") r = fit_tweedie_counted(Tweedie{a, b}, std::move(*design), n, y, std::nullopt, &stats);
  if (!r) throw std::runtime_error(to_string(r.error()));
  return {r->shape_params, stats.inner_fits};
}

}  // namespace

void register_shape(nb::module_& m) {
  m.def("negbin_ops", [](double theta, double y, double mu) {
    NegBin f{theta};
    return std::array<double, 4>{f.initial_mu(y), f.variance(mu), f.unit_deviance(y, mu),
                                 f.link_derivative(mu)};
  });
  m.def("negbin_saturated", [](double theta, const Vec& y) { return NegBin{theta}.saturated_loglik(y); });
  m.def("negbin_check", [](double theta, const Vec& y) -> std::optional<std::string> {
    NegBin f{theta};
    if (auto s = negbin_check_init(f); !s) return message_of(s);
    for (Eigen::Index i = 0; i < y.size(); ++i)
      if (auto s = f.valid_response(y[i], static_cast<u64>(i)); !s) return message_of(s);
    return std::nullopt;
  });
  m.def("tdist_ops", [](double nu, double sigma2, double y_mean, double y, double mu) {
    TDist f{nu, sigma2, y_mean};
    return std::array<double, 3>{f.initial_mu(y), f.variance(mu), f.unit_deviance(y, mu)};
  });
  m.def("tdist_score_term", &tdist_score_term);
  m.def("tdist_check", [](double nu, double sigma2) { return message_of(tdist_check_init(TDist{nu, sigma2})); });
  m.def("tweedie_ops", [](double p, double y, double mu) {
    Tweedie f{p, 1.0};
    return std::array<double, 3>{f.initial_mu(y), f.variance(mu), f.unit_deviance(y, mu)};
  });
  m.def("tweedie_check", [](double p, double phi, const Vec& y) -> std::optional<std::string> {
    Tweedie f{p, phi};
    if (auto s = tweedie_check_init(f); !s) return message_of(s);
    for (Eigen::Index i = 0; i < y.size(); ++i)
      if (auto s = f.valid_response(y[i], static_cast<u64>(i)); !s) return message_of(s);
    return std::nullopt;
  });
  m.def("shape_fit_counted", &counted_fit, nb::arg("family"), nb::arg("x"), nb::arg("y"), nb::arg("k"),
        nb::arg("a"), nb::arg("b"), nb::arg("workers") = 1);
  m.def("tweedie_log_series", &tweedie_log_series);
  m.def("tweedie_saturated", &tweedie_saturated_loglik);
  m.def("tweedie_shape_gradient",
        [](const Vec& y, const Vec& mu, std::optional<Vec> w, double p, double phi, double pen_dev,
           double n_minus_mp) {
          return tweedie_shape_gradient(y, mu, w ? &*w : nullptr, p, phi, pen_dev, n_minus_mp);
        });
}

}  // namespace vorel::testing

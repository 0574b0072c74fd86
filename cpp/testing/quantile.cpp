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

}  // namespace

void register_quantile(nb::module_& m) {
  register_ocat_family(m);
  register_elf_family(m);
}

}  // namespace vorel::testing

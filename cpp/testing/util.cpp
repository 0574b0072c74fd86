#include <nanobind/stl/string.h>

#include "testing/registry.h"
#include "util/error.h"
#include "util/format.h"

namespace nb = nanobind;

namespace vorel::testing {
void register_util(nb::module_& m) {
  m.def("fmt_real", &fmt_real);
  m.def("fmt_grad_norm", &fmt_grad_norm);
  m.def("quote_name", [](const std::string& s) { return quote_name(s); });
  m.def("not_converged_text", [](std::uint64_t iters, double g) {
    return to_string(VorelError::not_converged(iters, g));
  });
}
}  // namespace vorel::testing

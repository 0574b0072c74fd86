// `fit`: one smooth of column 0 of x, any family.
#include "bindings/entries.h"

#include "bindings/convert.h"
#include "bindings/dispatch.h"
#include "bindings/errors.h"
#include "bindings/fitted_gam.h"

namespace vorel::py {

namespace {

const char kFitDoc[] =
    "fit(family_name, x, y, weights=None, k=10, design='cr', theta=None, nu=None, sigma2=None, "
    "tweedie_p=None, tweedie_phi=None, r=None, tau=None, elf_sigma=None, elf_lambda=None)\n"
    "--\n"
    "\n"
    "Fit a GAM with one smooth of the first column of `x`.\n"
    "\n"
    "This is the only string-keyed entry into the typed core: `family_name` and `design` are\n"
    "resolved here into a typed family value and a design build, the family's own parameters\n"
    "are checked, and the typed values are handed to the family's fit path.\n"
    "\n"
    "Families (exact, case-sensitive names):\n"
    "  \"gaussian\"                              gaussian_identity()\n"
    "  \"bernoulli\", \"binomial\"                 bernoulli_logit()\n"
    "  \"poisson\"                               poisson_log()\n"
    "  \"quasipoisson\"                          quasipoisson_log()\n"
    "  \"quasibinomial\"                         quasibinomial_logit()\n"
    "  \"gamma\"                                 gamma_log()\n"
    "  \"inverse_gaussian\", \"inverse.gaussian\"  inverse_gaussian_log()\n"
    "  \"negbin\", \"nb\"                          negbin_log(theta), theta defaults to 2.0\n"
    "  \"tdist\", \"scat\"                         tdist_identity(nu, sigma2), defaults 5.0 and 1.0\n"
    "  \"tweedie\", \"tw\"                         tweedie_log(tweedie_p, tweedie_phi), defaults\n"
    "                                          1.5 and 1.0\n"
    "  \"ocat\"                                  ocat_identity(r), r (>= 3 ordered categories)\n"
    "                                          required; thresholds start at r - 2 zeros\n"
    "  \"elf\", \"quantile\"                       elf_identity(tau, elf_sigma, elf_lambda),\n"
    "                                          defaults 0.5, 0 and 0\n"
    "\n"
    "Designs: \"cr\" (cubic regression spline with `k` knots), \"cr_stable\" (its stably\n"
    "reparametrised variant, `k` knots) and \"re\" (random effect of the distinct values of\n"
    "column 0; `k` is ignored).\n"
    "\n"
    "`x` is a 2-D float64 array (any memory layout), `y` and `weights` 1-D float64 arrays;\n"
    "parameters the chosen family does not use are ignored. Returns a FittedGam.";

constexpr const char* kFitKeywords[] = {"family_name", "x",          "y",         "weights",
                                        "k",           "design",     "theta",     "nu",
                                        "sigma2",      "tweedie_p",  "tweedie_phi", "r",
                                        "tau",         "elf_sigma",  "elf_lambda", nullptr};

PyObject* fit_impl(PyObject* args, PyObject* kwargs) {
  PyObject *family_o, *x_o, *y_o, *weights_o = Py_None, *k_o = nullptr, *design_o = nullptr;
  PyObject *theta_o = Py_None, *nu_o = Py_None, *sigma2_o = Py_None, *p_o = Py_None,
           *phi_o = Py_None, *r_o = Py_None, *tau_o = Py_None, *elf_sigma_o = Py_None,
           *elf_lambda_o = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|OOOOOOOOOOOO:fit",
                                   const_cast<char**>(kFitKeywords), &family_o, &x_o, &y_o,
                                   &weights_o, &k_o, &design_o, &theta_o, &nu_o, &sigma2_o, &p_o,
                                   &phi_o, &r_o, &tau_o, &elf_sigma_o, &elf_lambda_o))
    return nullptr;

  FitRequest q;
  MatrixBorrow x;
  if (!convert_str(family_o, "family_name", q.family_name)) return nullptr;
  if (!borrow_matrix(x_o, "x", x)) return nullptr;
  q.x = x.view();
  if (!copy_vector(y_o, "y", q.y)) return nullptr;
  if (weights_o != Py_None) {
    q.weights.emplace();
    if (!copy_vector(weights_o, "weights", *q.weights)) return nullptr;
  }
  if (k_o != nullptr && !convert_u64(k_o, "k", q.k)) return nullptr;
  if (design_o != nullptr && !convert_str(design_o, "design", q.design)) return nullptr;
  if (!convert_optional_real(theta_o, "theta", q.theta) ||
      !convert_optional_real(nu_o, "nu", q.nu) ||
      !convert_optional_real(sigma2_o, "sigma2", q.sigma2) ||
      !convert_optional_real(p_o, "tweedie_p", q.tweedie_p) ||
      !convert_optional_real(phi_o, "tweedie_phi", q.tweedie_phi) ||
      !convert_optional_u64(r_o, "r", q.r) || !convert_optional_real(tau_o, "tau", q.tau) ||
      !convert_optional_real(elf_sigma_o, "elf_sigma", q.elf_sigma) ||
      !convert_optional_real(elf_lambda_o, "elf_lambda", q.elf_lambda))
    return nullptr;

  auto fitted = dispatch_fit(std::move(q));
  if (!fitted) return raise_core_error(fitted.error());
  return wrap_fitted_gam(std::move(*fitted));
}

PyObject* py_fit(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return fit_impl(args, kwargs); });
}

}  // namespace

PyMethodDef fit_method_def() {
  return {"fit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_fit)),
          METH_VARARGS | METH_KEYWORDS, kFitDoc};
}

}  // namespace vorel::py

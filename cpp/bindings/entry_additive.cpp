// `fit_additive`: a sum of smooth, random-effect and tensor terms over several columns of x.
#include <string>
#include <vector>

#include "bindings/convert.h"
#include "bindings/dispatch.h"
#include "bindings/entries.h"
#include "bindings/errors.h"
#include "bindings/fitted_gam.h"
#include "util/format.h"

namespace vorel::py {

namespace {

const char kFitAdditiveDoc[] =
    "fit_additive(family_name, x, y, terms, weights=None)\n"
    "--\n"
    "\n"
    "Fit a multi-smooth additive model `y ~ s(x_{c_0}) + s(x_{c_1}) + ...`.\n"
    "\n"
    "`terms` is a Python list of `(col, basis_name, k)` tuples, one per smoothing term, with\n"
    "`basis_name` one of \"cr\", \"cr_stable\" or \"re\"; `k` is the basis size used by \"cr\"\n"
    "and \"cr_stable\" and ignored by \"re\" (it may be omitted, defaulting to 10). A\n"
    "tensor-product term of two columns is written `((col_a, col_b), \"te\", (k_a, k_b))`.\n"
    "The strings are converted at this boundary into typed TermSpec values; each term gets its\n"
    "own smoothing parameter (a tensor term two).\n"
    "\n"
    "Family names are those of `fit` minus the families that require a single smooth (tdist,\n"
    "scat, negbin, tweedie, ocat, elf, quantile), which fail with a message directing the\n"
    "caller back to `fit`. Returns a FittedGam.";

constexpr const char* kFitAdditiveKeywords[] = {"family_name", "x", "y", "terms", "weights",
                                                nullptr};

std::string item_repr(PyObject* item) {
  PyObject* r = PyObject_Repr(item);
  if (r == nullptr) return {};
  Py_ssize_t size = 0;
  const char* u = PyUnicode_AsUTF8AndSize(r, &size);
  std::string out = u != nullptr ? std::string(u, static_cast<std::size_t>(size)) : std::string();
  Py_DECREF(r);
  return out;
}

std::string term_prefix(std::size_t i) { return "fit_additive: term " + std::to_string(i); }

// A (a, b) pair of unsigned integers, the interpreter's conversion errors passing through.
bool read_pair(PyObject* pair, u64& a, u64& b) {
  return index_as_u64(PyTuple_GET_ITEM(pair, 0), a) && index_as_u64(PyTuple_GET_ITEM(pair, 1), b);
}

bool parse_tensor_term(PyObject* item, std::size_t i, TermSpec& out) {
  const std::string at = "fit_additive: tensor term " + std::to_string(i);
  PyObject* cols = PyTuple_GET_ITEM(item, 0);
  if (!PyTuple_Check(cols)) {
    raise_value_error(at + " first element must be a (col_a, col_b) tuple");
    return false;
  }
  if (PyTuple_GET_SIZE(cols) != 2) {
    raise_value_error(at + " cols tuple must have exactly 2 elements");
    return false;
  }
  out.kind = TermSpec::Kind::Te;
  if (!read_pair(cols, out.col_a, out.col_b)) return false;
  out.k_a = out.k_b = 10;
  if (PyTuple_GET_SIZE(item) >= 3) {
    PyObject* ks = PyTuple_GET_ITEM(item, 2);
    if (!PyTuple_Check(ks)) {
      raise_value_error(at + " k must be a (k_a, k_b) tuple");
      return false;
    }
    if (PyTuple_GET_SIZE(ks) != 2) {
      raise_value_error(at + " k tuple must have exactly 2 elements");
      return false;
    }
    if (!read_pair(ks, out.k_a, out.k_b)) return false;
  }
  return true;
}

bool parse_univariate_term(PyObject* item, std::size_t i, std::string_view basis, TermSpec& out) {
  // The column is read before the basis name is judged, and its conversion error is replaced.
  if (!index_as_u64(PyTuple_GET_ITEM(item, 0), out.col)) {
    PyErr_Clear();
    raise_value_error("fit_additive: univariate term " + std::to_string(i) +
                      " first element must be an integer column index");
    return false;
  }
  if (basis == "cr" || basis == "cr_stable") {
    out.kind = basis == "cr" ? TermSpec::Kind::Cr : TermSpec::Kind::CrStable;
    out.k = 10;
    if (PyTuple_GET_SIZE(item) >= 3 && !index_as_u64(PyTuple_GET_ITEM(item, 2), out.k))
      return false;
    return true;
  }
  if (basis == "re") {
    out.kind = TermSpec::Kind::Re;
    return true;
  }
  raise_value_error(term_prefix(i) + " basis must be 'cr', 'cr_stable', 're', or 'te'; got " +
                    quote_name(basis));
  return false;
}

bool parse_term(PyObject* item, std::size_t i, TermSpec& out) {
  if (!PyTuple_Check(item)) {
    const std::string repr = item_repr(item);
    if (PyErr_Occurred()) return false;
    raise_value_error(term_prefix(i) + " must be a tuple; got " + repr);
    return false;
  }
  if (PyTuple_GET_SIZE(item) < 2) {
    raise_value_error(term_prefix(i) + " tuple must have at least 2 elements");
    return false;
  }
  PyObject* name_o = PyTuple_GET_ITEM(item, 1);
  if (!PyUnicode_Check(name_o)) {
    raise_type_error("'" + type_name(name_o) + "' object cannot be converted to str");
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name_o, &size);
  if (utf8 == nullptr) return false;
  const std::string_view basis(utf8, static_cast<std::size_t>(size));
  if (basis == "te") return parse_tensor_term(item, i, out);
  return parse_univariate_term(item, i, basis, out);
}

// Items are read while the index is below both the list's current length and its length when
// parsing began: an element's index conversion may run Python code that mutates the list.
bool parse_terms(PyObject* list, std::vector<TermSpec>& out) {
  const Py_ssize_t initial = PyList_GET_SIZE(list);
  for (Py_ssize_t i = 0; i < initial && i < PyList_GET_SIZE(list); ++i) {
    PyObject* item = PyList_GET_ITEM(list, i);
    Py_INCREF(item);
    TermSpec spec{};
    const bool ok = parse_term(item, static_cast<std::size_t>(i), spec);
    Py_DECREF(item);
    if (!ok) return false;
    out.push_back(spec);
  }
  return true;
}

PyObject* fit_additive_impl(PyObject* args, PyObject* kwargs) {
  PyObject *family_o, *x_o, *y_o, *terms_o, *weights_o = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|O:fit_additive",
                                   const_cast<char**>(kFitAdditiveKeywords), &family_o, &x_o,
                                   &y_o, &terms_o, &weights_o))
    return nullptr;

  std::string_view family_name;
  MatrixBorrow x;
  Vec y;
  std::optional<Vec> weights;
  if (!convert_str(family_o, "family_name", family_name)) return nullptr;
  if (!borrow_matrix(x_o, "x", x)) return nullptr;
  if (!copy_vector(y_o, "y", y)) return nullptr;
  if (!PyList_Check(terms_o))
    return raise_type_error("argument 'terms': expected list, got " + type_name(terms_o));
  if (weights_o != Py_None) {
    weights.emplace();
    if (!copy_vector(weights_o, "weights", *weights)) return nullptr;
  }

  std::vector<TermSpec> terms;
  // Hold the list itself too: parsing runs Python code that could drop the last reference.
  Py_INCREF(terms_o);
  const bool parsed = parse_terms(terms_o, terms);
  Py_DECREF(terms_o);
  if (!parsed) return nullptr;
  if (terms.empty()) return raise_value_error("fit_additive: terms list must be non-empty");

  auto fitted = dispatch_fit_additive(family_name, terms, x.view(), std::move(y), std::move(weights));
  if (!fitted) return raise_core_error(fitted.error());
  return wrap_fitted_gam(std::move(*fitted));
}

PyObject* py_fit_additive(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return fit_additive_impl(args, kwargs); });
}

}  // namespace

PyMethodDef fit_additive_method_def() {
  return {"fit_additive",
          reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_fit_additive)),
          METH_VARARGS | METH_KEYWORDS, kFitAdditiveDoc};
}

}  // namespace vorel::py

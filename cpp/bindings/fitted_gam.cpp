#include "bindings/fitted_gam.h"

#include <memory>
#include <new>
#include <string>
#include <variant>

#include "bindings/convert.h"
#include "bindings/errors.h"
#include "bindings/numpy.h"
#include "fit/intervals.h"
#include "fit/persistence.h"
#include "fit/predict.h"
#include "util/format.h"


namespace vorel::py {

namespace {

// The record is shared and const: every method copies the pointer for the duration of its call
// (an atomic reader count) and nothing ever writes through it, so concurrent calls are safe.
struct FittedGamObject {
  PyObject_HEAD
  std::shared_ptr<const FittedGam> record;
};

PyTypeObject* g_type = nullptr;  // created once, lives for the process

std::shared_ptr<const FittedGam> record_of(PyObject* self) {
  return reinterpret_cast<FittedGamObject*>(self)->record;
}

void fitted_gam_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<FittedGamObject*>(self)->record.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

// --- properties -----------------------------------------------------------------------------

template <class Read>
PyObject* property(PyObject* self, Read&& read) {
  return guarded([&]() -> PyObject* { return read(*record_of(self)); });
}

PyObject* get_beta(PyObject* s, void*) {
  return property(s, [](const FittedGam& f) { return vector_to_numpy(f.beta); });
}
PyObject* get_rho(PyObject* s, void*) {
  return property(s, [](const FittedGam& f) { return vector_to_numpy(f.rho); });
}
PyObject* get_lambda(PyObject* s, void*) {
  return property(s, [](const FittedGam& f) { return vector_to_numpy(f.lambda); });
}
PyObject* get_edf_per_term(PyObject* s, void*) {
  return property(s, [](const FittedGam& f) { return vector_to_numpy(f.edf_per_term); });
}
PyObject* get_scale(PyObject* s, void*) {
  return property(s, [](const FittedGam& f) { return PyFloat_FromDouble(f.scale); });
}
PyObject* get_edf_total(PyObject* s, void*) {
  return property(s, [](const FittedGam& f) { return PyFloat_FromDouble(f.edf_total); });
}
PyObject* get_n(PyObject* s, void*) {
  return property(s, [](const FittedGam& f) { return PyLong_FromUnsignedLongLong(f.n); });
}
PyObject* get_n_iters(PyObject* s, void*) {
  return property(s, [](const FittedGam& f) { return PyLong_FromUnsignedLongLong(f.n_iters); });
}
PyObject* get_converged(PyObject* s, void*) {
  return property(s, [](const FittedGam& f) { return PyBool_FromLong(f.converged ? 1 : 0); });
}
PyObject* get_reml_value(PyObject* s, void*) {
  return property(s, [](const FittedGam& f) { return PyFloat_FromDouble(f.reml_value); });
}
PyObject* get_shape_params(PyObject* s, void*) {
  return property(s, [](const FittedGam& f) { return vector_to_numpy(f.shape_params); });
}

const char kRhoDoc[] =
    "Fitted log smoothing parameters `ρ` as a 1-D float64 array.\n\n"
    "Length 1 for single-smooth fits (`Cr` / `Re` / `CrStable`) and one per term for additive\n"
    "fits; with tensor terms the length is J, one per penalty (a tensor term has two).";
const char kLambdaDoc[] =
    "Fitted smoothing parameters `λ_j = exp(ρ_j)` per term.\n\n"
    "1-D float64 array of shape `(J,)`, in the order of `rho`.";
const char kEdfPerTermDoc[] =
    "Per-term effective degrees of freedom.\n\n"
    "1-D float64 array of shape `(J,)`, one entry per penalty; the entries sum to\n"
    "`edf_total - 1`, the intercept excluded.";
const char kShapeParamsDoc[] =
    "Family-specific fitted shape parameters as a 1-D float64 array.\n\n"
    "Empty for families without any (Gaussian, Bernoulli, Poisson, ...). For the ordered\n"
    "categorical family: the R - 2 log-gap thresholds θ_j, which map to the R + 1 category\n"
    "boundaries; [log σ², log(ν - 2)] for the scaled t family; [log θ] for the negative\n"
    "binomial; the fitted Tweedie pair for the Tweedie family.";

PyGetSetDef kProperties[] = {
    {"beta", get_beta, nullptr, nullptr, nullptr},
    {"rho", get_rho, nullptr, kRhoDoc, nullptr},
    {"lambda", get_lambda, nullptr, kLambdaDoc, nullptr},
    {"edf_per_term", get_edf_per_term, nullptr, kEdfPerTermDoc, nullptr},
    {"scale", get_scale, nullptr, nullptr, nullptr},
    {"edf_total", get_edf_total, nullptr, nullptr, nullptr},
    {"n", get_n, nullptr, nullptr, nullptr},
    {"n_iters", get_n_iters, nullptr, nullptr, nullptr},
    {"converged", get_converged, nullptr, nullptr, nullptr},
    {"reml_value", get_reml_value, nullptr, nullptr, nullptr},
    {"shape_params", get_shape_params, nullptr, kShapeParamsDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- methods --------------------------------------------------------------------------------

// (a, b, c) from three fresh arrays; the tuple takes over the references.
PyObject* new_triple(const WaldBand& band) {
  PyObject* t = PyTuple_New(3);
  if (t == nullptr) return nullptr;
  const Vec* parts[3] = {&band.mean, &band.lo, &band.hi};
  for (Py_ssize_t i = 0; i < 3; ++i) {
    PyObject* a = vector_to_numpy(*parts[i]);
    if (a == nullptr) {
      Py_DECREF(t);
      return nullptr;
    }
    PyTuple_SET_ITEM(t, i, a);
  }
  return t;
}

template <class T>
PyObject* or_raise(const Result<T>& r, PyObject* (*build)(const T&)) {
  if (!r) return raise_core_error(r.error());
  return build(*r);
}

template <class Body>
PyObject* method(PyObject* self, Body&& body) {
  return guarded([&]() -> PyObject* {
    const std::shared_ptr<const FittedGam> rec = record_of(self);
    return body(*rec);
  });
}

// Methods taking one array argument named x_new.
template <class Body>
PyObject* x_new_method(PyObject* self, PyObject* args, PyObject* kwargs, const char* format,
                       Body&& body) {
  return method(self, [&](const FittedGam& fit) -> PyObject* {
    static const char* keywords[] = {"x_new", nullptr};
    PyObject* x_o;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &x_o))
      return nullptr;
    MatrixBorrow x;
    if (!borrow_matrix(x_o, "x_new", x)) return nullptr;
    return body(fit, x.view());
  });
}

PyObject* m_vcov(PyObject* self, PyObject*) {
  return method(self, [](const FittedGam& f) { return matrix_to_numpy(f.vcov); });
}

PyObject* m_term_col_ranges(PyObject* self, PyObject*) {
  return method(self, [](const FittedGam& f) -> PyObject* {
    std::vector<std::pair<u64, u64>> ranges;
    if (const auto* add = std::get_if<AdditivePredictor>(&f.predictor.kind)) {
      ranges = add->term_col_ranges;
    } else {
      ranges.emplace_back(1, static_cast<u64>(f.beta.size()));
    }
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(ranges.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < ranges.size(); ++i) {
      PyObject* pair = Py_BuildValue("(KK)", static_cast<unsigned long long>(ranges[i].first),
                                     static_cast<unsigned long long>(ranges[i].second));
      if (pair == nullptr) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), pair);
    }
    return list;
  });
}

PyObject* m_evaluate_lpmatrix(PyObject* self, PyObject* args, PyObject* kwargs) {
  return x_new_method(self, args, kwargs, "O:evaluate_lpmatrix",
                      [](const FittedGam& f, const XView& x) {
                        return or_raise<Mat>(fitted_lpmatrix(f, x), matrix_to_numpy);
                      });
}

PyObject* m_predict(PyObject* self, PyObject* args, PyObject* kwargs) {
  return x_new_method(self, args, kwargs, "O:predict", [](const FittedGam& f, const XView& x) {
    return or_raise<Vec>(predict_eta(f, x), vector_to_numpy);
  });
}

PyObject* m_predict_response(PyObject* self, PyObject* args, PyObject* kwargs) {
  return x_new_method(self, args, kwargs, "O:predict_response",
                      [](const FittedGam& f, const XView& x) {
                        return or_raise<Vec>(predict_mu(f, x), vector_to_numpy);
                      });
}

PyObject* m_predict_ci(PyObject* self, PyObject* args, PyObject* kwargs) {
  return method(self, [&](const FittedGam& fit) -> PyObject* {
    static const char* keywords[] = {"x_new", "level", "scale", nullptr};
    PyObject *x_o, *level_o = nullptr, *scale_o = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:predict_ci",
                                     const_cast<char**>(keywords), &x_o, &level_o, &scale_o))
      return nullptr;
    MatrixBorrow x;
    double level = 0.95;
    std::string_view scale = "response";
    if (!borrow_matrix(x_o, "x_new", x)) return nullptr;
    if (level_o != nullptr && !convert_real(level_o, "level", level)) return nullptr;
    if (scale_o != nullptr && !convert_str(scale_o, "scale", scale)) return nullptr;
    CiScale which;
    if (scale == "link") {
      which = CiScale::Link;
    } else if (scale == "response") {
      which = CiScale::Response;
    } else {
      return raise_value_error("scale must be 'link' or 'response', got " + quote_name(scale));
    }
    return or_raise<WaldBand>(wald_prediction_band(fit, x.view(), level, which), new_triple);
  });
}

PyObject* m_predict_diff(PyObject* self, PyObject* args, PyObject* kwargs) {
  return method(self, [&](const FittedGam& fit) -> PyObject* {
    static const char* keywords[] = {"x_a", "x_b", "level", nullptr};
    PyObject *a_o, *b_o, *level_o = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:predict_diff",
                                     const_cast<char**>(keywords), &a_o, &b_o, &level_o))
      return nullptr;
    MatrixBorrow a, b;
    double level = 0.95;
    if (!borrow_matrix(a_o, "x_a", a) || !borrow_matrix(b_o, "x_b", b)) return nullptr;
    if (level_o != nullptr && !convert_real(level_o, "level", level)) return nullptr;
    return or_raise<WaldBand>(wald_contrast_band(fit, a.view(), b.view(), level), new_triple);
  });
}

// --- persistence ----------------------------------------------------------------------------

PyObject* frame_bytes(const FittedGam& fit) {
  auto frame = write_frame(fit);
  if (!frame) return raise_core_error(frame.error());
  return PyBytes_FromStringAndSize(frame->data(), static_cast<Py_ssize_t>(frame->size()));
}

PyObject* m_serialize(PyObject* self, PyObject*) {
  return method(self, [](const FittedGam& f) { return frame_bytes(f); });
}

PyObject* m_reduce(PyObject* self, PyObject*) {
  return method(self, [](const FittedGam& f) -> PyObject* {
    PyObject* frame = frame_bytes(f);
    if (frame == nullptr) return nullptr;
    PyObject* loader = PyObject_GetAttrString(reinterpret_cast<PyObject*>(g_type), "deserialize");
    if (loader == nullptr) {
      Py_DECREF(frame);
      return nullptr;
    }
    PyObject* out = Py_BuildValue("(N(N))", loader, frame);
    return out;
  });
}

// Called through the classmethod wrapper: args = (cls, bytes).
PyObject* m_deserialize(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"", "bytes", nullptr};
    PyObject *cls, *data;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:deserialize",
                                     const_cast<char**>(keywords), &cls, &data))
      return nullptr;
    if (!PyBytes_Check(data))
      return raise_type_error("argument 'bytes': expected bytes, got " + type_name(data));
    auto record = read_frame(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data)),
                             static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
    if (!record) return raise_core_error(record.error());
    return wrap_fitted_gam(std::move(*record));
  });
}

template <class F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int kArgs = METH_VARARGS | METH_KEYWORDS;

// Listed in the order the class shows them; deserialize is wrapped as a classmethod.
PyMethodDef kMethods[] = {
    {"vcov", as_cfunction(m_vcov), METH_NOARGS,
     "vcov($self, /)\n--\n\n"
     "Posterior covariance of β̂ — `σ̂² · A⁻¹`.\n\n"
     "A fresh p x p float64 array: the scale estimate times the inverse of the penalised\n"
     "Hessian at the optimum (unscaled when the scale is fixed at 1)."},
    {"term_col_ranges", as_cfunction(m_term_col_ranges), METH_NOARGS,
     "term_col_ranges($self, /)\n--\n\n"
     "Per-term column ranges into the lpmatrix `[1 | C_1 | C_2 | …]`.\n\n"
     "A list of `(first, last_exclusive)` pairs, one per term in term order (a tensor term has\n"
     "one pair although it has two penalties); a single-smooth fit gives `[(1, p)]`. The\n"
     "intercept always sits at column 0, outside any term range."},
    {"evaluate_lpmatrix", as_cfunction(m_evaluate_lpmatrix), kArgs,
     "evaluate_lpmatrix($self, /, x_new)\n--\n\n"
     "Rebuild the design matrix (lpmatrix) at new `x_new`.\n\n"
     "Returns an `(n_new, p)` float64 array: column 0 is the intercept and columns 1..p the\n"
     "per-term blocks (see `term_col_ranges`). Use it with the coefficients for partial or\n"
     "subset predictions, or with `vcov()` for posterior sampling."},
    {"predict", as_cfunction(m_predict), kArgs,
     "predict($self, /, x_new)\n--\n\n"
     "Predict η (linear predictor) on new x.\n\n"
     "`x_new` is a float64 array of shape `(n_new, n_input_dims)`; returns η = X β as an\n"
     "array of shape `(n_new,)`."},
    {"predict_response", as_cfunction(m_predict_response), kArgs,
     "predict_response($self, /, x_new)\n--\n\n"
     "Predict μ (response scale) by inverse-linking η elementwise."},
    {"predict_ci", as_cfunction(m_predict_ci), kArgs,
     "predict_ci($self, /, x_new, level=0.95, scale='response')\n--\n\n"
     "Wald-style CI for predictions at `x_new`.\n\n"
     "Returns `(mean, lo, hi)`, three float64 arrays of shape `(n_new,)`, from the posterior\n"
     "covariance and the two-sided normal critical value at `level`. `scale` accepts \"link\"\n"
     "(η) or \"response\" (μ, the bounds mapped through the inverse link)."},
    {"serialize", as_cfunction(m_serialize), METH_NOARGS,
     "serialize($self, /)\n--\n\n"
     "Serialize the fit to a length-framed binary buffer (magic + format version + payload\n"
     "length + JSON body).\n\n"
     "The fit round-trips bit for bit through `FittedGam.deserialize`; predictions are\n"
     "identical after a reload."},
    {"deserialize", as_cfunction(m_deserialize), kArgs,
     "deserialize(cls, /, bytes)\n--\n\n"
     "Classmethod: rebuild a :class:`FittedGam` from the bytes produced by `serialize`.\n\n"
     "Raises ValueError on a bad magic, an unsupported version, a truncated body or\n"
     "unparseable JSON."},
    {"__reduce__", as_cfunction(m_reduce), METH_NOARGS,
     "__reduce__($self, /)\n--\n\n"
     "Pickle support: `pickle.dumps(fit)` and `pickle.loads(...)` work by routing through\n"
     "`serialize` and `FittedGam.deserialize`, so the pickle stream carries the same compact\n"
     "binary frame."},
    {"predict_diff", as_cfunction(m_predict_diff), kArgs,
     "predict_diff($self, /, x_a, x_b, level=0.95)\n--\n\n"
     "Wald CI for the contrast `Δ = predict(x_a) - predict(x_b)`.\n\n"
     "Returns `(diff, lo, hi)` on the η (link) scale. When one of the arrays has a single row\n"
     "it is broadcast against every row of the other; otherwise the row counts must match."},
    {nullptr, nullptr, 0, nullptr},
};

const char kClassDoc[] =
    "A fitted generalized additive model.\n\n"
    "Returned by `fit` and `fit_additive` (and `FittedGam.deserialize`); there is no public\n"
    "constructor. The object is immutable: properties return fresh copies, and the methods\n"
    "predict on new data, give Wald intervals and serialize the fit.";

bool add_methods(PyTypeObject* type) {
  for (PyMethodDef* def = kMethods; def->ml_name != nullptr; ++def) {
    PyObject* descr = nullptr;
    if (std::string_view(def->ml_name) == "deserialize") {
      PyObject* fn = PyCFunction_NewEx(def, nullptr, nullptr);
      if (fn == nullptr) return false;
      descr = PyClassMethod_New(fn);
      Py_DECREF(fn);
    } else {
      descr = PyDescr_NewMethod(type, def);
    }
    if (descr == nullptr) return false;
    const int rc = PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), def->ml_name, descr);
    Py_DECREF(descr);
    if (rc < 0) return false;
  }
  return true;
}

}  // namespace

bool init_fitted_gam_type(PyObject* module) {
  if (g_type == nullptr) {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(fitted_gam_dealloc)},
        {Py_tp_getset, kProperties},
        {Py_tp_doc, const_cast<char*>(kClassDoc)},
        {0, nullptr},
    };
    PyType_Spec spec = {"vorel._vorel_native.FittedGam",
                        static_cast<int>(sizeof(FittedGamObject)), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) return false;
    if (!add_methods(reinterpret_cast<PyTypeObject*>(type))) {
      Py_DECREF(type);
      return false;
    }
    g_type = reinterpret_cast<PyTypeObject*>(type);
  }
  Py_INCREF(g_type);
  if (PyModule_AddObject(module, "FittedGam", reinterpret_cast<PyObject*>(g_type)) < 0) {
    Py_DECREF(g_type);
    return false;
  }
  return true;
}

PyObject* wrap_fitted_gam(FittedGam&& record) {
  if (g_type == nullptr) return raise_internal("FittedGam type used before module initialisation");
  auto shared = std::make_shared<const FittedGam>(std::move(record));
  PyObject* obj = g_type->tp_alloc(g_type, 0);
  if (obj == nullptr) return nullptr;
  new (&reinterpret_cast<FittedGamObject*>(obj)->record)
      std::shared_ptr<const FittedGam>(std::move(shared));
  return obj;
}

}  // namespace vorel::py

// Bases and designs, exposed to pytest. Predictors cross as plain dicts so that tests can build
// corrupted ones freely.
#include <nanobind/ndarray.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "basis/cr_spline.h"
#include "design/additive.h"
#include "design/cr.h"
#include "design/cr_stable.h"
#include "design/finite.h"
#include "design/penalty_rank.h"
#include "design/predictor.h"
#include "design/re.h"
#include "design/tensor.h"
#include "testing/registry.h"
#include "util/format.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace vorel::testing {

namespace {

using In2 = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;
using In1 = nb::ndarray<const double, nb::ndim<1>, nb::device::cpu>;
using Out = nb::ndarray<nb::numpy, double>;

[[noreturn]] void raise(const VorelError& e) {
  if (e.kind == ErrorKind::InvalidParameter) throw nb::value_error(e.message.c_str());
  throw std::runtime_error(to_string(e));
}

template <class T>
T unwrap(Result<T> r) {
  if (!r) raise(r.error());
  return std::move(*r);
}

XView view(const In2& a) {
  return XView{a.data(), a.shape(0), a.shape(1), static_cast<std::ptrdiff_t>(a.stride(0)),
               static_cast<std::ptrdiff_t>(a.stride(1))};
}

Vec vec(const In1& a) {
  Vec v(static_cast<Eigen::Index>(a.shape(0)));
  for (std::size_t i = 0; i < a.shape(0); ++i) v[static_cast<Eigen::Index>(i)] = a(i);
  return v;
}

Mat mat(const In2& a) {
  Mat m(static_cast<Eigen::Index>(a.shape(0)), static_cast<Eigen::Index>(a.shape(1)));
  for (std::size_t i = 0; i < a.shape(0); ++i)
    for (std::size_t j = 0; j < a.shape(1); ++j) m(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)) = a(i, j);
  return m;
}

Out out_mat(const Mat& m) {
  auto* buf = new double[static_cast<std::size_t>(std::max<Eigen::Index>(m.size(), 1))];
  Eigen::Map<RowMat>(buf, m.rows(), m.cols()) = m;
  nb::capsule owner(buf, [](void* p) noexcept { delete[] static_cast<double*>(p); });
  return Out(buf, {static_cast<std::size_t>(m.rows()), static_cast<std::size_t>(m.cols())}, owner);
}

Out out_vec(const Vec& v) {
  auto* buf = new double[static_cast<std::size_t>(std::max<Eigen::Index>(v.size(), 1))];
  for (Eigen::Index i = 0; i < v.size(); ++i) buf[i] = v[i];
  nb::capsule owner(buf, [](void* p) noexcept { delete[] static_cast<double*>(p); });
  return Out(buf, {static_cast<std::size_t>(v.size())}, owner);
}

// Python dict/array -> core values (any numeric sequence goes through numpy).
nb::object np() { return nb::module_::import_("numpy"); }
Vec vec_of(nb::handle o) { return vec(nb::cast<In1>(np().attr("ascontiguousarray")(o, "dtype"_a = "float64"))); }
Mat mat_of(nb::handle o) {
  nb::object a = np().attr("array")(o, "dtype"_a = "float64", "ndmin"_a = 2);
  return mat(nb::cast<In2>(a));
}

nb::dict to_dict(const Predictor& p);
Predictor from_dict(nb::dict d);

nb::dict to_dict(const Predictor& p) {
  nb::dict d;
  std::visit(
      [&](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, CrPredictor>) {
          d["kind"] = "cr";
          d["knots"] = out_vec(v.knots);
          d["centring"] = out_mat(v.centring);
        } else if constexpr (std::is_same_v<T, RePredictor>) {
          d["kind"] = "re";
          d["levels"] = v.levels;
        } else if constexpr (std::is_same_v<T, CrStablePredictor>) {
          d["kind"] = "cr_stable";
          d["knots"] = out_vec(v.knots);
          d["centring"] = out_mat(v.centring);
          d["reparam_v"] = out_mat(v.reparam_v);
        } else if constexpr (std::is_same_v<T, TensorPredictor>) {
          d["kind"] = "tensor";
          d["col_a"] = v.col_a;
          d["col_b"] = v.col_b;
          d["bs_a"] = v.bs_a;
          d["bs_b"] = v.bs_b;
          d["knots_a"] = out_vec(v.knots_a);
          d["knots_b"] = out_vec(v.knots_b);
          d["xp_a"] = out_mat(v.xp_a);
          d["xp_b"] = out_mat(v.xp_b);
          d["centring"] = out_mat(v.centring);
        } else {
          d["kind"] = "additive";
          nb::list terms;
          for (const Predictor& t : v.term_predictors) terms.append(to_dict(t));
          d["term_predictors"] = terms;
          d["cols_used"] = v.cols_used;
          d["term_col_ranges"] = v.term_col_ranges;
        }
      },
      p.kind);
  return d;
}

// Empty sequences become 0 x 0 matrices / empty vectors, so tests can blank any field.
Mat mat_field(nb::dict d, const char* key) {
  nb::object o = d[key];
  if (nb::len(np().attr("asarray")(o)) == 0) return Mat(0, 0);
  return mat_of(o);
}

Predictor from_dict(nb::dict d) {
  std::string kind = nb::cast<std::string>(d["kind"]);
  if (kind == "cr") return Predictor{CrPredictor{vec_of(d["knots"]), mat_field(d, "centring")}};
  if (kind == "re") return Predictor{RePredictor{nb::cast<std::vector<double>>(d["levels"])}};
  if (kind == "cr_stable")
    return Predictor{CrStablePredictor{vec_of(d["knots"]), mat_field(d, "centring"), mat_field(d, "reparam_v")}};
  if (kind == "tensor") {
    TensorPredictor t;
    t.col_a = nb::cast<u64>(d["col_a"]);
    t.col_b = nb::cast<u64>(d["col_b"]);
    t.bs_a = nb::cast<std::string>(d["bs_a"]);
    t.bs_b = nb::cast<std::string>(d["bs_b"]);
    t.knots_a = vec_of(d["knots_a"]);
    t.knots_b = vec_of(d["knots_b"]);
    t.xp_a = mat_field(d, "xp_a");
    t.xp_b = mat_field(d, "xp_b");
    t.centring = mat_field(d, "centring");
    return Predictor{std::move(t)};
  }
  if (kind == "additive") {
    AdditivePredictor a;
    for (nb::handle t : nb::cast<nb::list>(d["term_predictors"])) a.term_predictors.push_back(from_dict(nb::cast<nb::dict>(t)));
    a.cols_used = nb::cast<std::vector<std::vector<u64>>>(d["cols_used"]);
    a.term_col_ranges = nb::cast<std::vector<std::pair<u64, u64>>>(d["term_col_ranges"]);
    return Predictor{std::move(a)};
  }
  throw nb::value_error(("unknown predictor kind " + kind).c_str());
}

nb::dict design_dict(const Design& d) {
  nb::dict out;
  out["predictor"] = to_dict(d.predictor);
  nb::list pens, spans;
  for (const Mat& s : d.penalties) pens.append(out_mat(s));
  for (const PenaltySpan& s : d.penalty_spans) spans.append(nb::make_tuple(s.first, s.width));
  out["penalties"] = pens;
  out["penalty_ranks"] = d.penalty_ranks;
  out["penalty_log_dets"] = d.penalty_log_dets;
  out["x"] = out_mat(d.x);
  out["null_space_dim"] = d.null_space_dim;
  out["penalty_spans"] = spans;
  return out;
}

// ("cr", col, k) | ("cr_stable", col, k) | ("re", col) | ("te", col_a, col_b, k_a, k_b)
TermSpec term_of(nb::tuple t) {
  std::string kind = nb::cast<std::string>(t[0]);
  TermSpec s{};
  if (kind == "te") {
    s.kind = TermSpec::Kind::Te;
    s.col_a = nb::cast<u64>(t[1]);
    s.col_b = nb::cast<u64>(t[2]);
    s.k_a = nb::cast<u64>(t[3]);
    s.k_b = nb::cast<u64>(t[4]);
    return s;
  }
  s.kind = kind == "cr" ? TermSpec::Kind::Cr : kind == "cr_stable" ? TermSpec::Kind::CrStable : TermSpec::Kind::Re;
  if (kind != "cr" && kind != "cr_stable" && kind != "re") throw nb::value_error("unknown term kind");
  s.col = nb::cast<u64>(t[1]);
  if (nb::len(t) > 2) s.k = nb::cast<u64>(t[2]);
  return s;
}

}  // namespace

void register_basis(nb::module_& m) {
  m.def("place_knots", [](In1 v, u64 k) { return out_vec(unwrap(place_knots(vec(v), k))); });
  m.def("validate_knots", [](In1 v) {
    auto r = validate_knots(vec(v));
    if (!r) raise(r.error());
  });
  m.def("cr_basis", [](In1 knots, In2 x, u64 col) {
    Vec kn = vec(knots);
    auto r = validate_knots(kn);
    if (!r) raise(r.error());
    return out_mat(cr_basis(kn, view(x), col));
  });
  m.def("cr_penalty", [](In1 knots) { return out_mat(cr_penalty(vec(knots))); });
  m.def("cr_penalty_scale", [](double norm, In2 s) { return cr_penalty_scale(norm, mat(s)); });
  m.def("sum_to_zero_null_space", [](In1 c) { return out_mat(sum_to_zero_null_space(vec(c))); });
  m.def("penalty_rank_log_det", [](In2 s) {
    auto r = unwrap(penalty_rank_log_det(mat(s)));
    return nb::make_tuple(r.rank, r.log_det);
  });
  m.def("stable_reparam", [](In2 p, u64 mm) {
    auto r = unwrap(StableReparam::create(mat(p), mm));
    return nb::make_tuple(out_vec(r.eigenvalues), out_mat(r.v));
  });
  m.def("build_cr_term", [](In2 x, u64 col, u64 k) {
    auto t = unwrap(build_cr_term(view(x), col, k));
    nb::dict d;
    d["knots"] = out_vec(t.knots);
    d["centring"] = out_mat(t.centring);
    d["x_block"] = out_mat(t.x_block);
    d["penalty"] = out_mat(t.penalty);
    return d;
  });
  m.def("build_cr_stable_term", [](In2 x, u64 col, u64 k) {
    auto t = unwrap(build_cr_stable_term(view(x), col, k));
    nb::dict d;
    d["knots"] = out_vec(t.knots);
    d["centring"] = out_mat(t.centring);
    d["reparam_v"] = out_mat(t.reparam_v);
    d["x_block"] = out_mat(t.x_block);
    d["penalty"] = out_mat(t.penalty);
    return d;
  });
  m.def("build_re_term", [](In2 x, u64 col) {
    auto t = unwrap(build_re_term(view(x), col));
    nb::dict d;
    d["levels"] = t.levels;
    d["x_block"] = out_mat(t.x_block);
    d["penalty"] = out_mat(t.penalty);
    return d;
  });
  m.def("re_indicator", [](std::vector<double> levels, In2 x, u64 col) {
    return out_mat(re_indicator(levels, view(x), col));
  });
  m.def("build_tensor_term", [](In2 x, u64 ca, u64 cb, u64 ka, u64 kb) {
    auto t = unwrap(build_tensor_term(view(x), ca, cb, ka, kb));
    nb::dict d = to_dict(Predictor{t.predictor});
    d["x_block"] = out_mat(t.x_block);
    nb::list pens;
    for (const Mat& s : t.penalties) pens.append(out_mat(s));
    d["penalties"] = pens;
    return d;
  });
  m.def("row_kronecker", [](In2 a, In2 b) { return out_mat(row_kronecker(mat(a), mat(b))); });
  m.def("rescale_by_max_eigenvalue", [](In2 s) { return out_mat(unwrap(rescale_by_max_eigenvalue(mat(s)))); });
  m.def("build_cr_design", [](In2 x, u64 k) { return design_dict(unwrap(build_cr_design(view(x), k))); });
  m.def("build_cr_stable_design", [](In2 x, u64 k) { return design_dict(unwrap(build_cr_stable_design(view(x), k))); });
  m.def("build_re_design", [](In2 x) { return design_dict(unwrap(build_re_design(view(x)))); });
  m.def("build_additive_design", [](nb::list terms, In2 x) {
    std::vector<TermSpec> specs;
    for (nb::handle t : terms) specs.push_back(term_of(nb::cast<nb::tuple>(t)));
    return design_dict(unwrap(build_additive_design(specs, view(x))));
  });
  m.def("predictor_design", [](nb::dict pred, In2 x) { return out_mat(unwrap(predictor_design(from_dict(pred), view(x)))); });
  m.def("predictor_width", [](nb::dict pred) { return unwrap(predictor_width(from_dict(pred))); });
  m.def("check_finite_columns", [](In2 x, std::vector<u64> cols) {
    auto r = check_finite_columns(view(x), cols);
    if (!r) raise(r.error());
  });
}

}  // namespace vorel::testing

// The frame writer and reader, exposed to pytest with records that cross as plain dicts, so
// tests can build records no fit would produce (extreme floats, NaN, every predictor kind,
// inconsistent shapes).
#include <nanobind/ndarray.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "fit/persistence.h"
#include "testing/registry.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace vorel::testing {

namespace {

using In1 = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using In2 = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Out = nb::ndarray<nb::numpy, double>;

nb::object numpy() { return nb::module_::import_("numpy"); }

Vec vec_of(nb::handle o) {
  auto a = nb::cast<In1>(numpy().attr("ascontiguousarray")(o, "dtype"_a = "float64"));
  Vec v(static_cast<Eigen::Index>(a.shape(0)));
  for (std::size_t i = 0; i < a.shape(0); ++i) v[static_cast<Eigen::Index>(i)] = a(i);
  return v;
}

// A 2-D array-like (row-major values, any shape including 0 x k).
Mat mat_of(nb::handle o) {
  auto a = nb::cast<In2>(numpy().attr("ascontiguousarray")(o, "dtype"_a = "float64"));
  Mat m(static_cast<Eigen::Index>(a.shape(0)), static_cast<Eigen::Index>(a.shape(1)));
  for (std::size_t i = 0; i < a.shape(0); ++i)
    for (std::size_t j = 0; j < a.shape(1); ++j) m(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)) = a(i, j);
  return m;
}

Out out_vec(const Vec& v) {
  auto* buf = new double[static_cast<std::size_t>(std::max<Eigen::Index>(v.size(), 1))];
  for (Eigen::Index i = 0; i < v.size(); ++i) buf[i] = v[i];
  nb::capsule owner(buf, [](void* p) noexcept { delete[] static_cast<double*>(p); });
  return Out(buf, {static_cast<std::size_t>(v.size())}, owner);
}

Out out_mat(const Mat& m) {
  auto* buf = new double[static_cast<std::size_t>(std::max<Eigen::Index>(m.size(), 1))];
  Eigen::Map<RowMat>(buf, m.rows(), m.cols()) = m;
  nb::capsule owner(buf, [](void* p) noexcept { delete[] static_cast<double*>(p); });
  return Out(buf, {static_cast<std::size_t>(m.rows()), static_cast<std::size_t>(m.cols())}, owner);
}

Predictor predictor_of(nb::dict d) {
  const auto kind = nb::cast<std::string>(d["kind"]);
  if (kind == "cr") return Predictor{CrPredictor{vec_of(d["knots"]), mat_of(d["centring"])}};
  if (kind == "re") return Predictor{RePredictor{nb::cast<std::vector<double>>(d["levels"])}};
  if (kind == "cr_stable")
    return Predictor{CrStablePredictor{vec_of(d["knots"]), mat_of(d["centring"]), mat_of(d["reparam_v"])}};
  if (kind == "tensor") {
    TensorPredictor t;
    t.col_a = nb::cast<u64>(d["col_a"]);
    t.col_b = nb::cast<u64>(d["col_b"]);
    if (d.contains("bs_a")) t.bs_a = nb::cast<std::string>(d["bs_a"]);
    if (d.contains("bs_b")) t.bs_b = nb::cast<std::string>(d["bs_b"]);
    t.knots_a = vec_of(d["knots_a"]);
    t.knots_b = vec_of(d["knots_b"]);
    t.xp_a = mat_of(d["xp_a"]);
    t.xp_b = mat_of(d["xp_b"]);
    t.centring = mat_of(d["centring"]);
    return Predictor{std::move(t)};
  }
  if (kind == "additive") {
    AdditivePredictor a;
    for (nb::handle t : nb::cast<nb::list>(d["term_predictors"])) a.term_predictors.push_back(predictor_of(nb::cast<nb::dict>(t)));
    a.cols_used = nb::cast<std::vector<std::vector<u64>>>(d["cols_used"]);
    a.term_col_ranges = nb::cast<std::vector<std::pair<u64, u64>>>(d["term_col_ranges"]);
    return Predictor{std::move(a)};
  }
  throw nb::value_error(("unknown predictor kind " + kind).c_str());
}

nb::dict predictor_dict(const Predictor& p) {
  nb::dict d;
  std::visit(
      [&](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, CrPredictor>) {
          d["kind"] = "cr"; d["knots"] = out_vec(v.knots), d["centring"] = out_mat(v.centring);
        } else if constexpr (std::is_same_v<T, RePredictor>) {
          d["kind"] = "re"; d["levels"] = v.levels;
        } else if constexpr (std::is_same_v<T, CrStablePredictor>) {
          d["kind"] = "cr_stable"; d["knots"] = out_vec(v.knots), d["centring"] = out_mat(v.centring);
          d["reparam_v"] = out_mat(v.reparam_v);
        } else if constexpr (std::is_same_v<T, TensorPredictor>) {
          d["kind"] = "tensor"; d["col_a"] = v.col_a, d["col_b"] = v.col_b, d["bs_a"] = v.bs_a, d["bs_b"] = v.bs_b;
          d["knots_a"] = out_vec(v.knots_a), d["knots_b"] = out_vec(v.knots_b);
          d["xp_a"] = out_mat(v.xp_a), d["xp_b"] = out_mat(v.xp_b), d["centring"] = out_mat(v.centring);
        } else {
          nb::list terms;
          for (const Predictor& t : v.term_predictors) terms.append(predictor_dict(t));
          d["kind"] = "additive"; d["term_predictors"] = terms, d["cols_used"] = v.cols_used;
          d["term_col_ranges"] = v.term_col_ranges;
        }
      },
      p.kind);
  return d;
}

const char* kLinks[] = {"Identity", "Log", "Logit"};

FittedGam record_of(nb::dict d) {
  FittedGam r;
  r.beta = vec_of(d["beta"]);
  r.rho = vec_of(d["rho"]);
  r.lambda = vec_of(d["lambda"]);
  r.scale = nb::cast<double>(d["scale"]);
  r.edf_total = nb::cast<double>(d["edf_total"]);
  r.edf_per_term = vec_of(d["edf_per_term"]);
  r.n = nb::cast<u64>(d["n"]);
  r.n_iters = nb::cast<u64>(d["n_iters"]);
  r.converged = nb::cast<bool>(d["converged"]);
  r.reml_value = nb::cast<double>(d["reml_value"]);
  r.predictor = predictor_of(nb::cast<nb::dict>(d["predictor"]));
  r.vcov = mat_of(d["vcov"]);
  const auto link = nb::cast<std::string>(d["link_kind"]);
  r.link_kind = link == "Log" ? LinkKind::Log : link == "Logit" ? LinkKind::Logit : LinkKind::Identity;
  r.shape_params = vec_of(d["shape_params"]);
  return r;
}

nb::dict record_dict(const FittedGam& r) {
  nb::dict d;
  d["beta"] = out_vec(r.beta), d["rho"] = out_vec(r.rho), d["lambda"] = out_vec(r.lambda);
  d["scale"] = r.scale, d["edf_total"] = r.edf_total, d["edf_per_term"] = out_vec(r.edf_per_term);
  d["n"] = r.n, d["n_iters"] = r.n_iters, d["converged"] = r.converged, d["reml_value"] = r.reml_value;
  d["predictor"] = predictor_dict(r.predictor), d["vcov"] = out_mat(r.vcov);
  d["link_kind"] = kLinks[static_cast<int>(r.link_kind)], d["shape_params"] = out_vec(r.shape_params);
  return d;
}

[[noreturn]] void raise(const VorelError& e) {
  if (e.kind == ErrorKind::InvalidParameter) throw nb::value_error(e.message.c_str());
  throw std::runtime_error(to_string(e));
}

}  // namespace

void register_persistence(nb::module_& m) {
  m.def("write_frame", [](nb::dict record) {
    auto frame = write_frame(record_of(record));
    if (!frame) raise(frame.error());
    return nb::bytes(frame->data(), frame->size());
  });
  m.def("read_frame", [](nb::bytes frame) {
    auto r = read_frame(static_cast<const std::uint8_t*>(frame.data()), frame.size());
    if (!r) raise(r.error());
    return record_dict(*r);
  });
}

}  // namespace vorel::testing

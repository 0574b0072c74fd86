// Frame reader: header checks in their fixed order, a strict parse of the body into a compact
// tree, a schema decode of the tree into a record, then the shape checks that make the record
// safe to use.
#include <array>
#include <cmath>
#include <limits>
#include <string_view>

#include "fit/persistence.h"
#include "fit/persistence_json.h"
#include "util/format.h"

namespace vorel {

namespace {

using json_tree::Container;
using json_tree::Node;
using json_tree::Tree;
using json_tree::Type;

// Axis lengths beyond this cannot come from a real fit (its JSON text alone would run to
// gigabytes); the bound keeps every later rows * cols and Eigen index far from overflow, also
// for zero-size arrays whose other axis would otherwise be unconstrained.
constexpr u64 kMaxAxis = 0xFFFFFFFFull;

struct DecodeError {
  std::size_t pos;
  std::string reason;
};
template <class T>
using Decoded = std::expected<T, DecodeError>;

std::unexpected<DecodeError> bad(const Node& at, std::string reason) {
  return std::unexpected(DecodeError{at.pos(), std::move(reason)});
}

const char* type_name(Type t) {
  switch (t) {
    case Type::Null: return "null";
    case Type::False:
    case Type::True: return "a boolean";
    case Type::Uint:
    case Type::NegInt:
    case Type::Real: return "a number";
    case Type::String: return "a string";
    case Type::Array: return "an array";
    case Type::Object: return "an object";
  }
  return "a value";
}

std::string dims_text(const std::vector<u64>& d) {
  std::string s = "[";
  for (std::size_t i = 0; i < d.size(); ++i) s += (i ? "," : "") + fmt_u64(d[i]);
  return s + "]";
}

template <std::size_t N>
using Names = std::array<std::string_view, N>;

class Decoder {
 public:
  explicit Decoder(const Tree& t) : t_(t) {}

  Decoded<FittedGam> record(const Node& root) {
    static constexpr Names<14> names = {"beta", "rho", "lambda", "scale", "edf_total",
                                        "edf_per_term", "n", "n_iters", "converged", "reml_value",
                                        "predictor", "vcov", "link_kind", "shape_params"};
    VOREL_TRY(const Container* obj, object(root, "top level"));
    auto f = members(*obj, names);
    for (std::size_t i = 0; i + 1 < names.size(); ++i)  // shape_params (last) is optional
      if (f[i] == nullptr)
        return bad_end(*obj, "missing key " + quote_name(names[i]));
    FittedGam r;
    VOREL_TRY(r.beta, vec(*f[0], "beta"));
    VOREL_TRY(r.rho, vec(*f[1], "rho"));
    VOREL_TRY(r.lambda, vec(*f[2], "lambda"));
    VOREL_TRY(r.scale, real(*f[3], "scale"));
    VOREL_TRY(r.edf_total, real(*f[4], "edf_total"));
    VOREL_TRY(r.edf_per_term, vec(*f[5], "edf_per_term"));
    VOREL_TRY(r.n, uint(*f[6], "n"));
    VOREL_TRY(r.n_iters, uint(*f[7], "n_iters"));
    VOREL_TRY(r.converged, boolean(*f[8], "converged"));
    VOREL_TRY(r.reml_value, real(*f[9], "reml_value"));
    VOREL_TRY(r.predictor, predictor(*f[10], "predictor", 0));
    VOREL_TRY(r.vcov, mat(*f[11], "vcov"));
    VOREL_TRY(r.link_kind, link(*f[12]));
    if (f[13] != nullptr) {
      VOREL_TRY(r.shape_params, vec(*f[13], "shape_params"));
    }
    return r;
  }

 private:
  std::unexpected<DecodeError> bad_end(const Container& c, std::string reason) {
    return std::unexpected(DecodeError{c.end_pos, std::move(reason)});
  }

  const Node& item(const Container& c, std::size_t i) const { return t_.item(c, i); }

  // The member named names[i] for each i, or nullptr; other keys are left alone (skipped).
  template <std::size_t N>
  std::array<const Node*, N> members(const Container& c, const Names<N>& names) const {
    std::array<const Node*, N> out{};
    for (std::size_t m = 0; m < c.count; ++m) {
      const std::string& k = t_.key(c, m);
      for (std::size_t i = 0; i < N; ++i)
        if (k == names[i]) out[i] = &item(c, m);
    }
    return out;
  }

  Decoded<const Container*> object(const Node& n, const std::string& what) {
    if (n.type() != Type::Object) return bad(n, what + ": expected an object, got " + type_name(n.type()));
    return &t_.container(n);
  }

  Decoded<const Container*> array(const Node& n, const std::string& what) {
    if (n.type() != Type::Array) return bad(n, what + ": expected an array, got " + type_name(n.type()));
    return &t_.container(n);
  }

  // Any JSON number; null stands for the NaN or infinity the writer could not spell.
  Decoded<double> real(const Node& n, const std::string& what) {
    switch (n.type()) {
      case Type::Null: return std::numeric_limits<double>::quiet_NaN();
      case Type::Real: return n.real;
      case Type::Uint: return static_cast<double>(n.uint);
      case Type::NegInt: return n.sint == 0 ? -0.0 : static_cast<double>(n.sint);
      default: return bad(n, what + ": expected a number, got " + type_name(n.type()));
    }
  }

  Decoded<u64> uint(const Node& n, const std::string& what) {
    if (n.type() == Type::Uint) return n.uint;
    if (n.type() == Type::NegInt && n.sint == 0) return u64{0};
    if (n.type() == Type::NegInt || n.type() == Type::Real)
      return bad(n, what + ": expected a non-negative integer that fits in 64 bits");
    return bad(n, what + ": expected an unsigned integer, got " + type_name(n.type()));
  }

  Decoded<bool> boolean(const Node& n, const std::string& what) {
    if (n.type() == Type::True) return true;
    if (n.type() == Type::False) return false;
    return bad(n, what + ": expected true or false, got " + type_name(n.type()));
  }

  Decoded<const std::string*> string(const Node& n, const std::string& what) {
    if (n.type() != Type::String) return bad(n, what + ": expected a string, got " + type_name(n.type()));
    return &t_.string(n.index);
  }

  Decoded<LinkKind> link(const Node& n) {
    VOREL_TRY(const std::string* s, string(n, "link_kind"));
    if (*s == "Identity") return LinkKind::Identity;
    if (*s == "Log") return LinkKind::Log;
    if (*s == "Logit") return LinkKind::Logit;
    return bad(n, "link_kind: unknown link " + quote_name(*s) + " (expected \"Identity\", \"Log\" or \"Logit\")");
  }

  Decoded<std::vector<u64>> uint_list(const Node& n, const std::string& what) {
    VOREL_TRY(const Container* a, array(n, what));
    std::vector<u64> out(a->count);
    for (std::size_t i = 0; i < out.size(); ++i) {
      VOREL_TRY(out[i], uint(item(*a, i), what + "[" + fmt_u64(i) + "]"));
    }
    return out;
  }

  Decoded<std::vector<double>> real_list(const Node& n, const std::string& what) {
    VOREL_TRY(const Container* a, array(n, what));
    std::vector<double> out(a->count);
    for (std::size_t i = 0; i < out.size(); ++i) {
      VOREL_TRY(out[i], real(item(*a, i), what + "[" + fmt_u64(i) + "]"));
    }
    return out;
  }

  // An array object {"v":1,"dim":[...],"data":[...]} of the given rank: its dims and the
  // tree node of "data", whose length is checked against the dims before anything is sized.
  struct ArrayObject {
    std::vector<u64> dim;
    const Container* data;
  };

  Decoded<ArrayObject> array_object(const Node& n, const std::string& what, std::size_t rank) {
    static constexpr Names<3> names = {"v", "dim", "data"};
    VOREL_TRY(const Container* obj, object(n, what));
    for (std::size_t m = 0; m < obj->count; ++m) {
      const std::string& k = t_.key(*obj, m);
      if (k != "v" && k != "dim" && k != "data")
        return bad(item(*obj, m), what + ": unknown key " + quote_name(k) +
                                      " in an array object (only \"v\", \"dim\" and \"data\")");
    }
    auto f = members(*obj, names);
    for (std::size_t i = 0; i < names.size(); ++i)
      if (f[i] == nullptr) return bad_end(*obj, what + ": array object lacks " + quote_name(names[i]));
    VOREL_TRY(u64 v, uint(*f[0], what + ".v"));
    if (v != 1) return bad(*f[0], what + ": array format \"v\" must be 1; got v=" + fmt_u64(v));
    ArrayObject out;
    VOREL_TRY(out.dim, uint_list(*f[1], what + ".dim"));
    if (out.dim.size() != rank)
      return bad(*f[1], what + ": \"dim\" must list " + fmt_u64(rank) + (rank == 1 ? " axis length" : " axis lengths") +
                            "; got " + dims_text(out.dim));
    u64 count = 1;
    for (u64 d : out.dim) {
      if (d > kMaxAxis)
        return bad(*f[1], what + ": axis length " + fmt_u64(d) + " exceeds " + fmt_u64(kMaxAxis));
      if (__builtin_mul_overflow(count, d, &count))
        return bad(*f[1], what + ": \"dim\" " + dims_text(out.dim) + " holds more elements than fit in 64 bits");
    }
    VOREL_TRY(out.data, array(*f[2], what + ".data"));
    if (out.data->count != count)
      return bad(*f[2], what + ": \"data\" has " + fmt_u64(out.data->count) + " elements but \"dim\" " +
                            dims_text(out.dim) + " needs " + fmt_u64(count));
    return out;
  }

  Decoded<Vec> vec(const Node& n, const std::string& what) {
    VOREL_TRY(ArrayObject a, array_object(n, what, 1));
    Vec out(static_cast<Eigen::Index>(a.dim[0]));
    for (std::size_t i = 0; i < a.data->count; ++i) {
      VOREL_TRY(out[static_cast<Eigen::Index>(i)], real(item(*a.data, i), what + ".data[" + fmt_u64(i) + "]"));
    }
    return out;
  }

  // Data arrive row-major; the record's matrices are column-major.
  Decoded<Mat> mat(const Node& n, const std::string& what) {
    VOREL_TRY(ArrayObject a, array_object(n, what, 2));
    const auto rows = static_cast<Eigen::Index>(a.dim[0]);
    const auto cols = static_cast<Eigen::Index>(a.dim[1]);
    Mat out(rows, cols);
    std::size_t k = 0;
    for (Eigen::Index i = 0; i < rows; ++i)
      for (Eigen::Index j = 0; j < cols; ++j, ++k) {
        VOREL_TRY(out(i, j), real(item(*a.data, k), what + ".data[" + fmt_u64(k) + "]"));
      }
    return out;
  }

  // --- predictors ------------------------------------------------------------------------

  template <std::size_t N>
  Decoded<std::array<const Node*, N>> kind_members(const Container& obj, const Names<N>& names,
                                                   std::string_view kind, const std::string& what) {
    auto f = members(obj, names);
    for (std::size_t i = 0; i < N; ++i)
      if (f[i] == nullptr)
        return bad_end(obj, what + ": predictor of kind " + quote_name(kind) + " lacks key " + quote_name(names[i]));
    return f;
  }

  Decoded<Predictor> predictor(const Node& n, const std::string& what, int depth) {
    VOREL_TRY(const Container* obj, object(n, what));
    auto kind_node = members(*obj, Names<1>{"kind"})[0];
    if (kind_node == nullptr) return bad_end(*obj, what + ": predictor object lacks key \"kind\"");
    VOREL_TRY(const std::string* kind, string(*kind_node, what + ".kind"));
    if (*kind == "cr") return cr(*obj, what);
    if (*kind == "re") return re(*obj, what);
    if (*kind == "cr_stable") return cr_stable(*obj, what);
    if (*kind == "tensor") return tensor(*obj, what);
    if (*kind == "additive") return additive(*obj, what, depth);
    return bad(*kind_node, what + ": unknown predictor kind " + quote_name(*kind) +
                               " (expected \"cr\", \"re\", \"cr_stable\", \"additive\" or \"tensor\")");
  }

  Decoded<Predictor> cr(const Container& obj, const std::string& what) {
    VOREL_TRY(auto f, kind_members(obj, Names<2>{"knots", "centring"}, "cr", what));
    CrPredictor p;
    VOREL_TRY(p.knots, vec(*f[0], what + ".knots"));
    VOREL_TRY(p.centring, mat(*f[1], what + ".centring"));
    return Predictor{std::move(p)};
  }

  Decoded<Predictor> re(const Container& obj, const std::string& what) {
    VOREL_TRY(auto f, kind_members(obj, Names<1>{"levels"}, "re", what));
    RePredictor p;
    VOREL_TRY(p.levels, real_list(*f[0], what + ".levels"));
    return Predictor{std::move(p)};
  }

  Decoded<Predictor> cr_stable(const Container& obj, const std::string& what) {
    VOREL_TRY(auto f, kind_members(obj, Names<3>{"knots", "centring", "reparam_v"}, "cr_stable", what));
    CrStablePredictor p;
    VOREL_TRY(p.knots, vec(*f[0], what + ".knots"));
    VOREL_TRY(p.centring, mat(*f[1], what + ".centring"));
    VOREL_TRY(p.reparam_v, mat(*f[2], what + ".reparam_v"));
    return Predictor{std::move(p)};
  }

  Decoded<Predictor> tensor(const Container& obj, const std::string& what) {
    static constexpr Names<9> names = {"col_a",   "col_b", "bs_a", "bs_b",    "knots_a",
                                       "knots_b", "xp_a",  "xp_b", "centring"};
    VOREL_TRY(auto f, kind_members(obj, names, "tensor", what));
    TensorPredictor p;
    VOREL_TRY(p.col_a, uint(*f[0], what + ".col_a"));
    VOREL_TRY(p.col_b, uint(*f[1], what + ".col_b"));
    VOREL_TRY(const std::string* bs_a, string(*f[2], what + ".bs_a"));
    VOREL_TRY(const std::string* bs_b, string(*f[3], what + ".bs_b"));
    p.bs_a = *bs_a;
    p.bs_b = *bs_b;
    VOREL_TRY(p.knots_a, vec(*f[4], what + ".knots_a"));
    VOREL_TRY(p.knots_b, vec(*f[5], what + ".knots_b"));
    VOREL_TRY(p.xp_a, mat(*f[6], what + ".xp_a"));
    VOREL_TRY(p.xp_b, mat(*f[7], what + ".xp_b"));
    VOREL_TRY(p.centring, mat(*f[8], what + ".centring"));
    return Predictor{std::move(p)};
  }

  Decoded<Predictor> additive(const Container& obj, const std::string& what, int depth) {
    VOREL_TRY(auto f, kind_members(obj, Names<3>{"term_predictors", "cols_used", "term_col_ranges"}, "additive", what));
    AdditivePredictor p;
    VOREL_TRY(const Container* terms, array(*f[0], what + ".term_predictors"));
    for (std::size_t i = 0; i < terms->count; ++i) {
      // Recursion follows the text's nesting, which the parser already capped at 128 levels.
      VOREL_TRY(Predictor t, predictor(item(*terms, i), what + ".term_predictors[" + fmt_u64(i) + "]", depth + 1));
      p.term_predictors.push_back(std::move(t));
    }
    VOREL_TRY(const Container* cols, array(*f[1], what + ".cols_used"));
    for (std::size_t i = 0; i < cols->count; ++i) {
      VOREL_TRY(std::vector<u64> c, uint_list(item(*cols, i), what + ".cols_used[" + fmt_u64(i) + "]"));
      p.cols_used.push_back(std::move(c));
    }
    VOREL_TRY(const Container* ranges, array(*f[2], what + ".term_col_ranges"));
    for (std::size_t i = 0; i < ranges->count; ++i) {
      const std::string at = what + ".term_col_ranges[" + fmt_u64(i) + "]";
      VOREL_TRY(std::vector<u64> r, uint_list(item(*ranges, i), at));
      if (r.size() != 2)
        return bad(item(*ranges, i), at + ": expected [first, last_exclusive]; got " + fmt_u64(r.size()) + " entries");
      p.term_col_ranges.emplace_back(r[0], r[1]);
    }
    return Predictor{std::move(p)};
  }

  const Tree& t_;
};

std::unexpected<VorelError> reject(std::string m) {
  return fail(VorelError::invalid("FittedGam::deserialize: " + std::move(m)));
}

u64 read_le(const std::uint8_t* p, int bytes) {
  u64 v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

std::string byte_list(const std::uint8_t* p, std::size_t n) {
  std::string s = "[";
  for (std::size_t i = 0; i < n; ++i) s += (i ? ", " : "") + std::to_string(p[i]);
  return s + "]";
}

std::string shape(const Mat& m) {
  return fmt_u64(static_cast<u64>(m.rows())) + "x" + fmt_u64(static_cast<u64>(m.cols()));
}

// The core indexes vcov, rho/lambda/edf_per_term and the predictor's blocks by the length of
// beta; a frame that disagrees with itself must stop here rather than later out of bounds.
Status check_shapes(const FittedGam& r) {
  const auto p = static_cast<u64>(r.beta.size());
  if (static_cast<u64>(r.vcov.rows()) != p || static_cast<u64>(r.vcov.cols()) != p)
    return reject("vcov is " + shape(r.vcov) + " but beta has " + fmt_u64(p) + " coefficients (vcov must be " +
                  fmt_u64(p) + "x" + fmt_u64(p) + ")");
  if (r.lambda.size() != r.rho.size())
    return reject("lambda has length " + fmt_u64(static_cast<u64>(r.lambda.size())) + " but rho has length " +
                  fmt_u64(static_cast<u64>(r.rho.size())));
  if (r.edf_per_term.size() != r.rho.size())
    return reject("edf_per_term has length " + fmt_u64(static_cast<u64>(r.edf_per_term.size())) +
                  " but rho has length " + fmt_u64(static_cast<u64>(r.rho.size())));
  auto width = predictor_width(r.predictor);
  if (!width) return reject("predictor: " + width.error().message);
  if (*width != p)
    return reject("the predictor builds " + fmt_u64(*width) + " model-matrix columns but beta has " +
                  fmt_u64(p) + " coefficients");
  return {};
}

}  // namespace

Result<FittedGam> read_frame(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t H = kFrameHeaderBytes;
  if (size < H)
    return reject("buffer too short (" + fmt_u64(size) + " < " + fmt_u64(H) + " header bytes)");
  static constexpr std::uint8_t magic[5] = {'V', 'O', 'R', 'E', 'L'};
  if (!std::equal(magic, magic + 5, data))
    return reject("bad magic; expected " + byte_list(magic, 5) + ", got " + byte_list(data, 5));
  const u64 version = read_le(data + 5, 4);
  if (version != kFrameFormatVersion)
    return reject("unsupported format_version=" + fmt_u64(version) + " (this build expects " +
                  fmt_u64(kFrameFormatVersion) +
                  "). Re-serialize with a matching vorel release, or roll a migration.");
  const u64 payload_len = read_le(data + 9, 8);
  if (payload_len > std::numeric_limits<u64>::max() - H) return reject("length overflow");
  if (size - H < payload_len)
    return reject("truncated body (have " + fmt_u64(size - H) + " bytes, header says " + fmt_u64(payload_len) +
                  " payload bytes follow the " + fmt_u64(H) + "-byte header)");

  const std::string_view body(reinterpret_cast<const char*>(data + H), static_cast<std::size_t>(payload_len));
  json_tree::Tree tree;
  json_tree::ParseError perr;
  auto decode_failed = [&](std::size_t pos, const std::string& reason) {
    return reject("JSON decode failed at byte " + fmt_u64(json_tree::column_of(body, pos)) + ": " + reason);
  };
  if (!json_tree::parse(body, tree, perr)) return decode_failed(perr.pos, perr.reason);
  auto record = Decoder(tree).record(tree.node(0));
  if (!record) return decode_failed(record.error().pos, record.error().reason);
  VOREL_CHECK(check_shapes(*record));
  return std::move(*record);
}

}  // namespace vorel

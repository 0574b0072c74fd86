// Frame writer: one growable buffer, header slot first, the JSON body written directly (no
// document tree), header filled in once the body length is known.
#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <variant>

#include "fit/persistence.h"

namespace vorel {

namespace {

class BodyWriter {
 public:
  explicit BodyWriter(std::string& out) : out_(out) {}

  void raw(std::string_view s) { out_.append(s); }
  void ch(char c) { out_.push_back(c); }
  // "name": — every key the writer emits is a fixed ASCII name.
  void key(std::string_view name) {
    ch('"');
    raw(name);
    raw("\":");
  }

  void uint(u64 v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out_.append(buf, r.ptr);
  }

  // Shortest round-trip digits. Magnitudes in [1e-4, 1e16) are written in fixed notation with
  // at least one fractional digit (1.0, 0.25), others as d.ddde-7 / 1e300 with a bare exponent;
  // NaN and infinities have no JSON form and are written as null.
  void real(double v) {
    if (!std::isfinite(v)) return raw("null");
    const double a = std::fabs(v);
    char buf[64];
    if (a != 0.0 && (a < 1e-4 || a >= 1e16)) {
      auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
      append_bare_exponent(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
      return;
    }
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    std::string_view s(buf, static_cast<std::size_t>(r.ptr - buf));
    raw(s);
    if (s.find('.') == std::string_view::npos) raw(".0");
  }

  // JSON string literal; the only strings written are link and basis names, but a basis name
  // is a free string in the record, so it is escaped and checked for valid UTF-8.
  bool string(std::string_view s) {
    if (!valid_utf8(s)) return false;
    ch('"');
    for (unsigned char c : s) {
      if (c == '"' || c == '\\') {
        ch('\\');
        ch(static_cast<char>(c));
      } else if (c < 0x20) {
        static const char hex[] = "0123456789abcdef";
        raw("\\u00");
        ch(hex[c >> 4]);
        ch(hex[c & 15]);
      } else {
        ch(static_cast<char>(c));
      }
    }
    ch('"');
    return true;
  }

  // {"v":1,"dim":[n],"data":[...]}
  void vector(const Vec& v) {
    raw("{\"v\":1,\"dim\":[");
    uint(static_cast<u64>(v.size()));
    raw("],\"data\":[");
    for (Eigen::Index i = 0; i < v.size(); ++i) {
      if (i) ch(',');
      real(v.coeff(i));
    }
    raw("]}");
  }

  // {"v":1,"dim":[rows,cols],"data":[...]} with data in row-major order (the record's matrices
  // are column-major, so this walks each row across the columns).
  void matrix(const Mat& m) {
    raw("{\"v\":1,\"dim\":[");
    uint(static_cast<u64>(m.rows()));
    ch(',');
    uint(static_cast<u64>(m.cols()));
    raw("],\"data\":[");
    bool first = true;
    for (Eigen::Index i = 0; i < m.rows(); ++i)
      for (Eigen::Index j = 0; j < m.cols(); ++j) {
        if (!first) ch(',');
        first = false;
        real(m.coeff(i, j));
      }
    raw("]}");
  }

 private:
  // "1.5e-07" -> "1.5e-7", "1e+300" -> "1e300".
  void append_bare_exponent(std::string_view s) {
    const std::size_t e = s.find('e');
    raw(s.substr(0, e + 1));
    std::size_t i = e + 1;
    if (s[i] == '-') ch(s[i++]);
    else if (s[i] == '+') ++i;
    while (i + 1 < s.size() && s[i] == '0') ++i;
    raw(s.substr(i));
  }

  static bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
      const unsigned char c = static_cast<unsigned char>(s[i]);
      std::size_t len;
      std::uint32_t cp;
      if (c < 0x80) { ++i; continue; }
      if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; }
      else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; }
      else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; }
      else return false;
      if (i + len > s.size()) return false;
      for (std::size_t k = 1; k < len; ++k) {
        const unsigned char d = static_cast<unsigned char>(s[i + k]);
        if ((d & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (d & 0x3F);
      }
      // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
      static const std::uint32_t min_cp[5] = {0, 0, 0x80, 0x800, 0x10000};
      if (cp < min_cp[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
      i += len;
    }
    return true;
  }

  std::string& out_;
};

const char* link_name(LinkKind k) {
  switch (k) {
    case LinkKind::Identity: return "Identity";
    case LinkKind::Log: return "Log";
    case LinkKind::Logit: return "Logit";
  }
  return nullptr;
}

Status encode_failure(std::string why) {
  return fail(VorelError::invalid("FittedGam::serialize: JSON encode failed: " + why));
}

Status write_predictor(BodyWriter& w, const Predictor& pred, int depth);

Status write_kind(BodyWriter& w, const CrPredictor& p, int) {
  w.raw("\"kind\":\"cr\",");
  w.key("knots"); w.vector(p.knots); w.ch(',');
  w.key("centring"); w.matrix(p.centring);
  return {};
}

Status write_kind(BodyWriter& w, const RePredictor& p, int) {
  w.raw("\"kind\":\"re\",");
  w.key("levels");
  w.ch('[');
  for (std::size_t i = 0; i < p.levels.size(); ++i) {
    if (i) w.ch(',');
    w.real(p.levels[i]);
  }
  w.ch(']');
  return {};
}

Status write_kind(BodyWriter& w, const CrStablePredictor& p, int) {
  w.raw("\"kind\":\"cr_stable\",");
  w.key("knots"); w.vector(p.knots); w.ch(',');
  w.key("centring"); w.matrix(p.centring); w.ch(',');
  w.key("reparam_v"); w.matrix(p.reparam_v);
  return {};
}

Status write_kind(BodyWriter& w, const TensorPredictor& p, int) {
  w.raw("\"kind\":\"tensor\",");
  w.key("col_a"); w.uint(p.col_a); w.ch(',');
  w.key("col_b"); w.uint(p.col_b); w.ch(',');
  w.key("bs_a");
  if (!w.string(p.bs_a)) return encode_failure("bs_a is not valid UTF-8");
  w.ch(',');
  w.key("bs_b");
  if (!w.string(p.bs_b)) return encode_failure("bs_b is not valid UTF-8");
  w.ch(',');
  w.key("knots_a"); w.vector(p.knots_a); w.ch(',');
  w.key("knots_b"); w.vector(p.knots_b); w.ch(',');
  w.key("xp_a"); w.matrix(p.xp_a); w.ch(',');
  w.key("xp_b"); w.matrix(p.xp_b); w.ch(',');
  w.key("centring"); w.matrix(p.centring);
  return {};
}

Status write_kind(BodyWriter& w, const AdditivePredictor& p, int depth) {
  // A record is built by the fit drivers and never nests additive predictors; the bound only
  // keeps a hand-made cyclic-looking deep record from exhausting the stack.
  if (depth > 32) return encode_failure("predictor nesting is too deep");
  w.raw("\"kind\":\"additive\",");
  w.key("term_predictors");
  w.ch('[');
  for (std::size_t i = 0; i < p.term_predictors.size(); ++i) {
    if (i) w.ch(',');
    VOREL_CHECK(write_predictor(w, p.term_predictors[i], depth + 1));
  }
  w.raw("],");
  w.key("cols_used");
  w.ch('[');
  for (std::size_t i = 0; i < p.cols_used.size(); ++i) {
    if (i) w.ch(',');
    w.ch('[');
    for (std::size_t j = 0; j < p.cols_used[i].size(); ++j) {
      if (j) w.ch(',');
      w.uint(p.cols_used[i][j]);
    }
    w.ch(']');
  }
  w.raw("],");
  w.key("term_col_ranges");
  w.ch('[');
  for (std::size_t i = 0; i < p.term_col_ranges.size(); ++i) {
    if (i) w.ch(',');
    w.ch('[');
    w.uint(p.term_col_ranges[i].first);
    w.ch(',');
    w.uint(p.term_col_ranges[i].second);
    w.ch(']');
  }
  w.ch(']');
  return {};
}

Status write_predictor(BodyWriter& w, const Predictor& pred, int depth) {
  w.ch('{');
  VOREL_CHECK(std::visit([&](const auto& v) { return write_kind(w, v, depth); }, pred.kind));
  w.ch('}');
  return {};
}

void put_le(std::string& out, std::size_t at, u64 v, int bytes) {
  for (int i = 0; i < bytes; ++i) out[at + static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

}  // namespace

Result<std::string> write_frame(const FittedGam& r) {
  std::string out;
  out.reserve(kFrameHeaderBytes + 128);
  out.resize(kFrameHeaderBytes);
  BodyWriter w(out);
  w.ch('{');
  w.key("beta"); w.vector(r.beta); w.ch(',');
  w.key("rho"); w.vector(r.rho); w.ch(',');
  w.key("lambda"); w.vector(r.lambda); w.ch(',');
  w.key("scale"); w.real(r.scale); w.ch(',');
  w.key("edf_total"); w.real(r.edf_total); w.ch(',');
  w.key("edf_per_term"); w.vector(r.edf_per_term); w.ch(',');
  w.key("n"); w.uint(r.n); w.ch(',');
  w.key("n_iters"); w.uint(r.n_iters); w.ch(',');
  w.key("converged"); w.raw(r.converged ? "true" : "false"); w.ch(',');
  w.key("reml_value"); w.real(r.reml_value); w.ch(',');
  w.key("predictor");
  VOREL_CHECK(write_predictor(w, r.predictor, 0));
  w.ch(',');
  w.key("vcov"); w.matrix(r.vcov); w.ch(',');
  const char* link = link_name(r.link_kind);
  if (link == nullptr) return fail(VorelError::invalid("FittedGam::serialize: JSON encode failed: unknown link_kind"));
  w.key("link_kind"); w.ch('"'); w.raw(link); w.ch('"'); w.ch(',');
  w.key("shape_params"); w.vector(r.shape_params);
  w.ch('}');

  std::memcpy(out.data(), "VOREL", 5);
  put_le(out, 5, kFrameFormatVersion, 4);
  put_le(out, 9, static_cast<u64>(out.size() - kFrameHeaderBytes), 8);
  return out;
}

}  // namespace vorel

#include "util/format.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "util/error.h"

namespace vorel {

std::string fmt_real(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  // Fixed notation with no precision requested is the shortest round-trip form; the largest
  // double needs 309 integer digits and the smallest subnormal 1074 fraction digits.
  char buf[1100];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
  return std::string(buf, res.ptr);
}

std::string fmt_grad_norm(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, 3);
  std::string s(buf, res.ptr);  // e.g. "1.234e-04", "2.000e+00"
  auto e = s.find('e');
  std::string mant = s.substr(0, e);
  std::string ex = s.substr(e + 1);
  bool neg = !ex.empty() && ex[0] == '-';
  std::size_t i = (!ex.empty() && (ex[0] == '-' || ex[0] == '+')) ? 1 : 0;
  while (i + 1 < ex.size() && ex[i] == '0') ++i;
  return mant + "e" + (neg ? "-" : "") + ex.substr(i);
}

namespace {
void push_unicode_escape(std::string& out, std::uint32_t cp) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "\\u{%x}", cp);
  out += buf;
}
}  // namespace

std::string quote_name(std::string_view s) {
  std::string out = "\"";
  for (std::size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      default: break;
    }
    if (c < 0x20 || c == 0x7f) {
      push_unicode_escape(out, c);
      continue;
    }
    // C1 controls U+0080..U+009F are encoded as C2 80..C2 9F.
    if (c == 0xC2 && i + 1 < s.size()) {
      unsigned char d = static_cast<unsigned char>(s[i + 1]);
      if (d >= 0x80 && d <= 0x9F) {
        push_unicode_escape(out, d);
        ++i;
        continue;
      }
    }
    out += static_cast<char>(c);
  }
  out += '"';
  return out;
}

std::string to_string(const VorelError& e) {
  switch (e.kind) {
    case ErrorKind::InvalidParameter: return "invalid parameter: " + e.message;
    case ErrorKind::SingularSystem: return "singular system: " + e.message;
    case ErrorKind::NotConverged:
      return "solver did not converge after " + fmt_u64(e.iters) +
             " iterations (last grad norm = " + fmt_grad_norm(e.grad_norm) + ")";
    case ErrorKind::Linalg: return "linalg failure: " + e.message;
    case ErrorKind::Internal: return "internal failure: " + e.message;
    case ErrorKind::NotImplemented: return "not implemented: " + e.message;
  }
  return e.message;
}

}  // namespace vorel

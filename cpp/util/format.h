// How numbers and caller-supplied names are written inside messages.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorel {

// Shortest decimal that reads back to the same double, never in exponent notation:
// 2 -> "2", -1 -> "-1", 0.5 -> "0.5", 1e-7 -> "0.0000001", -0.0 -> "-0", NaN -> "NaN",
// +inf -> "inf", -inf -> "-inf".
std::string fmt_real(double v);

// Scientific with three digits after the point and a bare exponent: "1.234e-4", "2.000e0",
// "3.100e2"; NaN -> "NaN", inf -> "inf", -inf -> "-inf".
std::string fmt_grad_norm(double v);

inline std::string fmt_u64(std::uint64_t v) { return std::to_string(v); }

// A double-quoted string literal: backslash before '"' and '\\'; tab, CR, LF as \t \r \n;
// other control characters (C0, DEL, C1) as \u{hex}. The input is UTF-8.
std::string quote_name(std::string_view utf8);

}  // namespace vorel

// The core's only error type, and the Result alias every fallible function returns.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <utility>

namespace vorel {

enum class ErrorKind {
  InvalidParameter,  // bad user input or stored data -> ValueError(message)
  SingularSystem,    // failed Cholesky -> RuntimeError("singular system: " + message)
  NotConverged,      // outer search hit its step limit -> RuntimeError(text form)
  Linalg,            // failed eigen-decomposition -> RuntimeError("linalg failure: " + message)
  Internal,          // broken invariant -> InternalFailure(message); no ordinary input gets here
  NotImplemented,    // a route that this build does not provide yet -> NotImplementedError
};

struct VorelError {
  ErrorKind kind = ErrorKind::Internal;
  std::string message;     // all kinds except NotConverged
  std::uint64_t iters = 0;  // NotConverged only
  double grad_norm = 0.0;   // NotConverged only

  static VorelError invalid(std::string m) { return {ErrorKind::InvalidParameter, std::move(m)}; }
  static VorelError singular(std::string m) { return {ErrorKind::SingularSystem, std::move(m)}; }
  static VorelError linalg(std::string m) { return {ErrorKind::Linalg, std::move(m)}; }
  static VorelError internal(std::string m) { return {ErrorKind::Internal, std::move(m)}; }
  static VorelError not_implemented(std::string m) {
    return {ErrorKind::NotImplemented, std::move(m)};
  }
  static VorelError not_converged(std::uint64_t iters, double grad_norm) {
    return {ErrorKind::NotConverged, {}, iters, grad_norm};
  }
};

// "invalid parameter: ...", "singular system: ...", "solver did not converge after ...",
// "linalg failure: ..." (defined in format.cpp).
std::string to_string(const VorelError& e);

template <class T>
using Result = std::expected<T, VorelError>;
using Status = std::expected<void, VorelError>;

inline std::unexpected<VorelError> fail(VorelError e) { return std::unexpected(std::move(e)); }

}  // namespace vorel

// Early-return helpers (GCC 12's <expected> has no monadic operations).
//   VOREL_TRY(auto design, build_cr_design(x, k));
//   VOREL_CHECK(validate_knots(knots));
#define VOREL_CONCAT_INNER(a, b) a##b
#define VOREL_CONCAT(a, b) VOREL_CONCAT_INNER(a, b)
#define VOREL_TRY_IMPL(tmp, decl, expr)                               \
  auto tmp = (expr);                                                  \
  if (!tmp) return ::std::unexpected(std::move(tmp).error());         \
  decl = std::move(*tmp)
#define VOREL_TRY(decl, expr) VOREL_TRY_IMPL(VOREL_CONCAT(vorel_try_, __LINE__), decl, expr)
#define VOREL_CHECK(expr)                                                          \
  do {                                                                             \
    auto vorel_check_tmp = (expr);                                                 \
    if (!vorel_check_tmp) return ::std::unexpected(std::move(vorel_check_tmp).error()); \
  } while (0)

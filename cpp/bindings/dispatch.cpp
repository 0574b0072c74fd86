#include "bindings/dispatch.h"

#include <array>
#include <utility>

#include "family/family.h"
#include "fit/routes.h"
#include "util/format.h"

#include "design/cr.h"
#include "design/cr_stable.h"
#include "design/finite.h"
#include "design/re.h"

namespace vorel::py {

namespace {

enum class Route { Standard, NegBin, TDist, Tweedie, Ocat, Elf };

struct FamilyEntry {
  std::string_view name;
  Route route;
  Family (*standard)();  // constructor of a standard family, else nullptr
};

constexpr std::array<FamilyEntry, 19> kFamilies{{
    {"gaussian", Route::Standard, gaussian_identity},
    {"bernoulli", Route::Standard, bernoulli_logit},
    {"binomial", Route::Standard, bernoulli_logit},
    {"poisson", Route::Standard, poisson_log},
    {"quasipoisson", Route::Standard, quasipoisson_log},
    {"quasibinomial", Route::Standard, quasibinomial_logit},
    {"gamma", Route::Standard, gamma_log},
    {"inverse_gaussian", Route::Standard, inverse_gaussian_log},
    {"inverse.gaussian", Route::Standard, inverse_gaussian_log},
    {"negbin", Route::NegBin, nullptr},
    {"nb", Route::NegBin, nullptr},
    {"tdist", Route::TDist, nullptr},
    {"scat", Route::TDist, nullptr},
    {"tweedie", Route::Tweedie, nullptr},
    {"tw", Route::Tweedie, nullptr},
    {"ocat", Route::Ocat, nullptr},
    {"elf", Route::Elf, nullptr},
    {"quantile", Route::Elf, nullptr},
    {"", Route::Standard, nullptr},  // sentinel, never matched (names are non-empty)
}};

const FamilyEntry* find_family(std::string_view name) {
  if (name.empty()) return nullptr;
  for (const auto& e : kFamilies)
    if (e.name == name) return &e;
  return nullptr;
}

enum class DesignKind { Cr, Re, CrStable };

Result<DesignKind> resolve_design(std::string_view name) {
  if (name == "cr") return DesignKind::Cr;
  if (name == "re") return DesignKind::Re;
  if (name == "cr_stable") return DesignKind::CrStable;
  return fail(VorelError::invalid("design must be 'cr', 're', or 'cr_stable'; got " +
                                  quote_name(name)));
}

// A single smooth reads column 0: an x without columns, or with a non-finite value there, is
// refused before any basis is built (knot placement would otherwise index a missing column or
// order NaNs).
Status check_single_smooth_input(const XView& x) {
  if (x.cols == 0) {
    return fail(VorelError::invalid("x must have at least one column; got shape (" +
                                    fmt_u64(x.rows) + ", " + fmt_u64(x.cols) + ")"));
  }
  return check_finite_columns(x, std::vector<u64>{0});
}

Result<Design> build_single_design(DesignKind kind, const XView& x, u64 k) {
  switch (kind) {
    case DesignKind::Cr:
      return build_cr_design(x, k);
    case DesignKind::CrStable:
      return build_cr_stable_design(x, k);
    case DesignKind::Re:
      return build_re_design(x);
  }
  return fail(VorelError::internal("unknown design kind"));
}

Result<FittedGam> run_standard(const Family& family, Design design, u64 n, const Vec& y,
                               std::optional<Vec> weights) {
  return fit_standard(family, std::move(design), n, y, std::move(weights));
}

// Checks of the family's own parameters that come before the design name is looked at.
Status check_family_parameters(Route route, const FitRequest& q) {
  switch (route) {
    case Route::NegBin: {
      const double theta = q.theta.value_or(2.0);
      if (theta <= 0.0)  // NaN passes here; the route rejects it later
        return fail(VorelError::invalid("negbin theta must be > 0; got theta=" + fmt_real(theta)));
      return {};
    }
    case Route::Tweedie: {
      const double p = q.tweedie_p.value_or(1.5);
      if (!(p > 1.0 && p < 2.0))
        return fail(VorelError::invalid("tweedie p must be in (1, 2); got tweedie_p=" + fmt_real(p)));
      return {};
    }
    case Route::Elf: {
      const double tau = q.tau.value_or(0.5);
      if (!(tau > 0.0 && tau < 1.0))
        return fail(VorelError::invalid("elf/quantile tau must be in (0, 1); got tau=" + fmt_real(tau)));
      return {};
    }
    case Route::Ocat:
      if (!q.r)
        return fail(VorelError::invalid(
            "family='ocat' requires r=K (number of ordered categories, K >= 3)"));
      if (*q.r < 3) return fail(VorelError::invalid("ocat requires r >= 3, got r=" + fmt_u64(*q.r)));
      return {};
    case Route::Standard:
    case Route::TDist:
      return {};
  }
  return {};
}

Result<FittedGam> run_ocat(FitRequest& q) {
  // The ordered categorical path builds its design itself; the name is looked at here as well so
  // that a bad design name is reported before a bad x, as on every other route.
  VOREL_CHECK(resolve_design(q.design));
  VOREL_CHECK(check_single_smooth_input(q.x));
  const u64 r = *q.r;
  const Family family = ocat_identity(r, std::vector<double>(static_cast<std::size_t>(r - 2), 0.0));
  return fit_ocat(std::get<Ocat>(family), q.x, q.y, std::move(q.weights), q.k, q.design);
}

}  // namespace

Result<FittedGam> dispatch_fit(FitRequest q) {
  const FamilyEntry* entry = find_family(q.family_name);
  if (entry == nullptr) {
    return fail(VorelError::invalid(
        "unknown family " + quote_name(q.family_name) +
        "; supported: gaussian, bernoulli, poisson, quasipoisson, quasibinomial, gamma, "
        "inverse_gaussian, negbin, tdist, tweedie, ocat, elf"));
  }
  VOREL_CHECK(check_family_parameters(entry->route, q));
  if (entry->route == Route::Ocat) return run_ocat(q);

  VOREL_TRY(const DesignKind kind, resolve_design(q.design));
  VOREL_CHECK(check_single_smooth_input(q.x));
  VOREL_TRY(Design design, build_single_design(kind, q.x, q.k));
  const u64 n = q.x.rows;

  switch (entry->route) {
    case Route::Standard:
      return run_standard(entry->standard(), std::move(design), n, q.y, std::move(q.weights));
    case Route::NegBin:
      return fit_negbin(std::get<NegBin>(negbin_log(q.theta.value_or(2.0))), std::move(design), n,
                        q.y, std::move(q.weights));
    case Route::TDist:
      return fit_tdist(std::get<TDist>(tdist_identity(q.nu.value_or(5.0), q.sigma2.value_or(1.0))),
                       std::move(design), n, q.y, std::move(q.weights));
    case Route::Tweedie:
      return fit_tweedie(
          std::get<Tweedie>(tweedie_log(q.tweedie_p.value_or(1.5), q.tweedie_phi.value_or(1.0))),
          std::move(design), n, q.y, std::move(q.weights));
    case Route::Elf:
      return fit_elf(std::get<Elf>(elf_identity(q.tau.value_or(0.5), q.elf_sigma.value_or(0.0),
                                                q.elf_lambda.value_or(0.0))),
                     std::move(design), n, q.y, std::move(q.weights));
    case Route::Ocat:
      break;
  }
  return fail(VorelError::internal("dispatch_fit: unhandled family route"));
}

Result<FittedGam> dispatch_fit_additive(std::string_view family_name,
                                        const std::vector<TermSpec>& terms, const XView& x,
                                        Vec y, std::optional<Vec> weights) {
  const FamilyEntry* entry = find_family(family_name);
  if (entry == nullptr || entry->route != Route::Standard) {
    const std::string q = quote_name(family_name);
    return fail(VorelError::invalid(
        "fit_additive: family " + q +
        " is shape-managed and restricted to single-smooth in 94b; use vorel.fit(family=" + q +
        ", \u2026) or wait for multi-smooth shape-aware support. Supported additive families: "
        "gaussian, bernoulli/binomial, poisson, quasipoisson, quasibinomial, gamma, "
        "inverse_gaussian"));
  }
  VOREL_TRY(Design design, build_additive_design(terms, x));
  return run_standard(entry->standard(), std::move(design), x.rows, y, std::move(weights));
}

}  // namespace vorel::py

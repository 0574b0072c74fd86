// The fit paths that the entry points hand typed values to. None of them touches Python.
#pragma once

#include <optional>
#include <string_view>

#include "design/design.h"
#include "family/family.h"
#include "fit/record.h"
#include "util/error.h"
#include "util/xview.h"

namespace vorel {

// The seven standard families (single smooth or additive design). n = rows of x.
Result<FittedGam> fit_standard(const Family& family, Design design, u64 n, const Vec& y,
                               std::optional<Vec> weights);

// Shape-aware families: the shape parameters are estimated jointly with the smoothing parameter.
Result<FittedGam> fit_negbin(const NegBin& family, Design design, u64 n, const Vec& y,
                             std::optional<Vec> weights);
Result<FittedGam> fit_tdist(const TDist& family, Design design, u64 n, const Vec& y,
                            std::optional<Vec> weights);
Result<FittedGam> fit_tweedie(const Tweedie& family, Design design, u64 n, const Vec& y,
                              std::optional<Vec> weights);

// Ordered categorical: builds its design itself from the design name.
Result<FittedGam> fit_ocat(const Ocat& family, const XView& x, const Vec& y,
                           std::optional<Vec> weights, u64 k, std::string_view design_name);

// Extended log-F quantile regression.
Result<FittedGam> fit_elf(const Elf& family, Design design, u64 n, const Vec& y,
                          std::optional<Vec> weights);

}  // namespace vorel

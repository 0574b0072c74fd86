// The string-keyed dispatch of the two entry points, after the Python arguments have been
// converted: family and design names become typed values, the family's own parameters are
// checked in their fixed order, and the typed values go to the matching fit route. No Python
// object is touched here.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "design/additive.h"
#include "fit/record.h"
#include "util/eigen.h"
#include "util/error.h"
#include "util/xview.h"


namespace vorel::py {

struct FitRequest {
  std::string_view family_name;
  XView x;
  Vec y;
  std::optional<Vec> weights;
  u64 k = 10;
  std::string_view design = "cr";
  std::optional<double> theta, nu, sigma2, tweedie_p, tweedie_phi;
  std::optional<u64> r;
  std::optional<double> tau, elf_sigma, elf_lambda;
};

Result<FittedGam> dispatch_fit(FitRequest request);

// Terms already parsed (and known to be non-empty); the family name is checked here.
Result<FittedGam> dispatch_fit_additive(std::string_view family_name,
                                        const std::vector<TermSpec>& terms, const XView& x,
                                        Vec y, std::optional<Vec> weights);

}  // namespace vorel::py

// Placeholder until the joint shape-parameter search lands.
#include "fit/routes.h"

namespace vorel {

Result<FittedGam> fit_negbin(const NegBin&, Design, u64, const Vec&, std::optional<Vec>) {
  return fail(VorelError::not_implemented("family \"negbin\" is not available in this build yet"));
}
Result<FittedGam> fit_tdist(const TDist&, Design, u64, const Vec&, std::optional<Vec>) {
  return fail(VorelError::not_implemented("family \"tdist\" is not available in this build yet"));
}
Result<FittedGam> fit_tweedie(const Tweedie&, Design, u64, const Vec&, std::optional<Vec>) {
  return fail(VorelError::not_implemented("family \"tweedie\" is not available in this build yet"));
}

}  // namespace vorel

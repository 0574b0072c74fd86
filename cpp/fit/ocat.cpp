// Placeholder until the ordered categorical path lands.
#include "fit/routes.h"

namespace vorel {

Result<FittedGam> fit_ocat(const Ocat&, const XView&, const Vec&, std::optional<Vec>, u64,
                           std::string_view) {
  return fail(VorelError::not_implemented("family \"ocat\" is not available in this build yet"));
}

}  // namespace vorel

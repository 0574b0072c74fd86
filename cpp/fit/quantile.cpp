// Placeholder until the quantile path lands.
#include "fit/routes.h"

namespace vorel {

Result<FittedGam> fit_elf(const Elf&, Design, u64, const Vec&, std::optional<Vec>) {
  return fail(VorelError::not_implemented("family \"elf\" is not available in this build yet"));
}

}  // namespace vorel

#include "testing/registry.h"

namespace vorel::testing {
void register_quantile(nanobind::module_& m) {}
}  // namespace vorel::testing

#include "testing/registry.h"

namespace vorel::testing {
void register_numerics(nanobind::module_& m) {}
}  // namespace vorel::testing

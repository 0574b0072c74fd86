#include "testing/registry.h"

namespace vorel::testing {
void register_shape(nanobind::module_& m) {}
}  // namespace vorel::testing

#include "testing/registry.h"

namespace vorel::testing {
void register_persistence(nanobind::module_& m) {}
}  // namespace vorel::testing

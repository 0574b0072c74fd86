#include "testing/registry.h"

namespace vorel::testing {
void register_basis(nanobind::module_& m) {}
}  // namespace vorel::testing

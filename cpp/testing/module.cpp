// Test-only extension: exposes internal pieces of the core to pytest. Never shipped.
#include <nanobind/nanobind.h>

#include "testing/registry.h"

NB_MODULE(_vorel_testing, m) {
  vorel::testing::register_util(m);
  vorel::testing::register_basis(m);
  vorel::testing::register_numerics(m);
  vorel::testing::register_persistence(m);
  vorel::testing::register_shape(m);
  vorel::testing::register_quantile(m);
}

// Python surface of vorel: thin conversion layer over the core.
#include <nanobind/nanobind.h>

#include "util/lapack.h"

namespace nb = nanobind;

NB_MODULE(_vorel_native, m) {
  vorel::lapack::use_single_thread();
  m.attr("__all__") = nb::list();
}

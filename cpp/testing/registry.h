#pragma once

#include <nanobind/nanobind.h>

namespace vorel::testing {
// One per area; each lives in its own file of this folder.
void register_util(nanobind::module_& m);         // util.cpp
void register_basis(nanobind::module_& m);        // basis.cpp: bases and designs
void register_numerics(nanobind::module_& m);     // numerics.cpp: solvers, score, optimiser
void register_persistence(nanobind::module_& m);  // persistence.cpp
void register_shape(nanobind::module_& m);        // shape.cpp: shape-aware families
void register_quantile(nanobind::module_& m);     // quantile.cpp: ordered categorical, quantile
}  // namespace vorel::testing

// Single entry point for Eigen in the core.
//
// Eigen's own index checks (operator(), block(), segment(), ...) are kept active in release
// builds and turned into an InternalFault exception instead of abort(): an out-of-range access
// is a broken invariant of ours, and it must surface in Python as InternalFailure rather than
// read out of bounds or take the interpreter down. The hot kernels use coeff()/raw pointers or
// BLAS, so the checks cost nothing where it matters.
#pragma once

#include <stdexcept>
#include <string>

namespace vorel {
// Thrown only for broken internal invariants; caught at the Python boundary.
class InternalFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
}  // namespace vorel

#ifdef eigen_assert
#error "include util/eigen.h before any Eigen header"
#endif
#define eigen_assert(x)                                                                  \
  do {                                                                                   \
    if (!(x)) throw ::vorel::InternalFault(std::string("internal index check failed: ") + #x); \
  } while (0)

#include <Eigen/Dense>

#include <cstdint>
#include <vector>

namespace vorel {
using Mat = Eigen::MatrixXd;   // column-major, what LAPACK expects
using Vec = Eigen::VectorXd;
using RowMat = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
using u64 = std::uint64_t;
}  // namespace vorel

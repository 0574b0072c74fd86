// Response families as plain values. Each family is a small struct whose member functions are
// the family operations; `Family` is the tagged union of all of them. Solvers are templates over
// the concrete struct and dispatch once per call (std::visit), never once per observation.
#pragma once

#include <string_view>
#include <variant>

#include "family/elf.h"
#include "family/negbin.h"
#include "family/ocat.h"
#include "family/standard.h"
#include "family/tdist.h"
#include "family/tweedie.h"

namespace vorel {

using Family = std::variant<Gaussian, Bernoulli, Poisson, QuasiPoisson, QuasiBinomial, Gamma,
                            InverseGaussian, NegBin, TDist, Tweedie, Ocat, Elf>;

inline Family gaussian_identity() { return Gaussian{}; }
inline Family bernoulli_logit() { return Bernoulli{}; }
inline Family poisson_log() { return Poisson{}; }
inline Family quasipoisson_log() { return QuasiPoisson{}; }
inline Family quasibinomial_logit() { return QuasiBinomial{}; }
inline Family gamma_log() { return Gamma{}; }
inline Family inverse_gaussian_log() { return InverseGaussian{}; }
inline Family negbin_log(double theta) { return NegBin{theta}; }
inline Family tdist_identity(double nu, double sigma2) { return TDist{nu, sigma2}; }
inline Family tweedie_log(double p, double phi) { return Tweedie{p, phi}; }
inline Family ocat_identity(u64 n_cats, std::vector<double> thresholds) {
  return Ocat{n_cats, std::move(thresholds)};
}
inline Family elf_identity(double tau, double sigma, double lambda) { return Elf{tau, sigma, lambda}; }

inline LinkKind link_kind_of(const Family& f) {
  return std::visit([](const auto& fam) { return fam.link_kind; }, f);
}

inline bool is_standard(const Family& f) { return f.index() <= 6; }

}  // namespace vorel

// Special functions shared by the score and the families.
#pragma once

namespace vorel {

// Natural log of the gamma function: reflection below 0.5, Lanczos (g = 7, nine terms) above.
double ln_gamma(double x);
// psi(x) and psi'(x): shift x up past 6, then the asymptotic series.
double digamma(double x);
double trigamma(double x);

}  // namespace vorel

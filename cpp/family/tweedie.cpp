#include "family/tweedie.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "util/format.h"
#include "util/special.h"

namespace vorel {

namespace {

constexpr double kCut = 72.0873067782343;  // 104 ln 2
constexpr u64 kGradientUpLimit = 10000000;

// The y-independent part of log W_j, j c - ln Gamma(j + 1) - ln Gamma(-j alpha), and its
// p-derivative, tabulated for j = 1..J; larger j are computed on demand.
struct SeriesTable {
  double p, alpha, c, dc, inv_1p_sq;
  bool with_deriv;
  std::vector<double> base, dbase;  // index j - 1

  SeriesTable(double p_, double phi, u64 j_max, bool deriv) : p(p_), with_deriv(deriv) {
    alpha = (2.0 - p) / (1.0 - p);
    const double lphi = std::log(phi);
    c = lphi / (1.0 - p) + alpha * std::log(p - 1.0) - std::log(2.0 - p);
    inv_1p_sq = 1.0 / ((1.0 - p) * (1.0 - p));
    dc = (lphi + std::log(p - 1.0)) * inv_1p_sq + alpha / (p - 1.0) + 1.0 / (2.0 - p);
    base.resize(j_max);
    if (deriv) dbase.resize(j_max);
    for (u64 j = 1; j <= j_max; ++j) {
      base[j - 1] = compute_base(j);
      if (deriv) dbase[j - 1] = compute_dbase(j);
    }
  }
  double compute_base(u64 j) const {
    const double jd = static_cast<double>(j);
    return jd * c - ln_gamma(jd + 1.0) - ln_gamma(-jd * alpha);
  }
  double compute_dbase(u64 j) const {
    const double jd = static_cast<double>(j);
    return jd * dc + jd * digamma(-jd * alpha) * inv_1p_sq;
  }
  double get_base(u64 j) const { return j <= base.size() ? base[j - 1] : compute_base(j); }
  double get_dbase(u64 j) const { return j <= dbase.size() ? dbase[j - 1] : compute_dbase(j); }
};

double dominant_raw(double y, double p, double phi) {
  return std::floor(std::pow(y, 2.0 - p) / ((2.0 - p) * phi));
}

struct SeriesOut {
  double log_s = 0.0, g_phi = 0.0, g_p = 0.0;
};

// The outward summation of one observation; derivatives accumulated only with the table's flag.
SeriesOut sum_series(const SeriesTable& t, double y, double phi, u64 up_limit, bool relative) {
  const double ly = std::log(y);
  const double raw = dominant_raw(y, t.p, phi);
  const u64 k = raw < 1 ? 1 : (raw > 9e15 ? static_cast<u64>(9e15) : static_cast<u64>(raw));
  const u64 limit = relative ? k + up_limit : up_limit;
  auto logw = [&](u64 j) { return t.get_base(j) - static_cast<double>(j) * t.alpha * ly; };
  const double v = logw(k), cutoff = v - kCut;
  double s = 0.0, sphi = 0.0, sp = 0.0;
  auto add = [&](u64 j, double lw) {
    const double om = std::exp(lw - v);
    s += om;
    if (t.with_deriv) {
      const double jd = static_cast<double>(j);
      sphi += om * jd / (1.0 - t.p);
      sp += om * (t.get_dbase(j) - jd * ly * t.inv_1p_sq);
    }
  };
  for (u64 j = k;; ++j) {
    const double lw = logw(j);
    add(j, lw);
    if (!(lw >= cutoff) || j >= limit) break;
  }
  if (raw >= 2) {
    for (u64 j = k - 1; j >= 1; --j) {
      const double lw = logw(j);
      add(j, lw);
      if (!(lw >= cutoff)) break;
    }
  }
  SeriesOut o;
  o.log_s = v + std::log(s);
  o.g_phi = sphi / s;
  o.g_p = sp / s;
  return o;
}

u64 table_size(const Vec& y, double p, double phi) {
  double kmax = 1;
  for (Eigen::Index i = 0; i < y.size(); ++i)
    if (y.coeff(i) > 0) kmax = std::fmax(kmax, dominant_raw(y.coeff(i), p, phi));
  // A huge dominant index means an extreme phi; tabulate no more than a bounded prefix.
  return static_cast<u64>(std::fmin(kmax, 1e6)) + 64;
}

}  // namespace

Status tweedie_check_init(const Tweedie& f) {
  if (!(f.p > 1 && f.p < 2))
    return fail(VorelError::invalid("tweedie p must be in (1, 2); got tweedie_p=" + fmt_real(f.p)));
  if (!(f.phi > 0 && f.phi < std::numeric_limits<double>::infinity()))
    return fail(VorelError::invalid(
        "Tweedie dispersion init_phi must be a positive finite scalar; got init_phi=" +
        fmt_real(f.phi)));
  return {};
}

double tweedie_log_series(double y, double p, double phi, u64 upward_limit, bool relative) {
  SeriesTable t(p, phi, 0, false);
  return sum_series(t, y, phi, upward_limit, relative).log_s;
}

double tweedie_saturated_loglik(const Vec& y, double p, double phi) {
  phi = std::fmax(phi, 1e-12);
  SeriesTable t(p, phi, table_size(y, p, phi), false);
  double s = 0.0;
  for (Eigen::Index i = 0; i < y.size(); ++i) {
    const double yi = y.coeff(i);
    if (!(yi > 0)) continue;
    s += std::pow(yi, 2.0 - p) / ((1.0 - p) * (2.0 - p) * phi) - std::log(yi) +
         sum_series(t, yi, phi, 1001, true).log_s;
  }
  return s;
}

std::array<double, 2> tweedie_shape_gradient(const Vec& y, const Vec& mu, const Vec* w, double p,
                                             double phi, double pen_dev, double n_minus_mp) {
  phi = std::fmax(phi, 1e-12);
  SeriesTable t(p, phi, table_size(y, p, phi), true);
  const double q1 = 1.0 - p, q2 = 2.0 - p;
  double tt = 0.0, tp = 0.0, gphi = 0.0, gp = 0.0, dprime = 0.0;
  for (Eigen::Index i = 0; i < y.size(); ++i) {
    const double yi = y.coeff(i);
    const double m = std::fmax(mu.coeff(i), links::kMeanFloor);
    const double lm = std::log(m);
    const double m1 = std::pow(m, q1), m2 = std::pow(m, q2);
    double dd;
    if (yi > 0) {
      const double ly = std::log(yi), y2 = std::pow(yi, q2);
      tt += y2 / (q1 * q2 * phi);
      tp += (y2 / phi) * (1.0 / (q1 * q1) - 1.0 / (q2 * q2) - ly * (1.0 / q1 - 1.0 / q2));
      const SeriesOut so = sum_series(t, yi, phi, kGradientUpLimit, false);
      gphi += so.g_phi;
      gp += so.g_p;
      dd = 2.0 * ((m1 * yi * lm - y2 * ly) / q1 + (y2 - yi * m1) / (q1 * q1) +
                  (y2 * ly - m2 * lm) / q2 - (y2 - m2) / (q2 * q2));
    } else {
      dd = 2.0 * (-m2 * lm / q2 + m2 / (q2 * q2));
    }
    dprime += w ? w->coeff(i) * dd : dd;
  }
  const double n = static_cast<double>(y.size());
  const double mp = n - n_minus_mp;
  return {tt - 0.5 * mp - pen_dev / (2.0 * phi) - gphi,
          (p - 1.0) * (2.0 - p) * (dprime / (2.0 * phi) - tp - gp)};
}

}  // namespace vorel

// The normal quantile of a two-sided level, Fisher-z p-values and the
// Benjamini-Hochberg step-up.
#include "pvalues.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>
#include <numeric>

namespace {

// Wichura's algorithm AS 241 (PPND16): the standard-normal quantile of p in
// (0, 1), relative error about 1e-16.
double normalQuantile(double p)
{
    const double q = p - 0.5;
    if (std::fabs(q) <= 0.425) {
        const double r = 0.180625 - q * q;
        return q *
               (((((((2.5090809287301226727e+3 * r + 3.3430575583588128105e+4) * r +
                     6.7265770927008700853e+4) * r + 4.5921953931549871457e+4) * r +
                   1.3731693765509461125e+4) * r + 1.9715909503065514427e+3) * r +
                 1.3314166789178437745e+2) * r + 3.3871328727963666080e+0) /
               (((((((5.2264952788528545610e+3 * r + 2.8729085735721942674e+4) * r +
                     3.9307895800092710610e+4) * r + 2.1213794301586595867e+4) * r +
                   5.3941960214247511077e+3) * r + 6.8718700749205790830e+2) * r +
                 4.2313330701600911252e+1) * r + 1.0);
    }
    double r = std::sqrt(-std::log(q < 0 ? p : 1.0 - p));
    double x;
    if (r <= 5.0) {
        r -= 1.6;
        x = (((((((7.74545014278341407640e-4 * r + 2.27238449892691845833e-2) * r +
                  2.41780725177450611770e-1) * r + 1.27045825245236838258e+0) * r +
                3.64784832476320460504e+0) * r + 5.76949722146069140550e+0) * r +
              4.63033784615654529590e+0) * r + 1.42343711074968357734e+0) /
            (((((((1.05075007164441684324e-9 * r + 5.47593808499534494600e-4) * r +
                  1.51986665636164571966e-2) * r + 1.48103976427480074590e-1) * r +
                6.89767334985100004550e-1) * r + 1.67638483018380384940e+0) * r +
              2.05319162663775882187e+0) * r + 1.0);
    } else {
        r -= 5.0;
        x = (((((((2.01033439929228813265e-7 * r + 2.71155556874348757815e-5) * r +
                  1.24266094738807843860e-3) * r + 2.65321895265761230930e-2) * r +
                2.96560571828504891230e-1) * r + 1.78482653991729133580e+0) * r +
              5.46378491116411436990e+0) * r + 6.65790464350110377720e+0) /
            (((((((2.04426310338993978564e-15 * r + 1.42151175831644588870e-7) * r +
                  1.84631831751005468180e-5) * r + 7.86869131145613259100e-4) * r +
                1.48753612908506148525e-2) * r + 1.36929880922735805310e-1) * r +
              5.99832206555887937690e-1) * r + 1.0);
    }
    return q < 0 ? -x : x;
}

constexpr double kSqrt2 = 1.4142135623730951;  // sqrt 2 rounded to double

// One Newton step on erfc(z / sqrt 2) = alpha in long double, whose erf and
// erfc carry some eleven more bits than the double ones, so the refined z
// rounds to the double nearest the exact quantile. Levels of 1/2 and above
// compare erf(z / sqrt 2) with the exact 1 - alpha, which keeps full relative
// precision where z is small; the long double range reaches past the
// smallest double alpha.
long double newtonStep(long double z, double alpha)
{
    constexpr long double sqrt2 = std::numbers::sqrt2_v<long double>;
    constexpr long double twoOverSqrtPi = 2 * std::numbers::inv_sqrtpi_v<long double>;
    const long double x = z / sqrt2;
    const long double slope = twoOverSqrtPi * std::exp(-(x * x));
    const long double residual =
        alpha >= 0.5 ? (1.0L - alpha) - std::erf(x) : std::erfc(x) - alpha;
    return residual * sqrt2 / slope;
}

}  // namespace

double zForAlpha(double alpha)
{
    // Half the smallest subnormal is no double: start from its own quantile.
    const double half = std::max(alpha * 0.5, std::numeric_limits<double>::denorm_min());
    long double z = -normalQuantile(half);
    // Two steps from the approximation's 1e-16 reach the long double floor;
    // the far start of the smallest alpha takes a few more.
    for (int k = 0; k < 8; ++k) {
        const long double step = newtonStep(z, alpha);
        z += step;
        if (std::fabs(step) <= z * 0x1p-62L) break;
    }
    return static_cast<double>(z);
}

double fisherP(double r, int N, int order)
{
    const double a = std::fabs(std::atanh(r));
    const double s = std::sqrt(static_cast<double>(N - 3 - order));
    return std::erfc(a * s / kSqrt2);
}

void benjaminiHochberg(const std::vector<double>& p, long long total, std::vector<double>& q)
{
    const std::size_t n = p.size();
    q.assign(n, 0.0);
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    // A total order (p, then position; not-a-number last), so the sort needs
    // no stability and no buffer and its result depends on nothing else.
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const double x = p[a], y = p[b];
        if (x < y) return true;
        if (y < x) return false;
        const bool xNan = std::isnan(x), yNan = std::isnan(y);
        if (xNan != yNan) return yNan;
        return a < b;
    });
    const double m = static_cast<double>(total);
    double running = 1.0;
    for (std::size_t k = n; k > 0; --k) {
        const std::size_t at = order[k - 1];
        if (std::isnan(p[at])) {
            q[at] = std::numeric_limits<double>::quiet_NaN();
            continue;
        }
        running = std::min(running, p[at] * m / static_cast<double>(k));
        q[at] = running;
    }
}

// Fisher's z test: the absolute correlation of order k at which
// sqrt(N - 3 - k) * atanh(r) reaches z, formed as (e - 1) / (e + 1) with
// e = exp(2 z / sqrt(N - 3 - k)). Degenerate N gives not-a-number.
#include "core.h"

#include <cmath>

namespace {

double threshold(int N, double z, int k)
{
    const double d = static_cast<double>(N - 3 - k);
    const double s = std::sqrt(1.0 / d);
    const double a = s * z;
    const double e = std::exp(a + a);
    return (e - 1) / (e + 1);
}

}  // namespace

void getThresholds(int N, double z, double& t0, double& t1, double& t2, double& t3)
{
    t0 = threshold(N, z, 0);
    t1 = threshold(N, z, 1);
    t2 = threshold(N, z, 2);
    t3 = threshold(N, z, 3);
}

double thresholdFor(int N, double z, int order)
{
    double t[4];
    getThresholds(N, z, t[0], t[1], t[2], t[3]);
    return t[order];
}

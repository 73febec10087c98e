// The inner kernel of every sweep: a run of offers to one pair.
//
// A coefficient r = num / sqrt(D) replaces the stored v only when |v| > |r|.
// When num * num exceeds v * v * D by a relative margin far above the
// rounding of the three products, |r| is larger than |v| whatever the rounding
// of the square root and the division, so the offer cannot replace. Blocks of
// eight offers that are all decided that way cost no division and no square
// root; any other block is offered lane by lane with the exact coefficient.
// Magnitudes near underflow or overflow always take the exact path.
#include "sweep.h"

#include <algorithm>
#include <cstring>

namespace {

typedef double d8 __attribute__((vector_size(64)));
typedef long long l8 __attribute__((vector_size(64)));

constexpr double kMargin = 1 + 0x1p-30;
constexpr double kTiny = 0x1p-500;

inline bool allTrue(l8 s)
{
    long long r = -1;
    for (int k = 0; k < 8; ++k) r &= s[k];
    return r != 0;
}

}  // namespace

__attribute__((target_clones("avx512f", "avx2", "default")))
double offerRun(double v, double x, const double* A, const double* B, int w0, int w1, int i,
                int j, double threshold)
{
    // Offers w exactly; true once the pair is pruned.
    auto exact = [&](int w) {
        if (w == i || w == j) return false;
        if (pruned(v, threshold)) return true;
        offer(v, partialStep(x, A[w], B[w]));
        return false;
    };
    if (pruned(v, threshold)) return v;
    if (w1 - w0 < 8) {
        for (int w = w0; w < w1; ++w)
            if (exact(w)) break;
        return v;
    }
    const l8 lane = {0, 1, 2, 3, 4, 5, 6, 7};
    const long long li = i, lj = j;
    int done = w0;  // offers below done have been made
    while (done < w1) {
        const double v2 = v * v;
        const bool fast = v2 >= 0x1p-400 && v2 <= 0x1p400;
        const double v2k = v2 * kMargin;
        int base;
        for (;;) {
            base = std::min(done, w1 - 8);
            if (!fast) break;
            d8 a, b;
            std::memcpy(&a, A + base, sizeof a);
            std::memcpy(&b, B + base, sizeof b);
            const d8 num = x - a * b;
            const d8 vd = (1 - a * a) * (1 - b * b) * v2k;
            const l8 idx = base + lane;
            const l8 sure = ((num * num > vd) & (vd >= kTiny)) | (idx < done) | (idx == li) |
                            (idx == lj);
            if (!allTrue(sure)) break;
            done = base + 8;
            if (done >= w1) return v;
        }
        for (int w = std::max(base, done); w < base + 8; ++w)
            if (exact(w)) return v;
        done = base + 8;
    }
    return v;
}

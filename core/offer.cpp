// The inner kernel of every sweep: a run of offers to one pair.
//
// An offer r = num / sqrt(D) (num and D formed exactly as the literal formula
// forms them) replaces the stored v only when |v| > |r|. Comparing num * num
// with D * v * v decides that without the division and the square root
// whenever the two sides differ by a relative margin far above the few
// roundings involved; only offers that land inside the margin are decided on
// the exact values. A replacement that is sure keeps num and D and takes the
// division and the square root only when the exact value is needed (a close
// decision, or the end of the run); they give the bits of the literal
// coefficient. Blocks of eight offers that are all sure not to replace cost
// a few multiplications each. Magnitudes far from 1 (near underflow or
// overflow) and not-a-number always take the exact path.
#include "sweep.h"

#include <algorithm>
#include <cstring>

namespace {

typedef double d8 __attribute__((vector_size(64)));
typedef long long l8 __attribute__((vector_size(64)));

constexpr double kMargin = 1 + 0x1p-30;

inline bool moderate(double q) { return q >= 0x1p-400 && q <= 0x1p400; }

}  // namespace

__attribute__((target_clones("avx512f", "avx2", "default")))
double offerRun(double v, double x, const double* A, const double* B, int w0, int w1, int i,
                int j, double threshold)
{
    if (pruned(v, threshold)) return v;
    const bool prunes = !std::isnan(threshold);
    const double t2 = threshold * threshold;

    // The stored value: v when exact, else numV / sqrt(dV); q estimates its
    // square, and fast says whether the estimates may be used.
    bool exact = true;
    double numV = 0, dV = 0;
    double q = v * v;
    bool fast = moderate(q);
    auto settle = [&] {
        if (!exact) {
            v = numV / std::sqrt(dV);
            exact = true;
        }
    };
    // True once the pair is pruned (v then exact).
    auto prunedNow = [&] {
        if (!prunes) return false;
        if (!exact) {
            if (t2 * kMargin < q) return false;
            settle();
        }
        return pruned(v, threshold);
    };
    // Offers w; true once the pair is pruned.
    auto offerOne = [&](int w) {
        if (w == i || w == j) return false;
        if (prunedNow()) return true;
        const double a = A[w], b = B[w];
        const double num = x - a * b;
        const double D = (1 - a * a) * (1 - b * b);
        if (fast && moderate(D)) {
            const double nn = num * num, dq = D * q;
            if (nn > dq * kMargin) return false;
            const double r2 = nn / D;
            if (nn * kMargin < dq && moderate(r2)) {
                exact = false;
                numV = num;
                dV = D;
                q = r2;
                return false;
            }
        }
        settle();
        offer(v, num / std::sqrt(D));
        q = v * v;
        fast = moderate(q);
        return false;
    };

    if (w1 - w0 < 8) {
        for (int w = w0; w < w1; ++w)
            if (offerOne(w)) break;
        settle();
        return v;
    }
    const l8 lane = {0, 1, 2, 3, 4, 5, 6, 7};
    const long long li = i, lj = j;
    int done = w0;  // offers below done have been made
    while (done < w1) {
        const int base = std::min(done, w1 - 8);
        l8 sure = {0, 0, 0, 0, 0, 0, 0, 0};
        if (fast) {
            d8 a, b;
            std::memcpy(&a, A + base, sizeof a);
            std::memcpy(&b, B + base, sizeof b);
            const d8 num = x - a * b;
            const d8 dq = (1 - a * a) * (1 - b * b) * (q * kMargin);
            const l8 idx = base + lane;
            sure = ((num * num > dq) & (dq >= 0x1p-800)) | (idx < done) | (idx == li) | (idx == lj);
            long long all = -1;
            for (int k = 0; k < 8; ++k) all &= sure[k];
            if (all) {
                done = base + 8;
                continue;
            }
        }
        for (int k = std::max(0, done - base); k < 8; ++k)
            if (!sure[k] && offerOne(base + k)) {
                settle();
                return v;
            }
        done = base + 8;
    }
    settle();
    return v;
}

__attribute__((target_clones("avx512f", "avx2", "default")))
void partialRow(std::vector<double>& Fi, const Matrix& X, int i, int c, int from, int to)
{
    const double* xi = X[i].data();
    const double* xc = X[c].data();
    const double a = xi[c];
    const double fa = 1 - a * a;
    double* f = Fi.data();
    for (int j = from; j < to; ++j) f[j] = (xi[j] - a * xc[j]) / std::sqrt(fa * (1 - xc[j] * xc[j]));
    if (i >= from && i < to) f[i] = 0;
    if (c >= from && c < to) f[c] = 0;
}

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
//
//   offerRun / offerRunWith          a run over a range of two rows
//   offerPanel / offerPanelWith      a run over the lanes of two panel rows,
//                                    decided 64 lanes at a time
//   offerFirstOrder / ...With        the first-order offers of one row's
//                                    pruned pairs, each lane with its own value
//   offerSecondOrder / ...With       the offers of one open pair over a batch
//                                    of first controlling variables, its
//                                    first-order coefficients formed per lane
//   partialRow                       a row of coefficients given one variable
#include "sweep.h"

#include <algorithm>
#include <cstdint>

#include <immintrin.h>

namespace {

constexpr double kMargin = 1 + 0x1p-30;
constexpr double kTinyProduct = 0x1p-800;

inline bool moderate(double q) { return q >= 0x1p-400 && q <= 0x1p400; }

// The block tests: bit k set when the offer of w = base + k is sure not to
// replace a stored value whose square is about q (q * kMargin is passed).
// One form per instruction set; all decide the same way.
struct BlockGeneric {
    static unsigned sure(const double* A, const double* B, int base, double x, double qm)
    {
        unsigned bits = 0;
        for (int k = 0; k < 8; ++k) {
            const double a = A[base + k], b = B[base + k];
            const double num = x - a * b;
            const double dq = (1 - a * a) * (1 - b * b) * qm;
            bits |= static_cast<unsigned>(num * num > dq && dq >= kTinyProduct) << k;
        }
        return bits;
    }
};

struct BlockAvx2 {
    __attribute__((target("avx2"))) static unsigned half(const double* A, const double* B,
                                                         double x, double qm)
    {
        const __m256d a = _mm256_loadu_pd(A), b = _mm256_loadu_pd(B);
        const __m256d one = _mm256_set1_pd(1);
        const __m256d num = _mm256_sub_pd(_mm256_set1_pd(x), _mm256_mul_pd(a, b));
        const __m256d d = _mm256_mul_pd(_mm256_sub_pd(one, _mm256_mul_pd(a, a)),
                                        _mm256_sub_pd(one, _mm256_mul_pd(b, b)));
        const __m256d dq = _mm256_mul_pd(d, _mm256_set1_pd(qm));
        const __m256d sure =
            _mm256_and_pd(_mm256_cmp_pd(_mm256_mul_pd(num, num), dq, _CMP_GT_OQ),
                          _mm256_cmp_pd(dq, _mm256_set1_pd(kTinyProduct), _CMP_GE_OQ));
        return static_cast<unsigned>(_mm256_movemask_pd(sure));
    }
    __attribute__((target("avx2"))) static unsigned sure(const double* A, const double* B,
                                                         int base, double x, double qm)
    {
        return half(A + base, B + base, x, qm) | half(A + base + 4, B + base + 4, x, qm) << 4;
    }
};

struct BlockAvx512 {
    __attribute__((target("avx512f"))) static unsigned sure(const double* A, const double* B,
                                                           int base, double x, double qm)
    {
        const __m512d a = _mm512_loadu_pd(A + base), b = _mm512_loadu_pd(B + base);
        const __m512d one = _mm512_set1_pd(1);
        const __m512d num = _mm512_sub_pd(_mm512_set1_pd(x), _mm512_mul_pd(a, b));
        const __m512d d = _mm512_mul_pd(_mm512_sub_pd(one, _mm512_mul_pd(a, a)),
                                        _mm512_sub_pd(one, _mm512_mul_pd(b, b)));
        const __m512d dq = _mm512_mul_pd(d, _mm512_set1_pd(qm));
        const __mmask8 big = _mm512_cmp_pd_mask(_mm512_mul_pd(num, num), dq, _CMP_GT_OQ);
        return big & _mm512_cmp_pd_mask(dq, _mm512_set1_pd(kTinyProduct), _CMP_GE_OQ);
    }
};

// The stored value of one pair while a run of offers is made to it: v when
// exact, else numV / sqrt(dV); q estimates its square, and fast says whether
// the estimates may be used.
struct Stored {
    double v, numV = 0, dV = 0, q;
    bool exact = true, fast;
    double threshold, t2;
    bool prunes;

    Stored(double value, double thresholdIn)
        : v(value), q(value * value), fast(moderate(q)), threshold(thresholdIn),
          t2(thresholdIn * thresholdIn), prunes(!std::isnan(thresholdIn))
    {
    }
    void settle()
    {
        if (!exact) {
            v = numV / std::sqrt(dV);
            exact = true;
        }
    }
    // True once the pair is pruned (v then exact).
    bool prunedNow()
    {
        if (!prunes) return false;
        if (!exact) {
            if (t2 * kMargin < q) return false;
            settle();
        }
        return pruned(v, threshold);
    }
    // Offers the coefficient of a and b (the pair's coefficient being x);
    // true once the pair is pruned, before the offer.
    [[gnu::always_inline]] bool offerOne(double x, double a, double b)
    {
        if (prunedNow()) return true;
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
    }
};

template <class Block>
[[gnu::always_inline]] inline double run(double v, double x, const double* A, const double* B,
                                         int w0, int w1, int i, int j, double threshold)
{
    if (pruned(v, threshold)) return v;
    Stored s(v, threshold);
    auto offerOne = [&](int w) {
        if (w == i || w == j) return false;
        return s.offerOne(x, A[w], B[w]);
    };

    if (w1 - w0 < 8) {
        for (int w = w0; w < w1; ++w)
            if (offerOne(w)) break;
        s.settle();
        return s.v;
    }
    int done = w0;  // offers below done have been made
    while (done < w1) {
        const int base = std::min(done, w1 - 8);
        // Lanes already offered, and those of i and j, need nothing.
        unsigned skip = (1u << (done - base)) - 1;
        if (static_cast<unsigned>(i - base) < 8) skip |= 1u << (i - base);
        if (static_cast<unsigned>(j - base) < 8) skip |= 1u << (j - base);
        const unsigned sure = s.fast ? Block::sure(A, B, base, x, s.q * kMargin) | skip : skip;
        for (unsigned left = ~sure & 0xffu; left != 0; left &= left - 1)
            if (offerOne(base + __builtin_ctz(left))) {
                s.settle();
                return s.v;
            }
        done = base + 8;
    }
    s.settle();
    return s.v;
}

// A lane sure not to replace stays so while the stored magnitude shrinks, so
// the lanes of a stretch of 64 are all tested against the value the stretch
// starts with, and only the others are offered one by one.
template <class Block>
[[gnu::always_inline]] inline double panelRun(double v, double x, const double* A,
                                              const double* B, int n, int skip1, int skip2,
                                              double threshold)
{
    if (pruned(v, threshold)) return v;
    Stored s(v, threshold);
    for (int base = 0; base < n; base += 64) {
        const int lanes = std::min(64, n - base);
        std::uint64_t open = lanes == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << lanes) - 1;
        if (static_cast<unsigned>(skip1 - base) < 64) open &= ~(std::uint64_t{1} << (skip1 - base));
        if (static_cast<unsigned>(skip2 - base) < 64) open &= ~(std::uint64_t{1} << (skip2 - base));
        if (s.fast) {
            const double qm = s.q * kMargin;
            std::uint64_t sure = 0;
            for (int k = 0; k < lanes; k += 8)
                sure |= static_cast<std::uint64_t>(Block::sure(A, B, base + k, x, qm)) << k;
            open &= ~sure;
        }
        for (; open != 0; open &= open - 1) {
            const int w = base + __builtin_ctzll(open);
            if (s.offerOne(x, A[w], B[w])) {
                s.settle();
                return s.v;
            }
        }
    }
    s.settle();
    return s.v;
}

__attribute__((target("avx512f"))) double panelRunAvx512(double v, double x, const double* A,
                                                        const double* B, int n, int skip1,
                                                        int skip2, double threshold)
{
    return panelRun<BlockAvx512>(v, x, A, B, n, skip1, skip2, threshold);
}

__attribute__((target("avx2"))) double panelRunAvx2(double v, double x, const double* A,
                                                   const double* B, int n, int skip1, int skip2,
                                                   double threshold)
{
    return panelRun<BlockAvx2>(v, x, A, B, n, skip1, skip2, threshold);
}

__attribute__((target("avx512f"))) double runAvx512(double v, double x, const double* A,
                                                    const double* B, int w0, int w1, int i,
                                                    int j, double threshold)
{
    return run<BlockAvx512>(v, x, A, B, w0, w1, i, j, threshold);
}

__attribute__((target("avx2"))) double runAvx2(double v, double x, const double* A,
                                               const double* B, int w0, int w1, int i, int j,
                                               double threshold)
{
    return run<BlockAvx2>(v, x, A, B, w0, w1, i, j, threshold);
}

}  // namespace

int widestBlockTest()
{
    return __builtin_cpu_supports("avx512f") ? 8 : __builtin_cpu_supports("avx2") ? 4 : 1;
}

double offerRunWith(int width, double v, double x, const double* A, const double* B, int w0,
                    int w1, int i, int j, double threshold)
{
    if (width == 8) return runAvx512(v, x, A, B, w0, w1, i, j, threshold);
    if (width == 4) return runAvx2(v, x, A, B, w0, w1, i, j, threshold);
    return run<BlockGeneric>(v, x, A, B, w0, w1, i, j, threshold);
}

double offerPanelWith(int width, double v, double x, const double* A, const double* B, int n,
                      int skip1, int skip2, double threshold)
{
    if (width == 8) return panelRunAvx512(v, x, A, B, n, skip1, skip2, threshold);
    if (width == 4) return panelRunAvx2(v, x, A, B, n, skip1, skip2, threshold);
    return panelRun<BlockGeneric>(v, x, A, B, n, skip1, skip2, threshold);
}

double offerPanel(double v, double x, const double* A, const double* B, int n, int skip1,
                  int skip2, double threshold)
{
    static const int width = widestBlockTest();
    return offerPanelWith(width, v, x, A, B, n, skip1, skip2, threshold);
}

// The one dispatch point of the block tests: the widest the processor has.
double offerRun(double v, double x, const double* A, const double* B, int w0, int w1, int i,
                int j, double threshold)
{
    static const int width = widestBlockTest();
    return offerRunWith(width, v, x, A, B, w0, w1, i, j, threshold);
}

namespace {

// The first-order offers of one row: lanes of pruned pairs whose offer is
// sure not to replace their stored value (the block test with each lane's own
// value) are passed over; every other pair is handled one by one.
struct FirstGeneric {
    static unsigned passed(const double* row, const double* x, const double* b, double a, double fa,
                           double threshold)
    {
        unsigned bits = 0;
        for (int k = 0; k < 8; ++k) {
            const double v = row[k], q = v * v;
            const double num = x[k] - a * b[k];
            const double dq = fa * (1 - b[k] * b[k]) * (q * kMargin);
            bits |= static_cast<unsigned>(pruned(v, threshold) && moderate(q) && num * num > dq &&
                                          dq >= kTinyProduct)
                    << k;
        }
        return bits;
    }
};

struct FirstAvx512 {
    __attribute__((target("avx512f"))) static unsigned passed(const double* row, const double* x,
                                                             const double* b, double a, double fa,
                                                             double threshold)
    {
        const __m512d v = _mm512_loadu_pd(row), bb = _mm512_loadu_pd(b);
        const __m512d q = _mm512_mul_pd(v, v);
        const __m512d num = _mm512_sub_pd(_mm512_loadu_pd(x), _mm512_mul_pd(_mm512_set1_pd(a), bb));
        const __m512d d = _mm512_mul_pd(_mm512_set1_pd(fa),
                                        _mm512_sub_pd(_mm512_set1_pd(1), _mm512_mul_pd(bb, bb)));
        const __m512d dq = _mm512_mul_pd(d, _mm512_mul_pd(q, _mm512_set1_pd(kMargin)));
        const __m512d absV = _mm512_castsi512_pd(
            _mm512_and_si512(_mm512_castpd_si512(v), _mm512_set1_epi64(0x7fffffffffffffff)));
        __mmask8 m = _mm512_cmp_pd_mask(_mm512_set1_pd(threshold), absV, _CMP_GT_OQ);
        m &= _mm512_cmp_pd_mask(q, _mm512_set1_pd(0x1p-400), _CMP_GE_OQ);
        m &= _mm512_cmp_pd_mask(q, _mm512_set1_pd(0x1p400), _CMP_LE_OQ);
        m &= _mm512_cmp_pd_mask(_mm512_mul_pd(num, num), dq, _CMP_GT_OQ);
        m &= _mm512_cmp_pd_mask(dq, _mm512_set1_pd(kTinyProduct), _CMP_GE_OQ);
        return m;
    }
};

template <class Lanes>
[[gnu::always_inline]] inline void firstOrderRow(double* row, const Matrix& corr, int i, int c0,
                                                 int c1, int from, int to, double threshold,
                                                 std::vector<int>& open)
{
    const double* xi = corr[i];
    // The offer given c to the pair (i, j), exactly.
    auto exact = [&](int j, int c) {
        const double a = xi[c], b = corr[c][j];
        offer(row[j], (xi[j] - a * b) / std::sqrt((1 - a * a) * (1 - b * b)));
    };
    int j = from;
    for (; j + 8 <= to; j += 8) {
        unsigned prunedLanes = 0;
        for (int k = 0; k < 8; ++k) {
            if (pruned(row[j + k], threshold)) prunedLanes |= 1u << k;
            else open.push_back(j + k);
        }
        if (prunedLanes == 0) continue;
        for (int c = c0; c < c1; ++c) {
            if (c == i) continue;
            const double a = xi[c];
            unsigned left = prunedLanes & ~Lanes::passed(row + j, xi + j, corr[c] + j, a, 1 - a * a, threshold);
            if (static_cast<unsigned>(c - j) < 8) left &= ~(1u << (c - j));
            for (; left != 0; left &= left - 1) exact(j + __builtin_ctz(left), c);
        }
    }
    for (; j < to; ++j) {
        if (!pruned(row[j], threshold)) {
            open.push_back(j);
            continue;
        }
        for (int c = c0; c < c1; ++c)
            if (c != i && c != j) exact(j, c);
    }
}

__attribute__((target("avx512f"))) void firstOrderRowAvx512(double* row, const Matrix& corr,
                                                            int i, int c0, int c1, int from,
                                                            int to, double threshold,
                                                            std::vector<int>& open)
{
    firstOrderRow<FirstAvx512>(row, corr, i, c0, c1, from, to, threshold, open);
}

}  // namespace

void offerFirstOrderWith(int width, double* row, const Matrix& corr, int i, int c0, int c1,
                         int from, int to, double threshold, std::vector<int>& open)
{
    if (width == 8) return firstOrderRowAvx512(row, corr, i, c0, c1, from, to, threshold, open);
    firstOrderRow<FirstGeneric>(row, corr, i, c0, c1, from, to, threshold, open);
}

void offerFirstOrder(double* row, const Matrix& corr, int i, int c0, int c1, int from, int to,
                     double threshold, std::vector<int>& open)
{
    static const int width = widestBlockTest();
    offerFirstOrderWith(width, row, corr, i, c0, c1, from, to, threshold, open);
}

namespace {

// The second-order offers of a pair (i, j) given (c, w) are tested in
// stretches of lanes w without forming the first-order coefficients exactly:
// Fi = (Ci[w] - ai * g[w]) * (si * scale[w]), with g the row of c, ai = Ci[c],
// si = 1 / sqrt(1 - ai * ai) and scale[w] = 1 / sqrt(1 - g[w] * g[w]), is
// within a relative 2^-50 of the exact coefficient, whose numerator it shares.
// With both 1 - Fi * Fi and 1 - Fj * Fj at least 2^-19 (so |F| < 1) and the
// numerator x - Fi * Fj at least 2^-19 in magnitude, each differs from its
// exact counterpart by less than a relative 2^-28, and a test passed by a
// relative margin of 2^-24 is passed by the exact values with room for the
// roundings of kMargin. The test is a filter only: these values never reach
// a result, so they may be fused.
constexpr double kScreen = 1 + 0x1p-24;
constexpr double kFloor = 0x1p-19;

// What the lanes of one pair given one c share.
struct GivenC {
    const double *Ci, *Cj, *g, *scale;
    double x, ai, aj, si, sj;
};

struct SecondGeneric {
    // Bit k set when the offer of w = base + k (k < lanes) is sure not to
    // replace a stored value whose square is about q (qm = q * kScreen).
    static unsigned sure(const GivenC& p, int base, int lanes, double qm)
    {
        unsigned bits = 0;
        for (int k = 0; k < lanes; ++k) {
            const int w = base + k;
            const double fi = (p.Ci[w] - p.ai * p.g[w]) * (p.si * p.scale[w]);
            const double fj = (p.Cj[w] - p.aj * p.g[w]) * (p.sj * p.scale[w]);
            const double num = p.x - fi * fj, di = 1 - fi * fi, dj = 1 - fj * fj;
            const double nn = num * num;
            bits |= static_cast<unsigned>(nn > di * dj * qm && nn >= kFloor * kFloor &&
                                          di >= kFloor && dj >= kFloor)
                    << k;
        }
        return bits;
    }
};

struct SecondAvx512 {
    __attribute__((target("avx512f"))) static unsigned sure(const GivenC& p, int base, int lanes,
                                                           double qm)
    {
        const __mmask8 in = lanes >= 8 ? 0xff : static_cast<__mmask8>((1u << lanes) - 1);
        const __m512d g = _mm512_maskz_loadu_pd(in, p.g + base);
        const __m512d scale = _mm512_maskz_loadu_pd(in, p.scale + base);
        const __m512d u = _mm512_sub_pd(_mm512_maskz_loadu_pd(in, p.Ci + base),
                                        _mm512_mul_pd(_mm512_set1_pd(p.ai), g));
        const __m512d w = _mm512_sub_pd(_mm512_maskz_loadu_pd(in, p.Cj + base),
                                        _mm512_mul_pd(_mm512_set1_pd(p.aj), g));
        const __m512d fi = _mm512_mul_pd(u, _mm512_mul_pd(_mm512_set1_pd(p.si), scale));
        const __m512d fj = _mm512_mul_pd(w, _mm512_mul_pd(_mm512_set1_pd(p.sj), scale));
        const __m512d one = _mm512_set1_pd(1), floor = _mm512_set1_pd(kFloor);
        const __m512d num = _mm512_fnmadd_pd(fi, fj, _mm512_set1_pd(p.x));
        const __m512d di = _mm512_fnmadd_pd(fi, fi, one), dj = _mm512_fnmadd_pd(fj, fj, one);
        const __m512d nn = _mm512_mul_pd(num, num);
        const __m512d dq = _mm512_mul_pd(_mm512_mul_pd(di, dj), _mm512_set1_pd(qm));
        __mmask8 m = _mm512_mask_cmp_pd_mask(in, nn, dq, _CMP_GT_OQ);
        m = _mm512_mask_cmp_pd_mask(m, nn, _mm512_set1_pd(kFloor * kFloor), _CMP_GE_OQ);
        m = _mm512_mask_cmp_pd_mask(m, di, floor, _CMP_GE_OQ);
        return _mm512_mask_cmp_pd_mask(m, dj, floor, _CMP_GE_OQ);
    }
};

template <class Second>
[[gnu::always_inline]] inline double secondOrder(double v, const Matrix& corr, const Matrix& scale,
                                                 int V, int i, int j, int c0, int c1,
                                                 double threshold)
{
    // A stored not-a-number is never replaced nor pruned.
    if (std::isnan(v)) return v;
    const double* Ci = corr[i];
    const double* Cj = corr[j];
    for (int c = c0; c < c1; ++c) {
        if (c == i || c == j) continue;
        const double ai = Ci[c], aj = Cj[c];
        const double fai = 1 - ai * ai, faj = 1 - aj * aj;
        const double x = (Ci[j] - ai * aj) / std::sqrt(fai * faj);
        offer(v, x);
        // With x not a number, no second-order coefficient is a number.
        if (pruned(v, threshold) || std::isnan(x)) continue;
        const GivenC p{Ci, Cj, corr[c], scale[c - c0], x, ai, aj, 1 / std::sqrt(fai),
                       1 / std::sqrt(faj)};
        // The exact first-order coefficient of a (row A, A[c] = a) with w given c.
        auto exact = [&](const double* A, double a, double fa, int w) {
            return (A[w] - a * p.g[w]) / std::sqrt(fa * (1 - p.g[w] * p.g[w]));
        };
        Stored s(v, threshold);
        bool stop = false;
        for (int base = c + 1; base < V && !stop; base += 64) {
            const int lanes = std::min(64, V - base);
            std::uint64_t open = lanes == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << lanes) - 1;
            if (static_cast<unsigned>(i - base) < 64) open &= ~(std::uint64_t{1} << (i - base));
            if (static_cast<unsigned>(j - base) < 64) open &= ~(std::uint64_t{1} << (j - base));
            if (s.fast) {
                const double qm = s.q * kScreen;
                std::uint64_t sure = 0;
                for (int k = 0; k < lanes; k += 8)
                    sure |= static_cast<std::uint64_t>(Second::sure(p, base + k, std::min(8, lanes - k), qm))
                            << k;
                open &= ~sure;
            }
            for (; open != 0; open &= open - 1) {
                const int w = base + __builtin_ctzll(open);
                if (s.offerOne(x, exact(Ci, ai, fai, w), exact(Cj, aj, faj, w))) {
                    stop = true;
                    break;
                }
            }
        }
        s.settle();
        v = s.v;
    }
    return v;
}

__attribute__((target("avx512f"))) double secondOrderAvx512(double v, const Matrix& corr,
                                                            const Matrix& scale, int V, int i,
                                                            int j, int c0, int c1,
                                                            double threshold)
{
    return secondOrder<SecondAvx512>(v, corr, scale, V, i, j, c0, c1, threshold);
}

}  // namespace

double offerSecondOrderWith(int width, double v, const Matrix& corr, const Matrix& scale, int V,
                            int i, int j, int c0, int c1, double threshold)
{
    if (width == 8) return secondOrderAvx512(v, corr, scale, V, i, j, c0, c1, threshold);
    return secondOrder<SecondGeneric>(v, corr, scale, V, i, j, c0, c1, threshold);
}

double offerSecondOrder(double v, const Matrix& corr, const Matrix& scale, int V, int i, int j,
                        int c0, int c1, double threshold)
{
    static const int width = widestBlockTest();
    return offerSecondOrderWith(width, v, corr, scale, V, i, j, c0, c1, threshold);
}

namespace {

[[gnu::always_inline]] inline void fillRow(double* Fi, const Matrix& X, int i, int c,
                                           int from, int to)
{
    const double* xi = X[i];
    const double* xc = X[c];
    const double a = xi[c];
    const double fa = 1 - a * a;
    double* f = Fi;
    for (int j = from; j < to; ++j) f[j] = (xi[j] - a * xc[j]) / std::sqrt(fa * (1 - xc[j] * xc[j]));
    if (i >= from && i < to) f[i] = 0;
    if (c >= from && c < to) f[c] = 0;
}

__attribute__((target("avx512f"))) void fillRowAvx512(double* Fi, const Matrix& X,
                                                      int i, int c, int from, int to)
{
    fillRow(Fi, X, i, c, from, to);
}

__attribute__((target("avx2"))) void fillRowAvx2(double* Fi, const Matrix& X, int i,
                                                 int c, int from, int to)
{
    fillRow(Fi, X, i, c, from, to);
}

}  // namespace

// Vector division and square root round like the scalar ones: every width
// gives the same bits.
void partialRow(double* Fi, const Matrix& X, int i, int c, int from, int to)
{
    static const int width = widestBlockTest();
    if (width == 8)
        fillRowAvx512(Fi, X, i, c, from, to);
    else if (width == 4)
        fillRowAvx2(Fi, X, i, c, from, to);
    else
        fillRow(Fi, X, i, c, from, to);
}

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
//   fixedPanelRow                    a panel row in fixed point, for the
//                                    first lane test of offerPanel
//   offerFirstOrder / ...With        the first-order offers of one row's
//                                    pruned pairs over a batch of c, each lane
//                                    with its own value
//   offerSecondOrder / ...With       the offers of one open pair over a batch
//                                    of first controlling variables, its
//                                    first-order coefficients formed per lane
//   prepareBatch (sizeBatch and      the rows of a batch's c those two read
//   prepareBatchRow)
//   partialRow                       a row of coefficients given one variable
//
// Where the processor has 512-bit vectors, the panel and batch forms test
// lanes in a coarser arithmetic first, with error bounds that make a lane they
// pass sure in double too: offerPanel and offerFirstOrder in 16-bit fixed
// point (32 lanes a vector), offerSecondOrder in single precision (16 lanes a
// vector); the lanes they leave go to the test in double or straight to the
// exact offers.
#include "sweep.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>

#include <immintrin.h>

namespace {

constexpr double kMargin = 1 + 0x1p-30;
constexpr double kTinyProduct = 0x1p-800;

inline bool moderate(double q) { return q >= 0x1p-400 && q <= 0x1p400; }

// The block tests: bit k set when the offer of w = base + k is sure not to
// replace a stored value whose square is about q (q * kMargin is passed).
// One form per instruction set; all decide the same way.
//
// narrow(A, B, base, open, x, t2) keeps, of the lanes `open` of a stretch from
// base, those that may still matter once the smallest offer among them is
// known. A lane whose num * num exceeds D * max(m, t2) * kMargin, m the
// smallest estimate num * num / D of the lanes, is larger in magnitude than
// that lane's offer and than the threshold (t2 its square, 0 when the run
// does not prune): it can neither end the run nor be the smallest offer, so,
// while no offer of the stretch ends the run, the stretch ends with the same
// value without it, and when one does, the run ends at the same lane. Each
// side errs by a few units in the last place, far inside kMargin. Lanes whose
// num * num or D is far from 1 are always kept, and every lane when m is.
// The AVX-512 form also drops the lanes after the first whose num * num *
// kMargin is below D * t2: that lane's offer falls below the threshold and
// ends the run.
inline bool regular(double nn, double d) { return moderate(nn) && moderate(d); }

std::uint64_t narrowGeneric(const double* A, const double* B, int base, std::uint64_t open,
                            double x, double t2)
{
    auto terms = [&](std::uint64_t left, double& nn, double& d) {
        const int w = base + __builtin_ctzll(left);
        const double a = A[w], b = B[w], num = x - a * b;
        nn = num * num;
        d = (1 - a * a) * (1 - b * b);
    };
    double least = std::numeric_limits<double>::infinity(), nn, d;
    for (std::uint64_t left = open; left != 0; left &= left - 1) {
        terms(left, nn, d);
        if (regular(nn, d)) least = std::min(least, nn / d);
    }
    const double bound = std::max(least, t2);
    if (!moderate(bound)) return open;
    const double bm = bound * kMargin;
    std::uint64_t keep = open;
    for (std::uint64_t left = open; left != 0; left &= left - 1) {
        terms(left, nn, d);
        if (regular(nn, d) && nn > d * bm) keep &= ~(left & -left);
    }
    return keep;
}

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
    static std::uint64_t narrow(const double* A, const double* B, int base, std::uint64_t open,
                                double x, double t2)
    {
        return narrowGeneric(A, B, base, open, x, t2);
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
    static std::uint64_t narrow(const double* A, const double* B, int base, std::uint64_t open,
                                double x, double t2)
    {
        return narrowGeneric(A, B, base, open, x, t2);
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
    __attribute__((target("avx512f"))) static std::uint64_t narrow(const double* A,
                                                                  const double* B, int base,
                                                                  std::uint64_t open, double x,
                                                                  double t2)
    {
        narrowMany(A + base, B + base, &open, 1, x, t2);
        return open;
    }
    // narrow over the lanes masks[k] of the stretches k in [0, count), stretch
    // k from lane 64 k of A and B, narrowed in place: at most kManyBlocks
    // blocks of eight lanes hold lanes of them. Past the first lane sure to
    // offer a magnitude below the threshold (whose offer ends the run) none is
    // kept. The smallest estimate is found by comparing num * num * D' with
    // num' * num' * D across lanes, with one division at the end.
    static constexpr int kManyBlocks = 24;
    __attribute__((target("avx512f"))) static void narrowMany(const double* A, const double* B,
                                                              std::uint64_t* masks, int count,
                                                              double x, double t2)
    {
        const __m512d one = _mm512_set1_pd(1), xs = _mm512_set1_pd(x);
        const __m512d lo = _mm512_set1_pd(0x1p-400), hi = _mm512_set1_pd(0x1p400);
        // Per block with lanes: its stretch, first lane, num * num, D and regular lanes.
        int stretch[kManyBlocks], first[kManyBlocks], blocks = 0;
        __m512d nns[kManyBlocks], ds[kManyBlocks];
        __mmask8 reg[kManyBlocks];
        __m512d bestN = _mm512_set1_pd(std::numeric_limits<double>::infinity()), bestD = one;
        for (int k = 0; k < count; ++k)
            for (std::uint64_t left = masks[k]; left != 0; ++blocks) {
                const int lane = __builtin_ctzll(left) & ~7;
                const auto in = static_cast<__mmask8>(left >> lane);
                left &= ~(std::uint64_t{0xff} << lane);
                const __m512d a = _mm512_maskz_loadu_pd(in, A + 64 * k + lane);
                const __m512d b = _mm512_maskz_loadu_pd(in, B + 64 * k + lane);
                const __m512d num = _mm512_sub_pd(xs, _mm512_mul_pd(a, b));
                const __m512d d = _mm512_mul_pd(_mm512_sub_pd(one, _mm512_mul_pd(a, a)),
                                                _mm512_sub_pd(one, _mm512_mul_pd(b, b)));
                const __m512d nn = _mm512_mul_pd(num, num);
                const __mmask8 r = in & _mm512_cmp_pd_mask(nn, lo, _CMP_GE_OQ) &
                                   _mm512_cmp_pd_mask(nn, hi, _CMP_LE_OQ) &
                                   _mm512_cmp_pd_mask(d, lo, _CMP_GE_OQ) &
                                   _mm512_cmp_pd_mask(d, hi, _CMP_LE_OQ);
                const __mmask8 less = _mm512_mask_cmp_pd_mask(r, _mm512_mul_pd(nn, bestD),
                                                              _mm512_mul_pd(bestN, d), _CMP_LT_OQ);
                bestN = _mm512_mask_blend_pd(less, bestN, nn);
                bestD = _mm512_mask_blend_pd(less, bestD, d);
                stretch[blocks] = k;
                first[blocks] = lane;
                nns[blocks] = nn;
                ds[blocks] = d;
                reg[blocks] = r;
            }
        alignas(64) double q[8];
        _mm512_store_pd(q, _mm512_div_pd(bestN, bestD));
        const double bound = std::max(*std::min_element(q, q + 8), t2);
        if (!moderate(bound)) return;
        const __m512d bm = _mm512_set1_pd(bound * kMargin), tm = _mm512_set1_pd(t2);
        const __m512d margin = _mm512_set1_pd(kMargin);
        for (int e = 0; e < blocks; ++e) {
            const int k = stretch[e], lane = first[e];
            masks[k] &= ~(static_cast<std::uint64_t>(_mm512_mask_cmp_pd_mask(
                              reg[e], nns[e], _mm512_mul_pd(ds[e], bm), _CMP_GT_OQ))
                          << lane);
            // The first lane sure to fall below the threshold ends the run.
            const unsigned below = _mm512_mask_cmp_pd_mask(reg[e], _mm512_mul_pd(nns[e], margin),
                                                           _mm512_mul_pd(ds[e], tm), _CMP_LT_OQ);
            if (below != 0) {
                const int last = lane + __builtin_ctz(below);
                if (last < 63) masks[k] &= (std::uint64_t{2} << last) - 1;
                for (int after = k + 1; after < count; ++after) masks[after] = 0;
                return;
            }
        }
    }
};

// The panel's lane test in 16-bit fixed point (units of 2^-15), 32 lanes a
// vector, which decides nearly every lane that the test in double would.
// With |a|, |b| and |x| at most 1, an offer r = num / sqrt(D) does not replace
// v when |num| > |v| sqrt(D) by a few units in the last place. a, b and x are
// each within one unit of their value times 2^15 (rounded to nearest; 1 taken
// as 32767), and so are the rests sqrt(1 - a^2) and sqrt(1 - b^2) (their
// product within a few units in the last place of sqrt(D)). Then:
//   - the product of a and b rounded to units is within 2.5 + 2^-15 units of
//     a * b * 2^15, and the difference N within 3.5 + 2^-15 units of num *
//     2^15 (saturation only lowers a magnitude);
//   - the product P of the rests rounded to units is at least sqrt(D) * 2^15
//     - 2.5, and with T = ceil(|v| * 2^15) (at most 32767), the product of P
//     and T rounded to units is at least S - 3, S = |v| sqrt(D) * 2^15;
//   - so |N| > that product + 7 leaves |num| * 2^15 above S + 1.4, far more
//     than the roundings of the computed num and r.
// A lane with |a| or |b| above 1 (or not a number) gives no replacing offer
// unless both are (D < 0 or D = 0 then, or not a number): such lanes are 0 in
// fixed point, and a pair of two rows that both hold one is tested in double
// only, as are pairs whose |x| is above 1 and stretches whose |v| is not below
// 1.
struct FixedPanel {
    __attribute__((target("avx512f,avx512bw"))) static std::uint64_t half(
        const std::int16_t* Aq, const std::int16_t* Bq, int rest, __m512i xq, __m512i tq)
    {
        const __m512i a = _mm512_loadu_si512(Aq), b = _mm512_loadu_si512(Bq);
        const __m512i ra = _mm512_loadu_si512(Aq + rest), rb = _mm512_loadu_si512(Bq + rest);
        const __m512i num = _mm512_abs_epi16(_mm512_subs_epi16(xq, _mm512_mulhrs_epi16(a, b)));
        const __m512i bound = _mm512_adds_epu16(
            _mm512_mulhrs_epi16(_mm512_mulhrs_epi16(ra, rb), tq), _mm512_set1_epi16(7));
        return _mm512_cmpgt_epu16_mask(num, bound);
    }
    __attribute__((target("avx512f,avx512bw"))) static std::uint64_t sure(
        const FixedRows& q, int base, std::int16_t x, std::int16_t t)
    {
        const __m512i xq = _mm512_set1_epi16(x), tq = _mm512_set1_epi16(t);
        return half(q.a + base, q.b + base, q.rest, xq, tq) |
               half(q.a + base + 32, q.b + base + 32, q.rest, xq, tq) << 32;
    }
};

// x (at most 1 in magnitude) in units of 2^-15, rounded to nearest, 1 taken as 32767.
inline std::int16_t toUnits(double x)
{
    return static_cast<std::int16_t>(std::min(std::lrint(x * 0x1p15), 32767L));
}

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
    // ceil(|v| * 2^15) or more (from the estimate q when v is not exact); -1
    // when that is not below 32768 (T of FixedPanel).
    std::int16_t fixedBound() const
    {
        const double t = std::ceil((exact ? std::fabs(v) : std::sqrt(q * kMargin)) * 0x1p15);
        return t < 32768 ? static_cast<std::int16_t>(t) : std::int16_t{-1};
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
// starts with, and only the others are offered one by one; when many are
// left (a pair's first stretches, where its value is still far above its
// smallest offers), they are narrowed to those near the smallest of them
// first. With fixed-point rows, a pair's first run first looks for the lane
// that prunes it, and after the first stretch of a run the later ones are
// tested together when few lanes are left.
constexpr int kManyLanes = 8;
constexpr int kAtOnce = 16;  // stretches of a run tested at once, at most
constexpr int kAtOnceLanes = 24;  // lanes left for them, at most
static_assert(kAtOnceLanes <= BlockAvx512::kManyBlocks && 8 <= BlockAvx512::kManyBlocks);
template <class Block, bool kFixed = false>
[[gnu::always_inline]] inline double panelRun(double v, double x, const double* A,
                                              const double* B, const FixedRows& fq, int n,
                                              int skip1, int skip2, double threshold)
{
    if (pruned(v, threshold)) return v;
    Stored s(v, threshold);
    const bool fixed = kFixed && fq.a && fq.b && std::fabs(x) <= 1;
    const std::int16_t xq = fixed ? toUnits(x) : 0;
    // The lanes of the stretch from base, but skip1 and skip2.
    auto lanesAt = [&](int base) {
        const int lanes = std::min(64, n - base);
        std::uint64_t open = lanes == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << lanes) - 1;
        if (static_cast<unsigned>(skip1 - base) < 64) open &= ~(std::uint64_t{1} << (skip1 - base));
        if (static_cast<unsigned>(skip2 - base) < 64) open &= ~(std::uint64_t{1} << (skip2 - base));
        return open;
    };
    if constexpr (kFixed)
        if (fixed && s.prunes && s.fast && v == x && threshold * 0x1p15 < 32767) {
            // A pair whose value is still its correlation (its first run)
            // is first searched for the first lane whose offer falls below
            // the threshold: that offer ends the run and is its value. The
            // lanes the fixed-point test leaves against the threshold are
            // the only ones that may; when none does, the run never prunes.
            const auto tq = static_cast<std::int16_t>(std::ceil(threshold * 0x1p15));
            for (int base = 0; base < n; base += 64)
                for (std::uint64_t m = lanesAt(base) & ~FixedPanel::sure(fq, base, xq, tq); m != 0;
                     m &= m - 1) {
                    const int w = base + __builtin_ctzll(m);
                    const double r = partialStep(x, A[w], B[w]);
                    if (threshold > std::fabs(r)) return r;
                }
            s.prunes = false;
        }
    for (int base = 0; base < n; base += 64) {
        if (s.prunedNow()) break;
        const int lanes = std::min(64, n - base);
        std::uint64_t open = lanesAt(base);
        if (s.fast) {
            const std::int16_t t = fixed ? s.fixedBound() : std::int16_t{-1};
            if (t >= 0) {
                if constexpr (kFixed) open &= ~FixedPanel::sure(fq, base, xq, t);
            } else {
                const double qm = s.q * kMargin;
                std::uint64_t sure = 0;
                for (int k = 0; k < lanes; k += 8)
                    sure |= static_cast<std::uint64_t>(Block::sure(A, B, base + k, x, qm)) << k;
                open &= ~sure;
            }
            if (std::popcount(open) > kManyLanes)
                open = Block::narrow(A, B, base, open, x, s.prunes ? s.t2 : 0);
        }
        for (; open != 0; open &= open - 1) {
            const int w = base + __builtin_ctzll(open);
            if (s.offerOne(x, A[w], B[w])) break;
        }
        if constexpr (kFixed)
            if (fixed && base == 0 && n > 64 && n <= kAtOnce * 64 && s.fast && !s.prunedNow())
                if (const std::int16_t t = s.fixedBound(); t >= 0) {
                    // The later stretches at once, against the value the first leaves.
                    std::uint64_t masks[kAtOnce];
                    const int count = (n - 1) / 64;
                    int left = 0;
                    for (int k = 0; k < count && left <= kAtOnceLanes; ++k) {
                        const int at = 64 * (k + 1);
                        masks[k] = lanesAt(at) & ~FixedPanel::sure(fq, at, xq, t);
                        left += std::popcount(masks[k]);
                    }
                    if (left > kAtOnceLanes) continue;  // stretch by stretch then
                    if (left > kManyLanes)
                        Block::narrowMany(A + 64, B + 64, masks, count, x, s.prunes ? s.t2 : 0);
                    for (int k = 0; k < count; ++k)
                        for (std::uint64_t m = masks[k]; m != 0; m &= m - 1) {
                            const int w = 64 * (k + 1) + __builtin_ctzll(m);
                            if (s.offerOne(x, A[w], B[w])) {
                                s.settle();
                                return s.v;
                            }
                        }
                    break;
                }
    }
    s.settle();
    return s.v;
}

__attribute__((target("avx512f,avx512bw"))) double panelRunFixed(
    double v, double x, const double* A, const double* B,
    int n, int skip1, int skip2, double threshold, const FixedRows& fq)
{
    return panelRun<BlockAvx512, true>(v, x, A, B, fq, n, skip1, skip2, threshold);
}

__attribute__((target("avx512f"))) double panelRunAvx512(double v, double x, const double* A,
                                                        const double* B, int n, int skip1,
                                                        int skip2, double threshold)
{
    return panelRun<BlockAvx512>(v, x, A, B, {}, n, skip1, skip2, threshold);
}

__attribute__((target("avx2"))) double panelRunAvx2(double v, double x, const double* A,
                                                   const double* B, int n, int skip1, int skip2,
                                                   double threshold)
{
    return panelRun<BlockAvx2>(v, x, A, B, {}, n, skip1, skip2, threshold);
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

namespace {

// Whether the 16-bit fixed-point lane tests (and the rows they read) run here.
bool fixedPointTests()
{
    static const bool has = __builtin_cpu_supports("avx512bw") &&
                            __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("bmi2");
    return has;
}

}  // namespace

double offerRunWith(int width, double v, double x, const double* A, const double* B, int w0,
                    int w1, int i, int j, double threshold)
{
    if (width == 8) return runAvx512(v, x, A, B, w0, w1, i, j, threshold);
    if (width == 4) return runAvx2(v, x, A, B, w0, w1, i, j, threshold);
    return run<BlockGeneric>(v, x, A, B, w0, w1, i, j, threshold);
}

double offerPanelWith(int width, double v, double x, const double* A, const double* B,
                      const FixedRows& fq, int n, int skip1, int skip2, double threshold)
{
    if (width == 8 && fq.a && fq.b && fixedPointTests())
        return panelRunFixed(v, x, A, B, n, skip1, skip2, threshold, fq);
    if (width == 8) return panelRunAvx512(v, x, A, B, n, skip1, skip2, threshold);
    if (width == 4) return panelRunAvx2(v, x, A, B, n, skip1, skip2, threshold);
    return panelRun<BlockGeneric>(v, x, A, B, {}, n, skip1, skip2, threshold);
}

double offerPanel(double v, double x, const double* A, const double* B, const FixedRows& fq, int n,
                  int skip1, int skip2, double threshold)
{
    static const int width = widestBlockTest();
    return offerPanelWith(width, v, x, A, B, fq, n, skip1, skip2, threshold);
}

bool panelFixedTests() { return widestBlockTest() == 8 && fixedPointTests(); }

namespace {

// fixedPanelRow eight lanes a vector, the last ones one by one.
__attribute__((target("avx512f,avx512bw,avx512vl"))) int fixedPanelLanes(const double* row, int n,
                                                                          std::int16_t* out,
                                                                          int rest, bool& above)
{
    const __m512d one = _mm512_set1_pd(1), scale = _mm512_set1_pd(0x1p15);
    const __m256i most = _mm256_set1_epi32(32767);
    __mmask8 aboveLanes = 0;
    int k = 0;
    for (; k + 8 <= n; k += 8) {
        const __m512d a = _mm512_loadu_pd(row + k), size = _mm512_abs_pd(a);
        const __mmask8 fits = _mm512_cmp_pd_mask(size, one, _CMP_LE_OQ);
        aboveLanes |= _mm512_cmp_pd_mask(size, one, _CMP_GT_OQ);
        const __m256i units =
            _mm256_min_epi32(_mm512_maskz_cvtpd_epi32(fits, _mm512_mul_pd(a, scale)), most);
        const __m512d restA = _mm512_maskz_sqrt_pd(fits, _mm512_sub_pd(one, _mm512_mul_pd(a, a)));
        const __m256i restUnits =
            _mm256_min_epi32(_mm512_maskz_cvtpd_epi32(fits, _mm512_mul_pd(restA, scale)), most);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), _mm256_cvtepi32_epi16(units));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + rest + k), _mm256_cvtepi32_epi16(restUnits));
    }
    above = aboveLanes != 0;
    return k;
}

}  // namespace

bool fixedPanelRow(const double* row, int n, std::int16_t* out, int rest)
{
    bool above = false;
    const int from = fixedPointTests() ? fixedPanelLanes(row, n, out, rest, above) : 0;
    for (int k = from; k < n; ++k) {
        const double a = row[k];
        const bool fits = std::fabs(a) <= 1;
        above |= std::fabs(a) > 1;
        out[k] = fits ? toUnits(a) : std::int16_t{0};
        out[rest + k] = fits ? toUnits(std::sqrt(1 - a * a)) : std::int16_t{0};
    }
    return above;
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
// value) are passed over; every other pair is handled one by one. What the
// test needs of the stored values of a block of eight lanes (Lanes) is taken
// once per block and eight values of c.
struct FirstGeneric {
    struct Lanes {
        double x[8], qm[8];
        unsigned fast;
    };
    static void load(Lanes& l, const double* row, const double* x, unsigned prunedLanes)
    {
        l.fast = 0;
        for (int k = 0; k < 8; ++k) {
            const double q = row[k] * row[k];
            l.x[k] = x[k];
            l.qm[k] = q * kMargin;
            l.fast |= static_cast<unsigned>(moderate(q)) << k;
        }
        l.fast &= prunedLanes;
    }
    static unsigned passed(const Lanes& l, const double* b, double a, double fa)
    {
        unsigned bits = 0;
        for (int k = 0; k < 8; ++k) {
            const double num = l.x[k] - a * b[k];
            const double dq = fa * (1 - b[k] * b[k]) * l.qm[k];
            bits |= static_cast<unsigned>(num * num > dq && dq >= kTinyProduct) << k;
        }
        return bits & l.fast;
    }
};

// The same test in double with AVX-512, on the lanes of `in` (cells outside
// it are not read).
struct FirstAvx512 {
    struct Lanes {
        __m512d x, qm;
        __mmask8 fast, in;
    };
    __attribute__((target("avx512f"))) static void load(Lanes& l, const double* row, const double* x,
                                                        unsigned prunedLanes, __mmask8 in)
    {
        const __m512d v = _mm512_maskz_loadu_pd(in, row);
        const __m512d q = _mm512_mul_pd(v, v);
        l.in = in;
        l.x = _mm512_maskz_loadu_pd(in, x);
        l.qm = _mm512_mul_pd(q, _mm512_set1_pd(kMargin));
        l.fast = static_cast<__mmask8>(prunedLanes) &
                 _mm512_cmp_pd_mask(q, _mm512_set1_pd(0x1p-400), _CMP_GE_OQ) &
                 _mm512_cmp_pd_mask(q, _mm512_set1_pd(0x1p400), _CMP_LE_OQ);
    }
    __attribute__((target("avx512f"))) static unsigned passed(const Lanes& l, const double* b,
                                                             double a, double fa)
    {
        const __m512d bb = _mm512_maskz_loadu_pd(l.in, b);
        const __m512d num = _mm512_sub_pd(l.x, _mm512_mul_pd(_mm512_set1_pd(a), bb));
        const __m512d d = _mm512_mul_pd(_mm512_set1_pd(fa),
                                        _mm512_sub_pd(_mm512_set1_pd(1), _mm512_mul_pd(bb, bb)));
        const __m512d dq = _mm512_mul_pd(d, l.qm);
        return _mm512_cmp_pd_mask(_mm512_mul_pd(num, num), dq, _CMP_GT_OQ) &
               _mm512_cmp_pd_mask(dq, _mm512_set1_pd(kTinyProduct), _CMP_GE_OQ) & l.fast;
    }
};

// The first-order offers of the batch to one pruned pair (i, j) whose stored
// value is v and correlation x, one by one with the test in double of the runs.
inline double firstOrderLane(double v, double x, const CorrRows& corr, const BatchRows& batch,
                             int i, int j)
{
    Stored s(v, std::nan(""));
    for (int c = batch.c0; c < batch.c1; ++c)
        if (c != i && c != j) s.offerOne(x, corr.at(i, c), batch.rows[c - batch.c0][j]);
    s.settle();
    return s.v;
}

template <class L>
[[gnu::always_inline]] inline void firstOrderRow(double* row, const CorrRows& corr,
                                                 const BatchRows& batch, int i, int from, int to,
                                                 int skip, double threshold, std::vector<int>& open)
{
    const int c0 = batch.c0, c1 = batch.c1;
    const double* xi = corr.upper(i);  // the cells j > i of row i
    // The offer given c to the pair (i, j), exactly.
    auto exact = [&](int j, int c) {
        const double a = corr.at(i, c), b = batch.rows[c - c0][j];
        offer(row[j], (xi[j] - a * b) / std::sqrt((1 - a * a) * (1 - b * b)));
    };
    int j = from;
    for (; j + 8 <= to; j += 8) {
        unsigned prunedLanes = 0;
        for (int k = 0; k < 8; ++k) {
            if (j + k == skip) continue;
            if (pruned(row[j + k], threshold)) prunedLanes |= 1u << k;
            else open.push_back(j + k);
        }
        if (prunedLanes == 0) continue;
        typename L::Lanes lanes;
        L::load(lanes, row + j, xi + j, prunedLanes);
        // Eight values of c at a time: bit 8 * (c - c8) + k of left when the
        // offer given c to lane k must be made. A lane sure not to replace
        // stays so while its stored magnitude shrinks, so the offers made are
        // those of the lanes left, in ascending c.
        for (int c8 = c0; c8 < c1; c8 += 8) {
            std::uint64_t left = 0;
            for (int c = c8; c < std::min(c1, c8 + 8); ++c) {
                if (c == i) continue;
                const double a = corr.at(i, c);
                unsigned lanesC = prunedLanes & ~L::passed(lanes, batch.rows[c - c0] + j, a, 1 - a * a);
                if (static_cast<unsigned>(c - j) < 8) lanesC &= ~(1u << (c - j));
                left |= static_cast<std::uint64_t>(lanesC) << (8 * (c - c8));
            }
            if (left == 0) continue;
            for (; left != 0; left &= left - 1) {
                const int bit = __builtin_ctzll(left);
                exact(j + bit % 8, c8 + bit / 8);
            }
            L::load(lanes, row + j, xi + j, prunedLanes);
        }
    }
    for (; j < to; ++j) {
        if (j == skip) continue;
        if (!pruned(row[j], threshold)) {
            open.push_back(j);
            continue;
        }
        row[j] = firstOrderLane(row[j], xi[j], corr, batch, i, j);
    }
}

// The second-order offers of a pair (i, j) given (c, w) are tested in
// stretches of lanes w without forming the first-order coefficients. With g
// the row of c, e = 1 - g[w] * g[w], ai = Ci[c], fi = 1 - ai * ai and
// u = Ci[w] - ai * g[w] (likewise aj, fj, v for j), the exact coefficients are
// Fi = u / sqrt(fi * e) and Fj = v / sqrt(fj * e), and with k = sqrt(fi * fj)
// the test num^2 > D * q of an offer (num = x - Fi * Fj, D = (1 - Fi^2) *
// (1 - Fj^2)) reads, multiplied through by (e * k)^2,
//     n^2 > Pi * Pj * q,  n = x * k * e - u * v,  Pi = fi * e - u^2,  Pj = fj * e - v^2,
// with no division or square root per lane. Each of n, Pi and Pj is within
// 2^-47 of its value from the exact coefficients; with |n| and both P at
// least 2^-18 that is a relative 2^-29, and a test passed by a relative margin
// of 2^-24 is passed by the exact values with room for the roundings of
// kMargin. The test is a filter only: these values never reach a result, so
// they may be fused.
constexpr double kScreen = 1 + 0x1p-24;
constexpr double kFloor = 0x1p-18;

// The same test in single precision first, from the rows and the pair's values
// rounded to float: n, Pi and Pj are then within 2^-20 of their exact values,
// a relative 2^-12 with |n| and both P at least 2^-8, and a margin of 2^-7
// covers that and the roundings. A lane it cannot decide goes to the test in
// double precision. It needs q within [2^-60, 2^60].
constexpr double kScreenSingle = 1 + 0x1p-7;
constexpr float kFloorSingle = 0x1p-8f;

struct GivenCSingle {
    const float *Ci, *Cj, *g, *e;  // whole rows
    float xk, ai, aj, fi, fj;
};

// What the lanes of one pair given one c share: the rows (Ci and Cj from the
// first lane tested, g and e whole) and, for the pair, x, x * k, ai, aj, fi
// and fj.
struct GivenC {
    const double *Ci, *Cj, *g, *e;
    double x, xk, ai, aj, fi, fj;
};

struct SecondGeneric {
    static constexpr bool kSingle = false;
    static std::uint64_t sureSingle(const GivenCSingle&, int, int, float) { return 0; }
    static void convert(float*, const double*, int, int) {}
    // Bit k set when the offer of w = base + k (k < lanes <= 64) is sure not
    // to replace a stored value whose square is about q (qm = q * kScreen);
    // p.Ci and p.Cj start at lane base.
    static std::uint64_t sure(const GivenC& p, int base, int lanes, double qm)
    {
        std::uint64_t bits = 0;
        for (int k = 0; k < lanes; ++k) {
            const int w = base + k;
            const double u = p.Ci[k] - p.ai * p.g[w], v = p.Cj[k] - p.aj * p.g[w];
            const double n = p.xk * p.e[w] - u * v;
            const double pi = p.fi * p.e[w] - u * u, pj = p.fj * p.e[w] - v * v;
            const double nn = n * n, dq = pi * pj * qm;
            bits |= static_cast<std::uint64_t>(nn > dq && dq >= kFloor * kFloor && pi >= kFloor &&
                                               pj >= kFloor)
                    << k;
        }
        return bits;
    }
};

struct SecondAvx512 {
    static constexpr bool kSingle = true;
    // Cells [from, to) of a row in single precision.
    __attribute__((target("avx512f"))) static void convert(float* out, const double* row, int from,
                                                          int to)
    {
        int w = from;
        for (; w + 8 <= to; w += 8)
            _mm256_storeu_ps(out + w, _mm512_maskz_cvtpd_ps(0xff, _mm512_loadu_pd(row + w)));
        for (; w < to; ++w) out[w] = static_cast<float>(row[w]);
    }
    // The single-precision test of 16 lanes (those of `in`) from their cells.
    __attribute__((target("avx512f"), always_inline)) static inline __mmask16 blockSingle(
        const GivenCSingle& p, float qm, __m512 ci, __m512 cj, __m512 g, __m512 e, __mmask16 in)
    {
        const __m512 u = _mm512_fnmadd_ps(_mm512_set1_ps(p.ai), g, ci);
        const __m512 v = _mm512_fnmadd_ps(_mm512_set1_ps(p.aj), g, cj);
        const __m512 n = _mm512_fmsub_ps(_mm512_set1_ps(p.xk), e, _mm512_mul_ps(u, v));
        const __m512 pi = _mm512_fnmadd_ps(u, u, _mm512_mul_ps(_mm512_set1_ps(p.fi), e));
        const __m512 pj = _mm512_fnmadd_ps(v, v, _mm512_mul_ps(_mm512_set1_ps(p.fj), e));
        const __m512 dq = _mm512_mul_ps(_mm512_mul_ps(pi, pj), _mm512_set1_ps(qm));
        const __m512 nn = _mm512_mul_ps(n, n);
        return _mm512_mask_cmp_ps_mask(in, nn, dq, _CMP_GT_OQ) &
               _mm512_cmp_ps_mask(nn, _mm512_set1_ps(kFloorSingle * kFloorSingle), _CMP_GE_OQ) &
               _mm512_cmp_ps_mask(_mm512_maskz_min_ps(in, pi, pj), _mm512_set1_ps(kFloorSingle),
                                  _CMP_GE_OQ);
    }
    // The single-precision test of up to 64 lanes: bit k set when the offer
    // of w = base + k is sure not to replace.
    __attribute__((target("avx512f"))) static std::uint64_t sureSingle(const GivenCSingle& p,
                                                                      int base, int lanes, float qm)
    {
        const float *Ci = p.Ci + base, *Cj = p.Cj + base, *G = p.g + base, *E = p.e + base;
        // Whole vectors are read as such; a last, partial one under a mask.
        std::uint64_t bits = 0;
        int k = 0;
        for (; k + 16 <= lanes; k += 16)
            bits |= static_cast<std::uint64_t>(
                        blockSingle(p, qm, _mm512_loadu_ps(Ci + k), _mm512_loadu_ps(Cj + k),
                                    _mm512_loadu_ps(G + k), _mm512_loadu_ps(E + k), 0xffff))
                    << k;
        if (k < lanes) {
            const __mmask16 in = static_cast<__mmask16>((1u << (lanes - k)) - 1);
            bits |= static_cast<std::uint64_t>(
                        blockSingle(p, qm, _mm512_maskz_loadu_ps(in, Ci + k), _mm512_maskz_loadu_ps(in, Cj + k),
                                    _mm512_maskz_loadu_ps(in, G + k), _mm512_maskz_loadu_ps(in, E + k), in))
                    << k;
        }
        return bits;
    }
    __attribute__((target("avx512f"))) static std::uint64_t sure(const GivenC& p, int base,
                                                                int lanes, double qm)
    {
        const double *Ci = p.Ci, *Cj = p.Cj, *G = p.g + base, *E = p.e + base;
        const __m512d ai = _mm512_set1_pd(p.ai), aj = _mm512_set1_pd(p.aj);
        const __m512d xk = _mm512_set1_pd(p.xk), fi = _mm512_set1_pd(p.fi), fj = _mm512_set1_pd(p.fj);
        const __m512d q = _mm512_set1_pd(qm), floor = _mm512_set1_pd(kFloor);
        const __m512d floor2 = _mm512_set1_pd(kFloor * kFloor);
        std::uint64_t bits = 0;
        for (int k = 0; k < lanes; k += 8) {
            const __mmask8 in = lanes - k >= 8 ? 0xff : static_cast<__mmask8>((1u << (lanes - k)) - 1);
            const __m512d g = _mm512_maskz_loadu_pd(in, G + k), e = _mm512_maskz_loadu_pd(in, E + k);
            const __m512d u = _mm512_fnmadd_pd(ai, g, _mm512_maskz_loadu_pd(in, Ci + k));
            const __m512d v = _mm512_fnmadd_pd(aj, g, _mm512_maskz_loadu_pd(in, Cj + k));
            const __m512d n = _mm512_fmsub_pd(xk, e, _mm512_mul_pd(u, v));
            const __m512d pi = _mm512_fnmadd_pd(u, u, _mm512_mul_pd(fi, e));
            const __m512d pj = _mm512_fnmadd_pd(v, v, _mm512_mul_pd(fj, e));
            const __m512d dq = _mm512_mul_pd(_mm512_mul_pd(pi, pj), q);
            // A not-a-number P makes dq one, so the smaller P may be tested alone.
            const __mmask8 m = _mm512_cmp_pd_mask(_mm512_mul_pd(n, n), dq, _CMP_GT_OQ) &
                               _mm512_cmp_pd_mask(dq, floor2, _CMP_GE_OQ) &
                               _mm512_cmp_pd_mask(_mm512_maskz_min_pd(in, pi, pj), floor, _CMP_GE_OQ);
            bits |= static_cast<std::uint64_t>(m) << k;
        }
        return bits;
    }
};

// Makes cells [r.from, end) of r hold row `row` of corr in single precision,
// from = c0 + 1 for the batch starting at c0.
template <class Second>
[[gnu::always_inline]] inline const float* singleRow(SingleRow& r, const CorrRows& corr, int row,
                                                     int from, int end)
{
    if (r.row != row || r.from != from) {
        if (r.cells.size() < static_cast<size_t>(corr.V)) r.cells.resize(corr.V);
        r.row = row;
        r.from = r.to = from;
    }
    if (end > r.to) {
        // Cells up to the diagonal from the lower part, the others from the upper.
        const int split = std::min(end, row + 1);
        if (r.to < split) Second::convert(r.cells.data(), (*corr.lower)[row], r.to, split);
        const int start = std::max(r.to, row + 1);
        if (start < end) Second::convert(r.cells.data(), corr.upper(row), start, end);
        r.to = end;
    }
    return r.cells.data();
}

// Cells [w, w + n) of row r of corr into out.
inline void gatherRow(const CorrRows& corr, int r, int w, int n, double* out)
{
    for (int k = 0; k < n; ++k) out[k] = corr.at(r, w + k);
}

template <class Second>
[[gnu::always_inline]] inline double secondOrder(double v, const CorrRows& corr,
                                                 const BatchRows& batch, SingleRows& scratch, int i,
                                                 int j, double threshold)
{
    // A stored not-a-number is never replaced nor pruned.
    if (std::isnan(v)) return v;
    const int V = corr.V, c0 = batch.c0;
    const double cij = corr.upper(i)[j];
    double ci[64], cj[64];  // cells of the rows of i and j for the tests in double
    for (int c = c0; c < batch.c1; ++c) {
        if (c == i || c == j) continue;
        const double ai = corr.at(i, c), aj = corr.at(j, c);
        const double fi = 1 - ai * ai, fj = 1 - aj * aj;
        // A pruned pair takes only this offer, mostly sure not to replace.
        if (pruned(v, threshold)) {
            const double num = cij - ai * aj, q = v * v;
            const double dq = fi * fj * (q * kMargin);
            if (moderate(q) && num * num > dq && dq >= kTinyProduct) continue;
        }
        const double k = std::sqrt(fi * fj);
        const double x = (cij - ai * aj) / k;
        offer(v, x);
        // With x not a number, no second-order coefficient is a number.
        if (pruned(v, threshold) || std::isnan(x)) continue;
        GivenC p{ci, cj, batch.rows[c - c0], batch.rest[c - c0], x, x * k, ai, aj, fi, fj};
        const long at = static_cast<long>(c - c0) * V;
        GivenCSingle ps{nullptr,
                        nullptr,
                        batch.g.data() + at,
                        batch.e.data() + at,
                        static_cast<float>(p.xk),
                        static_cast<float>(ai),
                        static_cast<float>(aj),
                        static_cast<float>(fi),
                        static_cast<float>(fj)};
        // The lane test holds for a correlation matrix: |x * k| <= 2, fi, fj > 0.
        const bool screen = fi > 0 && fj > 0 && std::fabs(p.xk) <= 2;
        // The exact first-order coefficient of a (a = corr[r][c]) with w given c.
        auto exact = [&](int r, double a, double fa, int w) {
            return (corr.at(r, w) - a * p.g[w]) / std::sqrt(fa * p.e[w]);
        };
        Stored s(v, threshold);
        bool stop = false;
        for (int base = c + 1; base < V && !stop; base += 64) {
            const int lanes = std::min(64, V - base);
            std::uint64_t open = lanes == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << lanes) - 1;
            if (static_cast<unsigned>(i - base) < 64) open &= ~(std::uint64_t{1} << (i - base));
            if (static_cast<unsigned>(j - base) < 64) open &= ~(std::uint64_t{1} << (j - base));
            if (s.fast && screen) {
                const double qm = s.q * kScreen;
                if (Second::kSingle && s.q >= 0x1p-60 && s.q <= 0x1p60) {
                    ps.Ci = singleRow<Second>(scratch.i, corr, i, 0, base + lanes);
                    ps.Cj = singleRow<Second>(scratch.j, corr, j, c0 + 1, base + lanes);
                    std::uint64_t sure = Second::sureSingle(ps, base, lanes,
                                                            static_cast<float>(s.q * kScreenSingle));
                    // Groups of eight lanes with a lane left go through the test in double.
                    for (std::uint64_t left = open & ~sure; left != 0;) {
                        const int g8 = __builtin_ctzll(left) / 8 * 8, n8 = std::min(8, lanes - g8);
                        gatherRow(corr, i, base + g8, n8, ci);
                        gatherRow(corr, j, base + g8, n8, cj);
                        sure |= Second::sure(p, base + g8, n8, qm) << g8;
                        left &= ~(std::uint64_t{0xff} << g8);
                    }
                    open &= ~sure;
                } else {
                    gatherRow(corr, i, base, lanes, ci);
                    gatherRow(corr, j, base, lanes, cj);
                    open &= ~Second::sure(p, base, lanes, qm);
                }
            }
            for (; open != 0; open &= open - 1) {
                const int w = base + __builtin_ctzll(open);
                if (s.offerOne(x, exact(i, ai, fi, w), exact(j, aj, fj, w))) {
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

// The first-order block test in 16-bit fixed point first, 32 lanes a vector.
// With |a| <= 1 and |b| <= 1 the computed D = (1 - a^2)(1 - b^2) is at most
// 1, so the coefficient's magnitude is at least that of its computed
// numerator num = x - a * b (the division rounds monotonically; D = 0 gives no
// number), and an offer whose |num| exceeds the stored |v| never replaces.
// With a, b and x in units of 2^-15, each within one unit (rounded in any
// mode, 1 taken as 32767), the product of a and b rounded to units of 2^-15
// is within 1 + 1 + 1/2 (its rounding) + 2^-15 units of a * b * 2^15, and the
// difference N within 3.5 + 2^-15 units of num * 2^15 (saturation only lowers
// a magnitude). |N| > T with T = ceil(|v| * 2^15) + 4 then leaves |num| above
// |v| by more than 2^-15, far more than the roundings of the computed num. A
// lane with |b| > 1 gives no coefficient that replaces (D <= 0 when |a| <=
// 1), so its b is taken as 0; a lane whose |x| is above 1 or not a number gets
// T = 65535 and never passes; a c with |a| > 1 leaves every lane to the test
// in double.
inline std::int16_t toFixed(double scaled)
{
    return scaled >= 32767 ? std::int16_t{32767}
                           : static_cast<std::int16_t>(_mm_cvtsd_si32(_mm_set_sd(scaled)));
}

inline std::int16_t fixedB(double b) { return std::fabs(b) <= 1 ? toFixed(b * 0x1p15) : 0; }

// The fixed-point x and bound T of a lane whose correlation is x and stored value v.
inline void fixedLane(double x, double v, std::int16_t& xq, std::uint16_t& tq)
{
    const bool fits = std::fabs(x) <= 1;
    xq = fits ? toFixed(x * 0x1p15) : std::int16_t{0};
    const double t = std::ceil(std::fabs(v) * 0x1p15) + 4;
    tq = fits && t < 65535 ? static_cast<std::uint16_t>(t) : std::uint16_t{65535};
}

__attribute__((target("avx512f,avx512bw,avx512vl,bmi2"))) void firstOrderRowFixed(
    double* row, const CorrRows& corr, const BatchRows& batch, SingleRows& scratch, int i, int from,
    int to, int skip, double threshold, std::vector<int>& open)
{
    const int c0 = batch.c0, n = batch.c1 - batch.c0;
    const double* xi = corr.upper(i);  // the cells j > i of row i
    auto exact = [&](int j, int c) {
        const double a = corr.at(i, c), b = batch.rows[c - c0][j];
        offer(row[j], (xi[j] - a * b) / std::sqrt((1 - a * a) * (1 - b * b)));
    };
    // Blocks of eight lanes from `from`, the last one under a mask.
    const int lanesAll = to - from, blocks = (lanesAll + 7) / 8;
    auto blockLanes = [&](int k) {
        return static_cast<__mmask8>(lanesAll - 8 * k >= 8 ? 0xffu : (1u << (lanesAll - 8 * k)) - 1);
    };
    if (blocks > 0) {
        const int chunks = (blocks + 3) / 4;  // of four blocks, one vector
        const int groups = (n + 7) / 8;       // of eight values of c
        if (scratch.xq.size() < static_cast<size_t>(32 * chunks)) {
            scratch.xq.resize(32 * chunks);
            scratch.tq.resize(32 * chunks);
            scratch.left.resize(4 * chunks);
        }
        if (scratch.given.size() < static_cast<size_t>(8 * chunks * groups))
            scratch.given.resize(8 * chunks * groups);
        // Lane l from `from`: its x and bound T in xq[l] and tq[l]; left[k]
        // the pruned lanes of block k (zeros past the last); given[8 (r
        // chunks + q) + d] the lanes of chunk q that the fixed-point test
        // leaves given the c of offset d in group r.
        std::int16_t* xq = scratch.xq.data();
        std::uint16_t* tq = scratch.tq.data();
        unsigned char* left = scratch.left.data();
        std::uint32_t* given = scratch.given.data();
        const __m512d t = _mm512_set1_pd(threshold);
        unsigned anyPruned = 0;
        for (int k = 0; k < blocks; ++k) {
            const int j = from + 8 * k;
            const __mmask8 in = blockLanes(k);
            const __m512d v = _mm512_maskz_loadu_pd(in, row + j);
            const __m512d absV = _mm512_abs_pd(v);
            const unsigned skipped = static_cast<unsigned>(skip - j) < 8 ? 1u << (skip - j) : 0u;
            const unsigned prunedLanes = _mm512_cmp_pd_mask(t, absV, _CMP_GT_OQ) & ~skipped & in;
            for (unsigned o = ~(prunedLanes | skipped) & in; o != 0; o &= o - 1)
                open.push_back(j + __builtin_ctz(o));
            left[k] = static_cast<unsigned char>(prunedLanes);
            anyPruned |= prunedLanes;
            // The lanes as fixedLane forms them (min gives 65535 for a bound
            // that is not a number).
            const __m512d x = _mm512_maskz_loadu_pd(in, xi + j);
            const __mmask8 xFits = _mm512_cmp_pd_mask(_mm512_abs_pd(x), _mm512_set1_pd(1), _CMP_LE_OQ);
            const __m512d xs = _mm512_maskz_min_pd(0xff, _mm512_mul_pd(x, _mm512_set1_pd(0x1p15)),
                                                   _mm512_set1_pd(32767));
            const __m256i x32 = _mm512_maskz_cvtpd_epi32(xFits, xs);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(xq + 8 * k), _mm256_cvtepi32_epi16(x32));
            const __m512d bound = _mm512_maskz_min_pd(
                0xff,
                _mm512_add_pd(_mm512_maskz_roundscale_pd(0xff, _mm512_mul_pd(absV, _mm512_set1_pd(0x1p15)),
                                                         _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC),
                              _mm512_set1_pd(4)),
                _mm512_set1_pd(65535));
            const __m256i t32 = _mm512_mask_cvtpd_epi32(_mm256_set1_epi32(65535), xFits, bound);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(tq + 8 * k),
                             _mm256_maskz_cvtusepi32_epi16(0xff, t32));
        }
        std::memset(left + blocks, 0, 4 * chunks - blocks);
        // The fixed-point test over the row for every c, eight values of c at
        // a time, against the values the row holds now: a lane it passes
        // stays sure not to replace while its stored value shrinks.
        for (int g0 = 0; g0 < n && anyPruned != 0; g0 += 8) {
            const int g1 = std::min(n, g0 + 8);
            std::uint32_t* givenG = given + 8 * chunks * (g0 / 8);
            __m512i aq[8];
            const std::int16_t* H[8];
            bool none[8], all[8];
            for (int d = 0; d < 8; ++d) {
                const int c = c0 + g0 + d;
                const double a = g0 + d < g1 ? corr.at(i, c) : 0.0;
                // No offers given i (or past the batch); |a| above 1 goes to the test in double.
                none[d] = g0 + d >= g1 || c == i;
                all[d] = !none[d] && !(std::fabs(a) <= 1);
                aq[d] = _mm512_set1_epi16(none[d] || all[d] ? std::int16_t{0} : toFixed(a * 0x1p15));
                H[d] = batch.h.data() + static_cast<long>(none[d] ? 0 : g0 + d) * corr.V + from;
            }
            for (int q = 0; q < chunks; ++q) {
                const int l = 32 * q, lanes = std::min(32, lanesAll - l);
                const __mmask32 in = lanes == 32 ? ~__mmask32{0} : (__mmask32{1} << lanes) - 1;
                const __m512i x = _mm512_loadu_si512(xq + l);
                const __m512i bound = _mm512_loadu_si512(tq + l);
                std::uint32_t prunedLanes;
                std::memcpy(&prunedLanes, left + 4 * q, 4);
                for (int d = 0; d < 8; ++d) {
                    const __m512i b = _mm512_maskz_loadu_epi16(in, H[d] + l);
                    const __m512i num = _mm512_abs_epi16(_mm512_subs_epi16(x, _mm512_mulhrs_epi16(aq[d], b)));
                    const std::uint32_t sure = _mm512_cmpgt_epu16_mask(num, bound);
                    givenG[8 * q + d] = none[d] ? 0u : all[d] ? prunedLanes : prunedLanes & ~sure;
                }
            }
        }
        // The rows of c at the lanes left, wanted next from far away in memory.
        for (int g0 = 0; g0 < n && anyPruned != 0; g0 += 8) {
            const std::uint32_t* givenG = given + 8 * chunks * (g0 / 8);
            for (int q = 0; q < chunks; ++q) {
                const __m256i g = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(givenG + 8 * q));
                if (_mm256_testz_si256(g, g)) continue;
                for (int d = 0; d < 8; ++d)
                    for (std::uint32_t m = givenG[8 * q + d]; m != 0;) {
                        const int lane = __builtin_ctz(m) & ~7;  // the first of its block
                        m &= ~(0xffu << lane);
                        const double* b = batch.rows[g0 + d] + from + 32 * q + lane;
                        _mm_prefetch(reinterpret_cast<const char*>(b), _MM_HINT_T0);
                        _mm_prefetch(reinterpret_cast<const char*>(b + 7), _MM_HINT_T0);
                    }
            }
        }
        // Then the lanes left, eight values of c at a time, block by block
        // and c by c: the test in double, then the exact offers.
        for (int g0 = 0; g0 < n && anyPruned != 0; g0 += 8) {
            const std::uint32_t* givenG = given + 8 * chunks * (g0 / 8);
            for (int q = 0; q < chunks; ++q) {
                const __m256i g = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(givenG + 8 * q));
                if (_mm256_testz_si256(g, g)) continue;
                // Bit 4 d + b: lanes of block b left given the c of offset d.
                const std::uint32_t any = _mm256_cmpneq_epi8_mask(g, _mm256_setzero_si256());
                for (int k = 4 * q; k < std::min(blocks, 4 * q + 4); ++k) {
                    const int j = from + 8 * k, shift = 8 * (k - 4 * q);
                    FirstAvx512::Lanes lanes;
                    bool loaded = false;
                    unsigned changed = 0;
                    for (unsigned ds = _pext_u32(any, 0x11111111u << (k - 4 * q)); ds != 0; ds &= ds - 1) {
                        const int d = __builtin_ctz(ds);
                        unsigned lanesC = (givenG[8 * q + d] >> shift) & 0xffu;
                        const int cc = g0 + d, c = c0 + cc;
                        if (static_cast<unsigned>(c - j) < 8) lanesC &= ~(1u << (c - j));
                        if (lanesC == 0) continue;
                        if (!loaded) {
                            FirstAvx512::load(lanes, row + j, xi + j, left[k], blockLanes(k));
                            loaded = true;
                        }
                        const double a = corr.at(i, c);
                        lanesC &= ~FirstAvx512::passed(lanes, batch.rows[cc] + j, a, 1 - a * a);
                        for (; lanesC != 0; lanesC &= lanesC - 1) {
                            exact(j + __builtin_ctz(lanesC), c);
                            changed |= lanesC & -lanesC;
                            loaded = false;
                        }
                    }
                    for (; changed != 0; changed &= changed - 1) {
                        const int w = j + __builtin_ctz(changed);
                        fixedLane(xi[w], row[w], xq[w - from], tq[w - from]);
                    }
                }
            }
        }
    }
}

__attribute__((target("avx512f"))) double secondOrderAvx512(double v, const CorrRows& corr,
                                                            const BatchRows& batch,
                                                            SingleRows& scratch, int i, int j,
                                                            double threshold)
{
    return secondOrder<SecondAvx512>(v, corr, batch, scratch, i, j, threshold);
}

}  // namespace

void sizeBatch(int V, int c0, int c1, BatchRows& batch)
{
    batch.c0 = c0;
    batch.c1 = c1;
    if (batch.rows.rows() < c1 - c0 || batch.rows.cols() != V) {
        batch.rows = Matrix(c1 - c0, V);
        batch.rest = Matrix(c1 - c0, V);
    }
    const size_t cells = static_cast<size_t>(c1 - c0) * V;
    if (batch.g.size() < cells) {
        batch.g.resize(cells);
        batch.e.resize(cells);
        batch.h.resize(cells);
    }
}

namespace {

// Cells [0, n) of hs: those of g in fixed point, as fixedB forms them.
__attribute__((target("avx512f,avx512bw,avx512vl"))) void fixedRowAvx512(const double* g,
                                                                       std::int16_t* hs, int n)
{
    int w = 0;
    for (; w + 8 <= n; w += 8) {
        const __m512d b = _mm512_loadu_pd(g + w);
        const __mmask8 fits = _mm512_cmp_pd_mask(_mm512_abs_pd(b), _mm512_set1_pd(1), _CMP_LE_OQ);
        const __m512d scaled = _mm512_maskz_min_pd(0xff, _mm512_mul_pd(b, _mm512_set1_pd(0x1p15)),
                                                   _mm512_set1_pd(32767));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(hs + w),
                         _mm256_cvtepi32_epi16(_mm512_maskz_cvtpd_epi32(fits, scaled)));
    }
    for (; w < n; ++w) hs[w] = fixedB(g[w]);
}

}  // namespace

void prepareBatchRow(int V, const CorrRows& corr, int c, BatchRows& batch)
{
    const int c0 = batch.c0;
    double* g = batch.rows[c - c0];
    std::copy((*corr.lower)[c], (*corr.lower)[c] + c + 1, g);
    std::copy(corr.upper(c) + c + 1, corr.upper(c) + V, g + c + 1);
    double* rest = batch.rest[c - c0];
    float* gs = batch.g.data() + static_cast<long>(c - c0) * V;
    float* es = batch.e.data() + static_cast<long>(c - c0) * V;
    std::int16_t* hs = batch.h.data() + static_cast<long>(c - c0) * V;
    for (int w = 0; w < V; ++w) {
        rest[w] = 1 - g[w] * g[w];
        gs[w] = static_cast<float>(g[w]);
        es[w] = static_cast<float>(rest[w]);
    }
    if (fixedPointTests())
        fixedRowAvx512(g, hs, V);
    else
        for (int w = 0; w < V; ++w) hs[w] = fixedB(g[w]);
}

void prepareBatch(int V, const CorrRows& corr, int c0, int c1, BatchRows& batch)
{
    sizeBatch(V, c0, c1, batch);
    for (int c = c0; c < c1; ++c) prepareBatchRow(V, corr, c, batch);
}

void offerFirstOrderWith(int width, double* row, const CorrRows& corr, const BatchRows& batch,
                         SingleRows& scratch, int i, int from, int to, int skip, double threshold,
                         std::vector<int>& open)
{
    if (width == 8 && fixedPointTests())
        return firstOrderRowFixed(row, corr, batch, scratch, i, from, to, skip, threshold, open);
    firstOrderRow<FirstGeneric>(row, corr, batch, i, from, to, skip, threshold, open);
}

void offerFirstOrder(double* row, const CorrRows& corr, const BatchRows& batch,
                     SingleRows& scratch, int i, int from, int to, int skip, double threshold,
                     std::vector<int>& open)
{
    static const int width = widestBlockTest();
    offerFirstOrderWith(width, row, corr, batch, scratch, i, from, to, skip, threshold, open);
}

double offerSecondOrderWith(int width, double v, const CorrRows& corr, const BatchRows& batch,
                            SingleRows& scratch, int i, int j, double threshold)
{
    if (width == 8) return secondOrderAvx512(v, corr, batch, scratch, i, j, threshold);
    return secondOrder<SecondGeneric>(v, corr, batch, scratch, i, j, threshold);
}

double offerSecondOrder(double v, const CorrRows& corr, const BatchRows& batch,
                        SingleRows& scratch, int i, int j, double threshold)
{
    static const int width = widestBlockTest();
    return offerSecondOrderWith(width, v, corr, batch, scratch, i, j, threshold);
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

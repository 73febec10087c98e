// The panel runs of the first-order sweep: a run of offers to one pair over
// the lanes of its two panel rows, decided 64 lanes (a stretch) at a time.
// Blocks of eight offers that are all sure not to replace cost a few
// multiplications each (the block tests, one form per instruction set);
// where the processor has AVX2, or AVX-512 BW and VL, the lanes are tested in
// 16-bit fixed point first (FixedAvx2, FixedAvx512), 16 or 32 a vector, with
// error bounds that make a lane it passes sure in double too. Before any of
// that, a stretch whose two peaks (the largest magnitudes of its lanes in
// each row) show that none of its offers can replace is passed over whole
// (noneBelow). The literal form is the literal first-order sweep's run of
// offers (sweep1.cpp).
#include "panel_runs.h"

#include "lanes.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <type_traits>

#include <immintrin.h>

namespace {

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
    // narrowGeneric four lanes a vector: the same estimates (one division
    // each), the same smallest and the same lanes kept. Blocks of four that
    // hold no open lane are not read; the others are read whole (the rows are
    // readable up to n rounded up to 8).
    static constexpr int kBlocks = 16;
    __attribute__((target("avx2,popcnt"))) static std::uint64_t narrow(
        const double* A, const double* B, int base, std::uint64_t open, double x, double t2)
    {
        const __m256d one = _mm256_set1_pd(1), xs = _mm256_set1_pd(x);
        const __m256d lo = _mm256_set1_pd(0x1p-400), hi = _mm256_set1_pd(0x1p400);
        int first[kBlocks], blocks = 0;
        __m256d nns[kBlocks], ds[kBlocks], regs[kBlocks];
        __m256d least = _mm256_set1_pd(std::numeric_limits<double>::infinity());
        for (std::uint64_t left = open; left != 0; ++blocks) {
            const int lane = __builtin_ctzll(left) & ~3;
            left &= ~(std::uint64_t{0xf} << lane);
            const __m256d a = _mm256_loadu_pd(A + base + lane), b = _mm256_loadu_pd(B + base + lane);
            const __m256d num = _mm256_sub_pd(xs, _mm256_mul_pd(a, b));
            const __m256d d = _mm256_mul_pd(_mm256_sub_pd(one, _mm256_mul_pd(a, a)),
                                            _mm256_sub_pd(one, _mm256_mul_pd(b, b)));
            const __m256d nn = _mm256_mul_pd(num, num);
            const unsigned in = static_cast<unsigned>(open >> lane) & 0xfu;
            const __m256i bits = _mm256_set_epi64x(8, 4, 2, 1);
            const __m256d inLanes = _mm256_castsi256_pd(_mm256_cmpeq_epi64(
                _mm256_and_si256(_mm256_set1_epi64x(in), bits), bits));
            const __m256d r = _mm256_and_pd(
                _mm256_and_pd(inLanes, _mm256_and_pd(_mm256_cmp_pd(nn, lo, _CMP_GE_OQ),
                                                     _mm256_cmp_pd(nn, hi, _CMP_LE_OQ))),
                _mm256_and_pd(_mm256_cmp_pd(d, lo, _CMP_GE_OQ), _mm256_cmp_pd(d, hi, _CMP_LE_OQ)));
            least = _mm256_min_pd(least, _mm256_blendv_pd(least, _mm256_div_pd(nn, d), r));
            first[blocks] = lane;
            nns[blocks] = nn;
            ds[blocks] = d;
            regs[blocks] = r;
        }
        alignas(32) double q[4];
        _mm256_store_pd(q, least);
        const double bound = std::max(*std::min_element(q, q + 4), t2);
        if (!moderate(bound)) return open;
        const __m256d bm = _mm256_set1_pd(bound * kMargin);
        for (int e = 0; e < blocks; ++e) {
            const __m256d far = _mm256_cmp_pd(nns[e], _mm256_mul_pd(ds[e], bm), _CMP_GT_OQ);
            const __m256d drop = _mm256_and_pd(regs[e], far);
            open &= ~(static_cast<std::uint64_t>(_mm256_movemask_pd(drop)) << first[e]);
        }
        return open;
    }
    // narrow over the stretches k in [0, count) of lanes masks[k], each on its
    // own: a lane dropped against the smallest estimate of its stretch is
    // dropped against the smallest of them all too.
    static void narrowMany(const double* A, const double* B, std::uint64_t* masks, int count,
                           double x, double t2)
    {
        for (int k = 0; k < count; ++k)
            if (masks[k] != 0) masks[k] = narrow(A + 64 * k, B + 64 * k, 0, masks[k], x, t2);
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
struct FixedAvx512 {
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

// The same test with AVX2, 16 lanes a vector: the same lanes pass. AVX2 has
// no unsigned 16-bit comparison, so both sides are moved down by 2^15 and
// compared signed.
struct FixedAvx2 {
    __attribute__((target("avx2"))) static __m256i load(const std::int16_t* p)
    {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    }
    // The lanes of 16 that the test passes, as words of all ones.
    __attribute__((target("avx2"))) static __m256i sure16(const std::int16_t* Aq,
                                                          const std::int16_t* Bq, int rest,
                                                          __m256i xq, __m256i tq)
    {
        const __m256i a = load(Aq), b = load(Bq), ra = load(Aq + rest), rb = load(Bq + rest);
        const __m256i flip = _mm256_set1_epi16(std::numeric_limits<std::int16_t>::min());
        const __m256i num = _mm256_abs_epi16(_mm256_subs_epi16(xq, _mm256_mulhrs_epi16(a, b)));
        const __m256i bound = _mm256_adds_epu16(
            _mm256_mulhrs_epi16(_mm256_mulhrs_epi16(ra, rb), tq), _mm256_set1_epi16(7));
        return _mm256_cmpgt_epi16(_mm256_xor_si256(num, flip), _mm256_xor_si256(bound, flip));
    }
    // The lanes of 32 that the test passes, bit k for lane k.
    __attribute__((target("avx2"))) static std::uint64_t half(const std::int16_t* Aq,
                                                             const std::int16_t* Bq, int rest,
                                                             __m256i xq, __m256i tq)
    {
        const __m256i low = sure16(Aq, Bq, rest, xq, tq);
        const __m256i high = sure16(Aq + 16, Bq + 16, rest, xq, tq);
        // packs takes 128 bits of each in turn: put the quarters back in order.
        const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packs_epi16(low, high), 0xd8);
        return static_cast<std::uint32_t>(_mm256_movemask_epi8(bytes));
    }
    __attribute__((target("avx2"))) static std::uint64_t sure(const FixedRows& q, int base,
                                                              std::int16_t x, std::int16_t t)
    {
        const __m256i xq = _mm256_set1_epi16(x), tq = _mm256_set1_epi16(t);
        return half(q.a + base, q.b + base, q.rest, xq, tq) |
               half(q.a + base + 32, q.b + base + 32, q.rest, xq, tq) << 32;
    }
};

// No fixed-point test: the runs test every lane in double.
struct NoFixed {};

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

template <class Fixed>
constexpr bool kFixed = !std::is_same_v<Fixed, NoFixed>;

// The lanes [0, n) of a pair's panel rows A and B (fq in fixed point, tested
// first when `fixed`), its coefficient x at the level below (xq in fixed
// point) and the lanes skip1 and skip2 passed over.
struct PanelPair {
    const double* A;
    const double* B;
    const FixedRows& fq;
    const Peaks& peaks;
    int n, skip1, skip2;
    double x;
    bool fixed;
    std::int16_t xq;

    // Whether no lane of the stretch from base offers a magnitude below m.
    bool passesOver(int base, double m) const
    {
        return peaks.a && noneBelow(x, peaks.a[base / 64], peaks.b[base / 64], m);
    }

    // The lanes of the stretch from base, but skip1 and skip2.
    std::uint64_t lanesAt(int base) const
    {
        const int lanes = std::min(64, n - base);
        std::uint64_t open = lanes == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << lanes) - 1;
        if (static_cast<unsigned>(skip1 - base) < 64) open &= ~(std::uint64_t{1} << (skip1 - base));
        if (static_cast<unsigned>(skip2 - base) < 64) open &= ~(std::uint64_t{1} << (skip2 - base));
        return open;
    }
};

// A pair whose value is still its correlation (its first run) is first
// searched for the first lane whose offer falls below the threshold: that
// offer ends the run and is its value (returned in r). The lanes the
// fixed-point test leaves against the threshold are the only ones that may;
// when none does, the run never prunes.
template <class Fixed>
[[gnu::always_inline]] inline bool firstLaneBelow(const PanelPair& p, double threshold, double& r)
{
    const auto tq = static_cast<std::int16_t>(std::ceil(threshold * 0x1p15));
    for (int base = 0; base < p.n; base += 64) {
        if (p.passesOver(base, threshold)) continue;
        for (std::uint64_t m = p.lanesAt(base) & ~Fixed::sure(p.fq, base, p.xq, tq); m != 0;
             m &= m - 1) {
            const int w = base + __builtin_ctzll(m);
            r = partialStep(p.x, p.A[w], p.B[w]);
            if (threshold > std::fabs(r)) return true;
        }
    }
    return false;
}

// The lanes of the stretch from base that the block tests (or the
// fixed-point one) leave against the stored value s, narrowed when many.
template <class Block, class Fixed>
[[gnu::always_inline]] inline std::uint64_t stretchLeft(const PanelPair& p, const Stored& s, int base)
{
    std::uint64_t open = p.lanesAt(base);
    if (!s.fast) return open;
    const std::int16_t t = p.fixed ? s.fixedBound() : std::int16_t{-1};
    if (t >= 0) {
        if constexpr (kFixed<Fixed>) open &= ~Fixed::sure(p.fq, base, p.xq, t);
    } else {
        const int lanes = std::min(64, p.n - base);
        const double qm = s.q * kMargin;
        std::uint64_t sure = 0;
        for (int k = 0; k < lanes; k += 8)
            sure |= static_cast<std::uint64_t>(Block::sure(p.A, p.B, base + k, p.x, qm)) << k;
        open &= ~sure;
    }
    if (std::popcount(open) > kManyLanes)
        open = Block::narrow(p.A, p.B, base, open, p.x, s.prunes ? s.t2 : 0);
    return open;
}

// The stretches after the first at once, against the value the first
// leaves (fixed-point rows, at most kAtOnce stretches). False, having offered
// nothing, when more than kAtOnceLanes lanes are left; else true once their
// offers are made (the run is then over).
template <class Block, class Fixed>
[[gnu::always_inline]] inline bool laterStretchesAtOnce(const PanelPair& p, Stored& s, std::int16_t t)
{
    std::uint64_t masks[kAtOnce];
    const int count = (p.n - 1) / 64;
    const double m = s.magnitude();
    int left = 0;
    for (int k = 0; k < count && left <= kAtOnceLanes; ++k) {
        const int at = 64 * (k + 1);
        masks[k] = p.passesOver(at, m) ? 0 : p.lanesAt(at) & ~Fixed::sure(p.fq, at, p.xq, t);
        left += std::popcount(masks[k]);
    }
    if (left > kAtOnceLanes) return false;
    if (left > kManyLanes)
        Block::narrowMany(p.A + 64, p.B + 64, masks, count, p.x, s.prunes ? s.t2 : 0);
    for (int k = 0; k < count; ++k)
        for (std::uint64_t m = masks[k]; m != 0; m &= m - 1) {
            const int w = 64 * (k + 1) + __builtin_ctzll(m);
            if (s.offerOne(p.x, p.A[w], p.B[w])) return true;
        }
    return true;
}

template <class Block, class Fixed = NoFixed>
[[gnu::always_inline]] inline double panelRun(double v, double x, const double* A,
                                              const double* B, const FixedRows& fq,
                                              const Peaks& peaks, int n, int skip1, int skip2,
                                              double threshold)
{
    if (pruned(v, threshold)) return v;
    Stored s(v, threshold);
    const bool fixed = kFixed<Fixed> && fq.a && fq.b && std::fabs(x) <= 1;
    const PanelPair p{A, B, fq, peaks, n, skip1, skip2, x, fixed,
                      fixed ? toUnits(x) : std::int16_t{0}};
    if constexpr (kFixed<Fixed>)
        if (fixed && s.prunes && s.fast && v == x && threshold * 0x1p15 < 32767) {
            if (double r; firstLaneBelow<Fixed>(p, threshold, r)) return r;
            s.prunes = false;
        }
    for (int base = 0; base < n; base += 64) {
        if (s.prunedNow()) break;
        if (!p.passesOver(base, s.magnitude()))
            for (std::uint64_t open = stretchLeft<Block, Fixed>(p, s, base); open != 0;
                 open &= open - 1) {
                const int w = base + __builtin_ctzll(open);
                if (s.offerOne(x, A[w], B[w])) break;
            }
        if constexpr (kFixed<Fixed>)
            if (fixed && base == 0 && n > 64 && n <= kAtOnce * 64 && s.fast && !s.prunedNow())
                if (const std::int16_t t = s.fixedBound();
                    t >= 0 && laterStretchesAtOnce<Block, Fixed>(p, s, t))
                    break;
    }
    s.settle();
    return s.v;
}

__attribute__((target("avx512f,avx512bw"))) double panelRunFixed(
    double v, double x, const double* A, const double* B, const Peaks& peaks,
    int n, int skip1, int skip2, double threshold, const FixedRows& fq)
{
    return panelRun<BlockAvx512, FixedAvx512>(v, x, A, B, fq, peaks, n, skip1, skip2, threshold);
}

__attribute__((target("avx2,popcnt"))) double panelRunFixedAvx2(
    double v, double x, const double* A, const double* B, const Peaks& peaks,
    int n, int skip1, int skip2, double threshold, const FixedRows& fq)
{
    return panelRun<BlockAvx2, FixedAvx2>(v, x, A, B, fq, peaks, n, skip1, skip2, threshold);
}

__attribute__((target("avx512f"))) double panelRunAvx512(double v, double x, const double* A,
                                                        const double* B, const Peaks& peaks,
                                                        int n, int skip1, int skip2,
                                                        double threshold)
{
    return panelRun<BlockAvx512>(v, x, A, B, {}, peaks, n, skip1, skip2, threshold);
}

__attribute__((target("avx2,popcnt"))) double panelRunAvx2(double v, double x, const double* A,
                                                   const double* B, const Peaks& peaks, int n,
                                                   int skip1, int skip2, double threshold)
{
    return panelRun<BlockAvx2>(v, x, A, B, {}, peaks, n, skip1, skip2, threshold);
}

}  // namespace

double offerPanel(Isa isa, double v, double x, const double* A, const double* B,
                  const FixedRows& fq, const Peaks& peaks, int n, int skip1, int skip2,
                  double threshold)
{
    if (isa.fixedPoint && fq.a && fq.b) {
        if (isa.width == 8) return panelRunFixed(v, x, A, B, peaks, n, skip1, skip2, threshold, fq);
        if (isa.width == 4)
            return panelRunFixedAvx2(v, x, A, B, peaks, n, skip1, skip2, threshold, fq);
    }
    if (isa.width == 8) return panelRunAvx512(v, x, A, B, peaks, n, skip1, skip2, threshold);
    if (isa.width == 4) return panelRunAvx2(v, x, A, B, peaks, n, skip1, skip2, threshold);
    return panelRun<BlockGeneric>(v, x, A, B, {}, peaks, n, skip1, skip2, threshold);
}

void stretchPeaks(const double* row, int n, int skip, double* peaks)
{
    for (int base = 0; base < n; base += 64) {
        double peak = 0;
        bool nan = false;
        for (int w = base; w < std::min(n, base + 64); ++w) {
            if (w == skip) continue;
            peak = std::max(peak, std::fabs(row[w]));
            nan |= std::isnan(row[w]);
        }
        peaks[base / 64] = nan ? std::numeric_limits<double>::infinity() : peak;
    }
}

bool fixedPanelRow(Isa isa, const double* row, int n, std::int16_t* out, int rest)
{
    return toUnitsRow(isa, row, n, out, out + rest);
}

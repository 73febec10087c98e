// The first-order batch offers: for the pairs (i, j) of one row that are
// pruned when a batch of controlling variables c starts, the offers given each
// c of the batch, most decided without the division and the square root
// (the tests of lanes.h with each lane's own stored value). Where the
// processor has AVX2, or AVX-512 BW and VL, the lanes are tested in 16-bit
// fixed point first, 16 or 32 a vector, against the whole row and every c of
// the batch at once; the lanes it leaves go to the test in double, then to
// the exact offers. The literal form is the literal sweeps' offer of
// partialStep (sweep2.cpp, sweep3.cpp).
#include "batch_offers.h"

#include "lanes.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include <immintrin.h>

namespace {

// The offer given c to the pair (i, j), exactly, xi being the row of i.
inline void offerExactly(double* row, const double* xi, const CorrRows& corr, const BatchRows& batch,
                         int i, int j, int c)
{
    const double a = corr.at(i, c), b = batch.rows[c - batch.c0][j];
    offer(row[j], (xi[j] - a * b) / std::sqrt((1 - a * a) * (1 - b * b)));
}

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

// The same test with AVX2, the eight lanes as two vectors of four.
struct FirstAvx2 {
    struct Lanes {
        __m256d x[2], qm[2];
        __m256i in[2];
        unsigned fast;
    };
    // Words of all ones for the lanes of the four bits of `in`.
    __attribute__((target("avx2"))) static __m256i wide(unsigned in)
    {
        const __m256i bits = _mm256_setr_epi64x(1, 2, 4, 8);
        return _mm256_cmpeq_epi64(_mm256_and_si256(_mm256_set1_epi64x(in), bits), bits);
    }
    __attribute__((target("avx2"))) static void load(Lanes& l, const double* row, const double* x,
                                                     unsigned prunedLanes, unsigned in)
    {
        unsigned fast = 0;
        for (int h = 0; h < 2; ++h) {
            l.in[h] = wide(in >> (4 * h) & 0xfu);
            const __m256d v = _mm256_maskload_pd(row + 4 * h, l.in[h]);
            const __m256d q = _mm256_mul_pd(v, v);
            l.x[h] = _mm256_maskload_pd(x + 4 * h, l.in[h]);
            l.qm[h] = _mm256_mul_pd(q, _mm256_set1_pd(kMargin));
            fast |= static_cast<unsigned>(_mm256_movemask_pd(
                        _mm256_and_pd(_mm256_cmp_pd(q, _mm256_set1_pd(0x1p-400), _CMP_GE_OQ),
                                      _mm256_cmp_pd(q, _mm256_set1_pd(0x1p400), _CMP_LE_OQ))))
                    << (4 * h);
        }
        l.fast = fast & prunedLanes;
    }
    __attribute__((target("avx2"))) static unsigned passed(const Lanes& l, const double* b,
                                                           double a, double fa)
    {
        unsigned bits = 0;
        for (int h = 0; h < 2; ++h) {
            const __m256d bb = _mm256_maskload_pd(b + 4 * h, l.in[h]);
            const __m256d num = _mm256_sub_pd(l.x[h], _mm256_mul_pd(_mm256_set1_pd(a), bb));
            const __m256d d = _mm256_mul_pd(_mm256_set1_pd(fa),
                                            _mm256_sub_pd(_mm256_set1_pd(1), _mm256_mul_pd(bb, bb)));
            const __m256d dq = _mm256_mul_pd(d, l.qm[h]);
            bits |= static_cast<unsigned>(_mm256_movemask_pd(
                        _mm256_and_pd(_mm256_cmp_pd(_mm256_mul_pd(num, num), dq, _CMP_GT_OQ),
                                      _mm256_cmp_pd(dq, _mm256_set1_pd(kTinyProduct), _CMP_GE_OQ))))
                    << (4 * h);
        }
        return bits & l.fast;
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
                offerExactly(row, xi, corr, batch, i, j + bit % 8, c8 + bit / 8);
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

// The first-order block test in 16-bit fixed point first, 32 lanes a vector.
// With |a| <= 1 and |b| <= 1 the computed D = (1 - a^2)(1 - b^2) is at most
// 1, so the coefficient's magnitude is at least that of its computed
// numerator num = x - a * b (the division rounds monotonically; D = 0 gives no
// number), and an offer whose |num| exceeds the stored |v| never replaces.
// With a, b and x in units of 2^-15 (toUnits), each within one unit, the
// product of a and b rounded to units of 2^-15 is within 1 + 1 + 1/2 (its
// rounding) + 2^-15 units of a * b * 2^15, and the difference N within 3.5 +
// 2^-15 units of num * 2^15 (saturation only lowers a magnitude). |N| > T
// with T = ceil(|v| * 2^15) + 4 then leaves |num| above |v| by more than
// 2^-15, far more than the roundings of the computed num. A lane with |b| > 1
// gives no coefficient that replaces (D <= 0 when |a| <= 1), so its b is
// taken as 0; a lane whose |x| is above 1 or not a number gets x = 0 and T =
// 65535 and never passes (so does one whose T is not a number, or above
// 65535); a c with |a| > 1 leaves every lane to the test in double.
//
// A row's pass: its lanes j in [from, from + lanes), in blocks of eight (the
// last under a mask) and chunks of four blocks (one vector of 32 lanes). Per
// lane l = j - from its x and bound T (xq[l], tq[l]); per block k its pruned
// lanes (left[k], zeros past the last block); per group r of eight values of
// c and chunk q, given[8 (r chunks + q) + d]: the lanes of chunk q that the
// fixed-point test leaves given the c of offset d.
struct FixedRowPass {
    double* row;
    const CorrRows& corr;
    const BatchRows& batch;
    int i, from, lanes, blocks, chunks;
    const double* xi;  // the cells j > i of row i
    std::int16_t* xq;
    std::uint16_t* tq;
    unsigned char* left;
    std::uint32_t* given;

    __mmask8 blockLanes(int k) const
    {
        return static_cast<__mmask8>(lanes - 8 * k >= 8 ? 0xffu : (1u << (lanes - 8 * k)) - 1);
    }
    // The lanes left given the values of c of the group from c0 + g0.
    std::uint32_t* givenAt(int g0) const { return given + 8 * chunks * (g0 / 8); }
};

FixedRowPass startPass(double* row, const CorrRows& corr, const BatchRows& batch,
                       SingleRows& scratch, int i, int from, int to)
{
    const int lanes = to - from, blocks = (lanes + 7) / 8;
    const int chunks = (blocks + 3) / 4;
    const int groups = (batch.c1 - batch.c0 + 7) / 8;
    if (scratch.xq.size() < static_cast<size_t>(32 * chunks)) {
        scratch.xq.resize(32 * chunks);
        scratch.tq.resize(32 * chunks);
        scratch.left.resize(4 * chunks);
    }
    if (scratch.given.size() < static_cast<size_t>(8 * chunks * groups))
        scratch.given.resize(8 * chunks * groups);
    return FixedRowPass{row, corr, batch, i, from, lanes, blocks, chunks, corr.upper(i),
                        scratch.xq.data(), scratch.tq.data(), scratch.left.data(),
                        scratch.given.data()};
}

// A group of eight values of c from c0 + g0 for the fixed-point test, per
// offset d: none (no offers given i, or past the batch), all (|a| above 1:
// every lane goes to the test in double), a in units and the row of c in
// fixed point from the pass's first lane.
struct GroupOfC {
    bool none[8], all[8];
    std::int16_t units[8];
    const std::int16_t* H[8];
};

GroupOfC groupAt(const FixedRowPass& f, int g0)
{
    const int c0 = f.batch.c0, g1 = std::min(f.batch.c1 - c0, g0 + 8);
    GroupOfC g;
    for (int d = 0; d < 8; ++d) {
        const int c = c0 + g0 + d;
        const double a = g0 + d < g1 ? f.corr.at(f.i, c) : 0.0;
        g.none[d] = g0 + d >= g1 || c == f.i;
        g.all[d] = !g.none[d] && !(std::fabs(a) <= 1);
        g.units[d] = g.none[d] || g.all[d] ? std::int16_t{0} : toUnits(a);
        g.H[d] = f.batch.h.data() + static_cast<long>(g.none[d] ? 0 : g0 + d) * f.corr.V + f.from;
    }
    return g;
}

// Lists the pairs of the row not pruned (but skip) in open, and forms the
// pruned lanes of every block and each lane's x and T. Returns the pruned
// lanes of all blocks, or-ed.
__attribute__((target("avx512f,avx512bw,avx512vl,bmi2"))) unsigned markLanes(
    const FixedRowPass& f, int skip, double threshold, std::vector<int>& open)
{
    toUnitsRow(Isa{8, true}, f.xi + f.from, f.lanes, f.xq, nullptr);  // this pass runs only there
    const __m512d t = _mm512_set1_pd(threshold);
    unsigned anyPruned = 0;
    for (int k = 0; k < f.blocks; ++k) {
        const int j = f.from + 8 * k;
        const __mmask8 in = f.blockLanes(k);
        const __m512d v = _mm512_maskz_loadu_pd(in, f.row + j);
        const __m512d absV = _mm512_abs_pd(v);
        const unsigned skipped = static_cast<unsigned>(skip - j) < 8 ? 1u << (skip - j) : 0u;
        const unsigned prunedLanes = _mm512_cmp_pd_mask(t, absV, _CMP_GT_OQ) & ~skipped & in;
        for (unsigned o = ~(prunedLanes | skipped) & in; o != 0; o &= o - 1)
            open.push_back(j + __builtin_ctz(o));
        f.left[k] = static_cast<unsigned char>(prunedLanes);
        anyPruned |= prunedLanes;
        // T, 65535 where |x| is above 1 (min gives 65535 for a bound that is
        // not a number).
        const __m512d x = _mm512_maskz_loadu_pd(in, f.xi + j);
        const __mmask8 xFits = _mm512_cmp_pd_mask(_mm512_abs_pd(x), _mm512_set1_pd(1), _CMP_LE_OQ);
        const __m512d bound = _mm512_maskz_min_pd(
            0xff,
            _mm512_add_pd(_mm512_maskz_roundscale_pd(0xff, _mm512_mul_pd(absV, _mm512_set1_pd(0x1p15)),
                                                     _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC),
                          _mm512_set1_pd(4)),
            _mm512_set1_pd(65535));
        const __m256i t32 = _mm512_mask_cvtpd_epi32(_mm256_set1_epi32(65535), xFits, bound);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(f.tq + 8 * k),
                         _mm256_maskz_cvtusepi32_epi16(0xff, t32));
    }
    std::memset(f.left + f.blocks, 0, 4 * f.chunks - f.blocks);
    return anyPruned;
}

// The fixed-point test over the row for every c, eight values of c at a
// time, against the values the row holds now: a lane it passes stays sure
// not to replace while its stored value shrinks.
__attribute__((target("avx512f,avx512bw,avx512vl,bmi2"))) void testFixed(const FixedRowPass& f)
{
    const int n = f.batch.c1 - f.batch.c0;
    for (int g0 = 0; g0 < n; g0 += 8) {
        std::uint32_t* givenG = f.givenAt(g0);
        const GroupOfC g = groupAt(f, g0);
        __m512i aq[8];
        for (int d = 0; d < 8; ++d) aq[d] = _mm512_set1_epi16(g.units[d]);
        for (int q = 0; q < f.chunks; ++q) {
            const int l = 32 * q, lanes = std::min(32, f.lanes - l);
            const __mmask32 in = lanes == 32 ? ~__mmask32{0} : (__mmask32{1} << lanes) - 1;
            const __m512i x = _mm512_loadu_si512(f.xq + l);
            const __m512i bound = _mm512_loadu_si512(f.tq + l);
            std::uint32_t prunedLanes;
            std::memcpy(&prunedLanes, f.left + 4 * q, 4);
            for (int d = 0; d < 8; ++d) {
                const __m512i b = _mm512_maskz_loadu_epi16(in, g.H[d] + l);
                const __m512i num = _mm512_abs_epi16(_mm512_subs_epi16(x, _mm512_mulhrs_epi16(aq[d], b)));
                const std::uint32_t sure = _mm512_cmpgt_epu16_mask(num, bound);
                givenG[8 * q + d] = g.none[d] ? 0u : g.all[d] ? prunedLanes : prunedLanes & ~sure;
            }
        }
    }
}

// Calls body(g0, q, any) for each group of eight values of c from c0 + g0
// and chunk q with lanes left given one of them: bit 4 d + b of any when
// lanes of block 4 q + b are left given the c of offset d.
template <class Body>
__attribute__((target("avx512f,avx512bw,avx512vl,bmi2"))) inline void forChunksLeft(
    const FixedRowPass& f, Body&& body)
{
    const int n = f.batch.c1 - f.batch.c0;
    for (int g0 = 0; g0 < n; g0 += 8) {
        const std::uint32_t* givenG = f.givenAt(g0);
        for (int q = 0; q < f.chunks; ++q) {
            const __m256i g = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(givenG + 8 * q));
            if (_mm256_testz_si256(g, g)) continue;
            body(g0, q, _mm256_cmpneq_epi8_mask(g, _mm256_setzero_si256()));
        }
    }
}

// The rows of c of group g0 at the lanes of chunk q left, wanted next from
// far away in memory.
inline void prefetchChunk(const FixedRowPass& f, int g0, int q)
{
    const std::uint32_t* givenG = f.givenAt(g0);
    for (int d = 0; d < 8; ++d)
        for (std::uint32_t m = givenG[8 * q + d]; m != 0;) {
            const int lane = __builtin_ctz(m) & ~7;  // the first of its block
            m &= ~(0xffu << lane);
            const double* b = f.batch.rows[g0 + d] + f.from + 32 * q + lane;
            _mm_prefetch(reinterpret_cast<const char*>(b), _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char*>(b + 7), _MM_HINT_T0);
        }
}

__attribute__((target("avx512f,avx512bw,avx512vl,bmi2"))) void prefetchLeft(const FixedRowPass& f)
{
    forChunksLeft(f, [&](int g0, int q, std::uint32_t) { prefetchChunk(f, g0, q); });
}

// The lanes of block k (in chunk q) left given the c of group g0 whose
// offsets d are the bits of ds, c by c: the test in double of First, then the
// exact offers.
template <class First>
[[gnu::always_inline]] inline void offerBlockOf(const FixedRowPass& f, int g0, int q, int k,
                                                unsigned ds)
{
    const std::uint32_t* givenG = f.givenAt(g0);
    const int j = f.from + 8 * k, shift = 8 * (k - 4 * q);
    typename First::Lanes lanes;
    bool loaded = false;
    for (; ds != 0; ds &= ds - 1) {
        const int d = __builtin_ctz(ds);
        unsigned lanesC = (givenG[8 * q + d] >> shift) & 0xffu;
        const int cc = g0 + d, c = f.batch.c0 + cc;
        if (static_cast<unsigned>(c - j) < 8) lanesC &= ~(1u << (c - j));
        if (lanesC == 0) continue;
        if (!loaded) {
            First::load(lanes, f.row + j, f.xi + j, f.left[k], f.blockLanes(k));
            loaded = true;
        }
        const double a = f.corr.at(f.i, c);
        lanesC &= ~First::passed(lanes, f.batch.rows[cc] + j, a, 1 - a * a);
        for (; lanesC != 0; lanesC &= lanesC - 1) {
            offerExactly(f.row, f.xi, f.corr, f.batch, f.i, j + __builtin_ctz(lanesC), c);
            loaded = false;
        }
    }
}

// offerBlockOf for block k (in chunk q), any as forChunksLeft gives it.
__attribute__((target("avx512f,avx512bw,avx512vl,bmi2"))) void offerBlock(
    const FixedRowPass& f, int g0, int q, int k, std::uint32_t any)
{
    offerBlockOf<FirstAvx512>(f, g0, q, k, _pext_u32(any, 0x11111111u << (k - 4 * q)));
}

// Then the lanes left, eight values of c at a time, block by block.
__attribute__((target("avx512f,avx512bw,avx512vl,bmi2"))) void offerLeft(const FixedRowPass& f)
{
    forChunksLeft(f, [&](int g0, int q, std::uint32_t any) {
        for (int k = 4 * q; k < std::min(f.blocks, 4 * q + 4); ++k) offerBlock(f, g0, q, k, any);
    });
}

void firstOrderRowFixed(double* row, const CorrRows& corr, const BatchRows& batch,
                        SingleRows& scratch, int i, int from, int to, int skip, double threshold,
                        std::vector<int>& open)
{
    if (to <= from) return;
    const FixedRowPass f = startPass(row, corr, batch, scratch, i, from, to);
    if (markLanes(f, skip, threshold, open) == 0) return;
    testFixed(f);
    prefetchLeft(f);
    offerLeft(f);
}

// The same pass with AVX2: the fixed-point test 16 lanes a vector, the test
// in double four. The lanes, their x and T are marked one by one.
unsigned markLanesOneByOne(const FixedRowPass& f, int skip, double threshold, std::vector<int>& open)
{
    toUnitsRow(Isa{4, true}, f.xi + f.from, f.lanes, f.xq, nullptr);
    unsigned anyPruned = 0;
    for (int k = 0; k < f.blocks; ++k) {
        const int j = f.from + 8 * k;
        unsigned prunedLanes = 0;
        for (int l = 0; l < std::min(8, f.lanes - 8 * k); ++l) {
            const double v = f.row[j + l], x = f.xi[j + l];
            // T as markLanes forms it: 65535 where |x| is above 1, or where
            // the bound is not a number or above 65535.
            const double bound = std::ceil(std::fabs(v) * 0x1p15) + 4;
            f.tq[8 * k + l] = !(std::fabs(x) <= 1) || !(bound < 65535)
                                  ? std::uint16_t{65535}
                                  : static_cast<std::uint16_t>(bound);
            if (j + l == skip) continue;
            if (pruned(v, threshold)) prunedLanes |= 1u << l;
            else open.push_back(j + l);
        }
        f.left[k] = static_cast<unsigned char>(prunedLanes);
        anyPruned |= prunedLanes;
    }
    std::memset(f.left + f.blocks, 0, 4 * f.chunks - f.blocks);
    return anyPruned;
}

// The lanes of 16 from H that the fixed-point test passes given a (aq),
// as words of all ones; `lanes` of them are read (16 at most).
__attribute__((target("avx2"))) inline __m256i sureFixed16(__m256i x, __m256i bound, __m256i aq,
                                                            const std::int16_t* H, int lanes)
{
    __m256i b;
    if (lanes >= 16) {
        b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(H));
    } else {
        alignas(32) std::int16_t tail[16] = {};
        std::copy(H, H + std::max(lanes, 0), tail);
        b = _mm256_load_si256(reinterpret_cast<const __m256i*>(tail));
    }
    const __m256i flip = _mm256_set1_epi16(std::numeric_limits<std::int16_t>::min());
    const __m256i num = _mm256_abs_epi16(_mm256_subs_epi16(x, _mm256_mulhrs_epi16(aq, b)));
    return _mm256_cmpgt_epi16(_mm256_xor_si256(num, flip), _mm256_xor_si256(bound, flip));
}

__attribute__((target("avx2"))) void testFixedAvx2(const FixedRowPass& f)
{
    const int n = f.batch.c1 - f.batch.c0;
    for (int g0 = 0; g0 < n; g0 += 8) {
        std::uint32_t* givenG = f.givenAt(g0);
        const GroupOfC g = groupAt(f, g0);
        __m256i aq[8];
        for (int d = 0; d < 8; ++d) aq[d] = _mm256_set1_epi16(g.units[d]);
        for (int q = 0; q < f.chunks; ++q) {
            const int l = 32 * q, lanes = f.lanes - l;
            const auto* xs = reinterpret_cast<const __m256i*>(f.xq + l);
            const auto* bounds = reinterpret_cast<const __m256i*>(f.tq + l);
            const __m256i x0 = _mm256_loadu_si256(xs), x1 = _mm256_loadu_si256(xs + 1);
            const __m256i bound0 = _mm256_loadu_si256(bounds), bound1 = _mm256_loadu_si256(bounds + 1);
            std::uint32_t prunedLanes;
            std::memcpy(&prunedLanes, f.left + 4 * q, 4);
            for (int d = 0; d < 8; ++d) {
                if (g.none[d] || g.all[d]) {
                    givenG[8 * q + d] = g.none[d] ? 0u : prunedLanes;
                    continue;
                }
                const __m256i low = sureFixed16(x0, bound0, aq[d], g.H[d] + l, lanes);
                const __m256i high = sureFixed16(x1, bound1, aq[d], g.H[d] + l + 16, lanes - 16);
                const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packs_epi16(low, high), 0xd8);
                const auto sure = static_cast<std::uint32_t>(_mm256_movemask_epi8(bytes));
                givenG[8 * q + d] = prunedLanes & ~sure;
            }
        }
    }
}

// forChunksLeft with AVX2.
template <class Body>
__attribute__((target("avx2"))) inline void forChunksLeftAvx2(const FixedRowPass& f, Body&& body)
{
    const int n = f.batch.c1 - f.batch.c0;
    for (int g0 = 0; g0 < n; g0 += 8) {
        const std::uint32_t* givenG = f.givenAt(g0);
        for (int q = 0; q < f.chunks; ++q) {
            const __m256i g = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(givenG + 8 * q));
            if (_mm256_testz_si256(g, g)) continue;
            body(g0, q, ~static_cast<std::uint32_t>(
                            _mm256_movemask_epi8(_mm256_cmpeq_epi8(g, _mm256_setzero_si256()))));
        }
    }
}

__attribute__((target("avx2"))) void offerBlockAvx2(const FixedRowPass& f, int g0, int q, int k,
                                                    std::uint32_t any)
{
    unsigned ds = 0;
    for (int d = 0; d < 8; ++d) ds |= (any >> (4 * d + k - 4 * q) & 1u) << d;
    offerBlockOf<FirstAvx2>(f, g0, q, k, ds);
}

__attribute__((target("avx2"))) void firstOrderRowFixedAvx2(double* row, const CorrRows& corr,
                                                            const BatchRows& batch,
                                                            SingleRows& scratch, int i, int from,
                                                            int to, int skip, double threshold,
                                                            std::vector<int>& open)
{
    if (to <= from) return;
    const FixedRowPass f = startPass(row, corr, batch, scratch, i, from, to);
    if (markLanesOneByOne(f, skip, threshold, open) == 0) return;
    testFixedAvx2(f);
    forChunksLeftAvx2(f, [&](int g0, int q, std::uint32_t) { prefetchChunk(f, g0, q); });
    forChunksLeftAvx2(f, [&](int g0, int q, std::uint32_t any) {
        for (int k = 4 * q; k < std::min(f.blocks, 4 * q + 4); ++k) offerBlockAvx2(f, g0, q, k, any);
    });
}

}  // namespace

void offerFirstOrder(Isa isa, double* row, const CorrRows& corr, const BatchRows& batch,
                     SingleRows& scratch, int i, int from, int to, int skip, double threshold,
                     std::vector<int>& open)
{
    if (isa.fixedPoint && isa.width == 8)
        return firstOrderRowFixed(row, corr, batch, scratch, i, from, to, skip, threshold, open);
    if (isa.fixedPoint && isa.width == 4)
        return firstOrderRowFixedAvx2(row, corr, batch, scratch, i, from, to, skip, threshold, open);
    firstOrderRow<FirstGeneric>(row, corr, batch, i, from, to, skip, threshold, open);
}

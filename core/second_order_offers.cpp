// The second-order batch offers: the offers that one pair open when a batch
// of first controlling variables c starts takes over the batch, its
// first-order coefficients given c formed lane by lane from the rows of its
// two variables and of c, so nothing of size V x V is formed per c. Where the
// processor has AVX2 or AVX-512 the lanes are tested in single precision
// first, 8 or 16 a vector, and where the batch holds the peaks of both
// variables' coefficients, stretches that cannot lower the pair's value are
// passed over untested. The literal form is the literal second-order sweep's
// offers of partialStep (sweep2.cpp).
#include "batch_offers.h"

#include "lanes.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include <immintrin.h>

namespace {

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

// The same tests with AVX2 and FMA: 8 lanes a vector in single precision, 4 in
// double. A last, partial vector is read under a mask.
struct SecondAvx2 {
    static constexpr bool kSingle = true;
    __attribute__((target("avx2"))) static __m256i partial(int lanes)
    {
        return _mm256_cmpgt_epi32(_mm256_set1_epi32(lanes), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    }
    __attribute__((target("avx2"))) static __m256i partialWide(int lanes)
    {
        return _mm256_cmpgt_epi64(_mm256_set1_epi64x(lanes), _mm256_setr_epi64x(0, 1, 2, 3));
    }
    __attribute__((target("avx2"))) static void convert(float* out, const double* row, int from, int to)
    {
        int w = from;
        for (; w + 4 <= to; w += 4) _mm_storeu_ps(out + w, _mm256_cvtpd_ps(_mm256_loadu_pd(row + w)));
        for (; w < to; ++w) out[w] = static_cast<float>(row[w]);
    }
    // The single-precision test of 8 lanes from their cells.
    __attribute__((target("avx2,fma"), always_inline)) static inline unsigned blockSingle(
        const GivenCSingle& p, __m256 qm, __m256 ci, __m256 cj, __m256 g, __m256 e)
    {
        const __m256 u = _mm256_fnmadd_ps(_mm256_set1_ps(p.ai), g, ci);
        const __m256 v = _mm256_fnmadd_ps(_mm256_set1_ps(p.aj), g, cj);
        const __m256 n = _mm256_fmsub_ps(_mm256_set1_ps(p.xk), e, _mm256_mul_ps(u, v));
        const __m256 pi = _mm256_fnmadd_ps(u, u, _mm256_mul_ps(_mm256_set1_ps(p.fi), e));
        const __m256 pj = _mm256_fnmadd_ps(v, v, _mm256_mul_ps(_mm256_set1_ps(p.fj), e));
        const __m256 dq = _mm256_mul_ps(_mm256_mul_ps(pi, pj), qm);
        const __m256 nn = _mm256_mul_ps(n, n);
        const __m256 sure = _mm256_and_ps(
            _mm256_and_ps(_mm256_cmp_ps(nn, dq, _CMP_GT_OQ),
                          _mm256_cmp_ps(nn, _mm256_set1_ps(kFloorSingle * kFloorSingle), _CMP_GE_OQ)),
            _mm256_cmp_ps(_mm256_min_ps(pi, pj), _mm256_set1_ps(kFloorSingle), _CMP_GE_OQ));
        return static_cast<unsigned>(_mm256_movemask_ps(sure));
    }
    // The single-precision test of up to 64 lanes: bit k set when the offer
    // of w = base + k is sure not to replace. Whole vectors are read as such;
    // a last, partial one under a mask (its lanes past the row read as 0, and
    // a lane of zeros is never sure: its n is 0).
    __attribute__((target("avx2,fma"))) static std::uint64_t sureSingle(const GivenCSingle& p,
                                                                        int base, int lanes, float q)
    {
        const float *Ci = p.Ci + base, *Cj = p.Cj + base, *G = p.g + base, *E = p.e + base;
        const __m256 qm = _mm256_set1_ps(q);
        std::uint64_t bits = 0;
        int k = 0;
        for (; k + 8 <= lanes; k += 8)
            bits |= static_cast<std::uint64_t>(blockSingle(p, qm, _mm256_loadu_ps(Ci + k), _mm256_loadu_ps(Cj + k),
                                                           _mm256_loadu_ps(G + k), _mm256_loadu_ps(E + k)))
                    << k;
        if (k < lanes) {
            const __m256i in = partial(lanes - k);
            bits |= static_cast<std::uint64_t>(
                        blockSingle(p, qm, _mm256_maskload_ps(Ci + k, in), _mm256_maskload_ps(Cj + k, in),
                                    _mm256_maskload_ps(G + k, in), _mm256_maskload_ps(E + k, in)))
                    << k;
        }
        return bits;
    }
    __attribute__((target("avx2,fma"))) static std::uint64_t sure(const GivenC& p, int base,
                                                                  int lanes, double qm)
    {
        const double *G = p.g + base, *E = p.e + base;
        const __m256d ai = _mm256_set1_pd(p.ai), aj = _mm256_set1_pd(p.aj);
        const __m256d xk = _mm256_set1_pd(p.xk), fi = _mm256_set1_pd(p.fi), fj = _mm256_set1_pd(p.fj);
        const __m256d q = _mm256_set1_pd(qm), floor = _mm256_set1_pd(kFloor);
        const __m256d floor2 = _mm256_set1_pd(kFloor * kFloor);
        std::uint64_t bits = 0;
        for (int k = 0; k < lanes; k += 4) {
            const __m256i in = partialWide(lanes - k);
            const __m256d g = _mm256_maskload_pd(G + k, in), e = _mm256_maskload_pd(E + k, in);
            const __m256d u = _mm256_fnmadd_pd(ai, g, _mm256_maskload_pd(p.Ci + k, in));
            const __m256d v = _mm256_fnmadd_pd(aj, g, _mm256_maskload_pd(p.Cj + k, in));
            const __m256d n = _mm256_fmsub_pd(xk, e, _mm256_mul_pd(u, v));
            const __m256d pi = _mm256_fnmadd_pd(u, u, _mm256_mul_pd(fi, e));
            const __m256d pj = _mm256_fnmadd_pd(v, v, _mm256_mul_pd(fj, e));
            const __m256d dq = _mm256_mul_pd(_mm256_mul_pd(pi, pj), q);
            const __m256d m = _mm256_and_pd(
                _mm256_and_pd(_mm256_cmp_pd(_mm256_mul_pd(n, n), dq, _CMP_GT_OQ),
                              _mm256_cmp_pd(dq, floor2, _CMP_GE_OQ)),
                _mm256_cmp_pd(_mm256_min_pd(pi, pj), floor, _CMP_GE_OQ));
            bits |= static_cast<std::uint64_t>(
                        _mm256_movemask_pd(_mm256_and_pd(m, _mm256_castsi256_pd(in))))
                    << k;
        }
        return bits;
    }
};

// Makes r hold row `row` of corr in single precision, its cells to be
// converted by singleCells.
inline const float* singleRow(SingleRow& r, const CorrRows& corr, int row)
{
    if (r.row != row) {
        if (r.cells.size() < static_cast<size_t>(corr.V)) r.cells.resize(corr.V);
        r.done.assign((corr.V + 4095) / 4096, 0);
        r.row = row;
    }
    return r.cells.data();
}

// Makes cells [from, to) of r (from singleRow) hold their values.
template <class Second>
[[gnu::always_inline]] inline void singleCells(SingleRow& r, const CorrRows& corr, int from, int to)
{
    for (int b = from / 64; b <= (to - 1) / 64; ++b) {
        std::uint64_t& word = r.done[b / 64];
        if (word >> (b % 64) & 1) continue;
        word |= std::uint64_t{1} << (b % 64);
        // Cells up to the diagonal from the lower part, the others from the upper.
        const int w0 = 64 * b, w1 = std::min(corr.V, w0 + 64);
        const int split = std::clamp(r.row + 1, w0, w1);
        if (w0 < split) Second::convert(r.cells.data(), (*corr.lower)[r.row], w0, split);
        if (split < w1) Second::convert(r.cells.data(), corr.upper(r.row), split, w1);
    }
}

// The peaks of a variable's first-order coefficients given c. A stretch of
// lanes w whose coefficients Fi = u / sqrt(fi * e) and Fj are at most pi and
// pj in magnitude is passed over when noneBelow (lanes.h) says that none of
// its offers can replace. The peaks come from the rows in single precision
// (termPeaks): where a peak is at most 1, each |d| = |Ci - ai * g| (from
// rounded inputs) is at most 1 and within 2^-22 of |u|, and s = 1 / sqrt(e)
// is within a relative 2^-22 of its value in double, so (|d| + 2^-21) * s /
// sqrt(fi) bounds |Fi| as the exact offers form it, with a relative 2^-20 to
// spare. The largest of those terms over a stretch (kept rounded up to 16
// bits), times (1 + 2^-18) / sqrt(fi) in double, is its peak; a
// not-a-number term makes it one, and nothing is passed over.
constexpr double kPeakMargin = 1 + 0x1p-18;

// The peaks of the pair (i, j) given c, stretch k of 64 lanes from c + 1,
// from the batch's (which pass over lane i in i's and lane j in j's): the
// stretch of i's that holds lane j, and that of j's that holds lane i, are
// taken again without them.
struct PairPeaks {
    const std::uint16_t* i = nullptr;
    const std::uint16_t* j = nullptr;
    double scaleI = 0, scaleJ = 0;
    int stretchJ = -1, stretchI = -1;  // the stretches holding lanes j and i
    float iWithoutJ = 0, jWithoutI = 0;

    static float widen(std::uint16_t top) { return std::bit_cast<float>(std::uint32_t{top} << 16); }
    double peakI(int k) const { return (k == stretchJ ? iWithoutJ : widen(i[k])) * scaleI; }
    double peakJ(int k) const { return (k == stretchI ? jWithoutI : widen(j[k])) * scaleJ; }
};

template <class Second>
PairPeaks pairPeaks(const CorrRows& corr, SingleRows& scratch, const BatchRows& batch, int i, int j,
                    int c, float ai, float aj, double fi, double fj)
{
    const int V = static_cast<int>(batch.rows.cols());
    const long at = static_cast<long>(c - batch.c0) * V;
    const float *g = batch.g.data() + at, *s = batch.s.data() + at;
    PairPeaks p{batch.peaks.data() + (at + i) * batch.stride,
                batch.peaks.data() + (at + j) * batch.stride,
                kPeakMargin / std::sqrt(fi),
                kPeakMargin / std::sqrt(fj)};
    auto again = [&](SingleRow& row, float a, int lane, int& stretch, float& peak) {
        if (lane <= c) return;
        stretch = (lane - c - 1) / 64;
        const int base = c + 1 + 64 * stretch, end = std::min(V, base + 64);
        singleCells<Second>(row, corr, base, end);
        termPeaks(row.cells.data(), g, s, a, base, end, i, j, &peak);
    };
    again(scratch.i, ai, j, p.stretchJ, p.iWithoutJ);
    again(scratch.j, aj, i, p.stretchI, p.jWithoutI);
    return p;
}

// Cells [w, w + n) of row r of corr into out.
inline void gatherRow(const CorrRows& corr, int r, int w, int n, double* out)
{
    for (int k = 0; k < n; ++k) out[k] = corr.at(r, w + k);
}

// The offers of the pair (i, j), i < j, whose stored value is v, given one c
// of the batch: its first-order coefficient x given c, then, while it is not
// pruned, its second-order coefficients given (c, w) for each w > c other
// than i and j, tested in stretches of 64 lanes. Returns the new stored value.
template <class Second>
[[gnu::always_inline]] inline double offersGivenC(double v, const CorrRows& corr,
                                                  const BatchRows& batch, SingleRows& scratch,
                                                  int i, int j, int c, double threshold)
{
    const int V = corr.V, c0 = batch.c0;
    const double cij = corr.upper(i)[j];
    const double ai = corr.at(i, c), aj = corr.at(j, c);
    const double fi = 1 - ai * ai, fj = 1 - aj * aj;
    // A pruned pair takes only this offer, mostly sure not to replace.
    if (pruned(v, threshold)) {
        const double num = cij - ai * aj, q = v * v;
        const double dq = fi * fj * (q * kMargin);
        if (moderate(q) && num * num > dq && dq >= kTinyProduct) return v;
    }
    const double k = std::sqrt(fi * fj);
    const double x = (cij - ai * aj) / k;
    offer(v, x);
    // With x not a number, no second-order coefficient is a number.
    if (pruned(v, threshold) || std::isnan(x)) return v;
    double ci[64], cj[64];  // cells of the rows of i and j for the tests in double
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
    // With the rows in single precision, the stretches' peaks.
    PairPeaks peaks;
    if constexpr (Second::kSingle) {
        ps.Ci = singleRow(scratch.i, corr, i);
        ps.Cj = singleRow(scratch.j, corr, j);
        if (batch.stride > 0 && batch.peaksOf[i] == c0 && batch.peaksOf[j] == c0)
            peaks = pairPeaks<Second>(corr, scratch, batch, i, j, c, ps.ai, ps.aj, fi, fj);
    }
    // The exact first-order coefficient of a (a = corr[r][c]) with w given c.
    auto exact = [&](int r, double a, double fa, int w) {
        return (corr.at(r, w) - a * p.g[w]) / std::sqrt(fa * p.e[w]);
    };
    Stored s(v, threshold);
    for (int base = c + 1; base < V; base += 64) {
        if (peaks.i) {
            const int k = (base - c - 1) / 64;
            if (noneBelow(x, peaks.peakI(k), peaks.peakJ(k), s.magnitude())) continue;
        }
        const int lanes = std::min(64, V - base);
        std::uint64_t open = lanes == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << lanes) - 1;
        if (static_cast<unsigned>(i - base) < 64) open &= ~(std::uint64_t{1} << (i - base));
        if (static_cast<unsigned>(j - base) < 64) open &= ~(std::uint64_t{1} << (j - base));
        if (s.fast && screen) {
            const double qm = s.q * kScreen;
            if (Second::kSingle && s.q >= 0x1p-60 && s.q <= 0x1p60) {
                singleCells<Second>(scratch.i, corr, base, base + lanes);
                singleCells<Second>(scratch.j, corr, base, base + lanes);
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
                s.settle();
                return s.v;
            }
        }
    }
    s.settle();
    return s.v;
}

template <class Second>
[[gnu::always_inline]] inline double secondOrder(double v, const CorrRows& corr,
                                                 const BatchRows& batch, SingleRows& scratch, int i,
                                                 int j, double threshold)
{
    // A stored not-a-number is never replaced nor pruned.
    if (std::isnan(v)) return v;
    for (int c = batch.c0; c < batch.c1; ++c) {
        // The peaks of the next c, far in memory, fetched while this c's offers are made.
        if (batch.stride > 0 && c + 1 < batch.c1 && batch.peaksOf[i] == batch.c0) {
            const long next = static_cast<long>(c + 1 - batch.c0) * batch.rows.cols();
            for (const int r : {i, j}) {
                const char* at = reinterpret_cast<const char*>(batch.peaks.data() + (next + r) * batch.stride);
                for (long b = 0; b < batch.stride * 2L; b += 64) __builtin_prefetch(at + b);
            }
        }
        if (c != i && c != j) v = offersGivenC<Second>(v, corr, batch, scratch, i, j, c, threshold);
    }
    return v;
}

__attribute__((target("avx512f"))) double secondOrderAvx512(double v, const CorrRows& corr,
                                                            const BatchRows& batch,
                                                            SingleRows& scratch, int i, int j,
                                                            double threshold)
{
    return secondOrder<SecondAvx512>(v, corr, batch, scratch, i, j, threshold);
}

__attribute__((target("avx2,fma"))) double secondOrderAvx2(double v, const CorrRows& corr,
                                                             const BatchRows& batch,
                                                             SingleRows& scratch, int i, int j,
                                                             double threshold)
{
    return secondOrder<SecondAvx2>(v, corr, batch, scratch, i, j, threshold);
}

}  // namespace

double offerSecondOrder(Isa isa, double v, const CorrRows& corr, const BatchRows& batch,
                        SingleRows& scratch, int i, int j, double threshold)
{
    if (isa.width == 8) return secondOrderAvx512(v, corr, batch, scratch, i, j, threshold);
    if (isa.width == 4) return secondOrderAvx2(v, corr, batch, scratch, i, j, threshold);
    return secondOrder<SecondGeneric>(v, corr, batch, scratch, i, j, threshold);
}

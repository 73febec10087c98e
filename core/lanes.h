// What the kernel files share (panel runs, first- and second-order batch
// offers, batch rows): the margins of the tests that decide an offer without
// forming it, the stored value of a pair while a run of offers is made to it,
// and the 16-bit fixed-point form of coefficients.
//
// An offer r = num / sqrt(D) (num and D formed exactly as the literal formula
// forms them) replaces the stored v only when |v| > |r|. Comparing num * num
// with D * v * v decides that without the division and the square root
// whenever the two sides differ by a relative margin far above the few
// roundings involved; only offers that land inside the margin are decided on
// the exact values. A replacement that is sure keeps num and D and takes the
// division and the square root only when the exact value is needed (a close
// decision, or the end of the run); they give the bits of the literal
// coefficient. Magnitudes far from 1 (near underflow or overflow) and
// not-a-number always take the exact path.
#pragma once

#include "isa.h"
#include "sweep.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include <immintrin.h>

constexpr double kMargin = 1 + 0x1p-30;
constexpr double kTinyProduct = 0x1p-800;

inline bool moderate(double q) { return q >= 0x1p-400 && q <= 0x1p400; }

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
    // |v| or more (from the estimate q when v is not exact).
    double magnitude() const { return exact ? std::fabs(v) : std::sqrt(q * kMargin); }
    // ceil(|v| * 2^15) or more; -1 when that is not below 32768 (the bound T
    // of the panel's fixed-point test).
    std::int16_t fixedBound() const
    {
        const double t = std::ceil(magnitude() * 0x1p15);
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

// Whether no lane of a stretch whose |a| and |b| are at most pa and pb offers
// a pair whose coefficient at the level below is x a coefficient below m in
// magnitude, so that the stretch can be passed over. With p = |a| |b| <= pa *
// pb, |x - ab| >= |x| - p and (1 - a^2)(1 - b^2) <= (1 - p)^2, so each
// coefficient is at least (|x| - p) / (1 - p) in magnitude when |x|, |a| and
// |b| are at most 1. The computed num is within 2^-51 of its value and the
// computed sqrt(D) at most 2^-26 above 1 - p; the margins cover those, the
// roundings of the division and of this test. A not-a-number (in x, m or a
// peak) passes nothing over.
inline bool noneBelow(double x, double pa, double pb, double m)
{
    const double p = pa * pb, mm = m * (1 + 0x1p-30), ax = std::fabs(x);
    return pa <= 1 && pb <= 1 && mm < 1 && ax <= 1 && ax - p >= mm * (1 - p + 0x1p-26) + 0x1p-49;
}

// --- 16-bit fixed point ------------------------------------------------------
//
// The coarsest lane tests take coefficients in units of 2^-15, 16 or 32
// lanes a vector. A value of magnitude at most 1 is rounded to the nearest
// unit (ties to even), 1 taken as 32767, so it is within one unit of its value
// times 2^15; each test bounds what that costs it.

// x (at most 1 in magnitude) in units of 2^-15.
inline std::int16_t toUnits(double x)
{
    const double scaled = x * 0x1p15;
    return scaled >= 32767 ? std::int16_t{32767}
                           : static_cast<std::int16_t>(_mm_cvtsd_si32(_mm_set_sd(scaled)));
}

// toUnits(x) where |x| is at most 1, else (and for not-a-number) 0.
inline std::int16_t unitsOrZero(double x) { return std::fabs(x) <= 1 ? toUnits(x) : std::int16_t{0}; }

// The cells [0, n rounded down to 8) of units (and of rests) as toUnitsRow
// forms them, eight a vector (AVX-512 BW and VL); sets above when one of them
// is above 1 in magnitude. Returns how many cells it did.
__attribute__((target("avx512f,avx512bw,avx512vl"))) inline int toUnitsAvx512(
    const double* row, int n, std::int16_t* units, std::int16_t* rests, bool& above)
{
    const __m512d one = _mm512_set1_pd(1), scale = _mm512_set1_pd(0x1p15);
    const __m256i most = _mm256_set1_epi32(32767);
    __mmask8 aboveLanes = 0;
    int k = 0;
    for (; k + 8 <= n; k += 8) {
        const __m512d a = _mm512_loadu_pd(row + k), size = _mm512_abs_pd(a);
        const __mmask8 fits = _mm512_cmp_pd_mask(size, one, _CMP_LE_OQ);
        aboveLanes |= _mm512_cmp_pd_mask(size, one, _CMP_GT_OQ);
        const __m256i u = _mm256_min_epi32(_mm512_maskz_cvtpd_epi32(fits, _mm512_mul_pd(a, scale)), most);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(units + k), _mm256_cvtepi32_epi16(u));
        if (rests) {
            const __m512d rest = _mm512_maskz_sqrt_pd(fits, _mm512_sub_pd(one, _mm512_mul_pd(a, a)));
            const __m256i r = _mm256_min_epi32(_mm512_maskz_cvtpd_epi32(fits, _mm512_mul_pd(rest, scale)), most);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(rests + k), _mm256_cvtepi32_epi16(r));
        }
    }
    above = above || aboveLanes != 0;
    return k;
}

// The same with AVX2, four cells a vector.
__attribute__((target("avx2"))) inline int toUnitsAvx2(const double* row, int n, std::int16_t* units,
                                                       std::int16_t* rests, bool& above)
{
    const __m256d one = _mm256_set1_pd(1), scale = _mm256_set1_pd(0x1p15);
    const __m256d sign = _mm256_set1_pd(-0.0);
    const __m128i most = _mm_set1_epi32(32767);
    int aboveLanes = 0;
    int k = 0;
    for (; k + 4 <= n; k += 4) {
        const __m256d a = _mm256_loadu_pd(row + k), size = _mm256_andnot_pd(sign, a);
        const __m256d fits = _mm256_cmp_pd(size, one, _CMP_LE_OQ);
        aboveLanes |= _mm256_movemask_pd(_mm256_cmp_pd(size, one, _CMP_GT_OQ));
        const __m256d scaled = _mm256_and_pd(_mm256_mul_pd(a, scale), fits);
        const __m128i u = _mm_min_epi32(_mm256_cvtpd_epi32(scaled), most);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(units + k), _mm_packs_epi32(u, u));
        if (rests) {
            const __m256d square = _mm256_and_pd(_mm256_sub_pd(one, _mm256_mul_pd(a, a)), fits);
            const __m256d rest = _mm256_sqrt_pd(square);
            const __m128i r = _mm_min_epi32(_mm256_cvtpd_epi32(_mm256_mul_pd(rest, scale)), most);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(rests + k), _mm_packs_epi32(r, r));
        }
    }
    above = above || aboveLanes != 0;
    return k;
}

// Fills units[0, n) with unitsOrZero of the cells of row and, when rests is
// not null, rests[0, n) with toUnits(sqrt(1 - a^2)) of each cell a (0 where
// |a| is above 1 or not a number); returns whether a cell's magnitude is
// above 1. The same cells with the fixed-point tests' instructions or without.
inline bool toUnitsRow(Isa isa, const double* row, int n, std::int16_t* units, std::int16_t* rests)
{
    bool above = false;
    const int from = isa.fixedPoint && isa.width == 8 ? toUnitsAvx512(row, n, units, rests, above)
                     : isa.width >= 4                 ? toUnitsAvx2(row, n, units, rests, above)
                                                      : 0;
    for (int k = from; k < n; ++k) {
        const double a = row[k];
        above |= std::fabs(a) > 1;
        units[k] = unitsOrZero(a);
        if (rests) rests[k] = std::fabs(a) <= 1 ? toUnits(std::sqrt(1 - a * a)) : std::int16_t{0};
    }
    return above;
}

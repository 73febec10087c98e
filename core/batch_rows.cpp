// The rows the batch offers read besides the correlation matrix: those of a
// batch's controlling variables in double, single precision and fixed point
// (prepareBatch), the peaks of every variable's first-order coefficients
// given them (prepareBatchPeaks), and the rows of first-order coefficients
// that the third-order sweep takes in place of the correlation (partialRow).
#include "batch_offers.h"

#include "lanes.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include <immintrin.h>

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

void prepareBatchRow(Isa isa, int V, const CorrRows& corr, int c, BatchRows& batch)
{
    const int c0 = batch.c0;
    double* g = batch.rows[c - c0];
    std::copy((*corr.lower)[c], (*corr.lower)[c] + c + 1, g);
    std::copy(corr.upper(c) + c + 1, corr.upper(c) + V, g + c + 1);
    double* rest = batch.rest[c - c0];
    float* gs = batch.g.data() + static_cast<long>(c - c0) * V;
    float* es = batch.e.data() + static_cast<long>(c - c0) * V;
    for (int w = 0; w < V; ++w) {
        rest[w] = 1 - g[w] * g[w];
        gs[w] = static_cast<float>(g[w]);
        es[w] = static_cast<float>(rest[w]);
    }
    toUnitsRow(isa, g, V, batch.h.data() + static_cast<long>(c - c0) * V, nullptr);
}

void prepareBatch(Isa isa, int V, const CorrRows& corr, int c0, int c1, BatchRows& batch)
{
    sizeBatch(V, c0, c1, batch);
    for (int c = c0; c < c1; ++c) prepareBatchRow(isa, V, corr, c, batch);
}

__attribute__((target("avx2,fma"))) void termPeaks(const float* C, const float* g, const float* s,
                                                   float a, int from, int to, int skip1, int skip2,
                                                   float* peaks)
{
    const __m256 av = _mm256_set1_ps(a), slack = _mm256_set1_ps(0x1p-21f);
    const __m256 sign = _mm256_set1_ps(-0.0f);
    const __m256i index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    for (int base = from; base < to; base += 64) {
        const int end = std::min(to, base + 64);
        __m256i top = _mm256_setzero_si256();
        for (int w = base; w < end; w += 8) {
            __m256 c, gw, sw;
            if (end - w >= 8) {
                c = _mm256_loadu_ps(C + w), gw = _mm256_loadu_ps(g + w), sw = _mm256_loadu_ps(s + w);
            } else {
                // Lanes past the end read as 0, and so do their terms.
                const __m256i in = _mm256_cmpgt_epi32(_mm256_set1_epi32(end - w), index);
                c = _mm256_maskload_ps(C + w, in), gw = _mm256_maskload_ps(g + w, in);
                sw = _mm256_maskload_ps(s + w, in);
            }
            const __m256 d = _mm256_andnot_ps(sign, _mm256_fnmadd_ps(av, gw, c));
            // Compared as integers, where a not-a-number is above infinity.
            __m256i t = _mm256_castps_si256(
                _mm256_andnot_ps(sign, _mm256_mul_ps(_mm256_add_ps(d, slack), sw)));
            if (static_cast<unsigned>(skip1 - w) < 8 || static_cast<unsigned>(skip2 - w) < 8) {
                const __m256i at = _mm256_add_epi32(_mm256_set1_epi32(w), index);
                t = _mm256_andnot_si256(
                    _mm256_or_si256(_mm256_cmpeq_epi32(at, _mm256_set1_epi32(skip1)),
                                    _mm256_cmpeq_epi32(at, _mm256_set1_epi32(skip2))),
                    t);
            }
            top = _mm256_max_epu32(top, t);
        }
        __m128i m = _mm_max_epu32(_mm256_castsi256_si128(top), _mm256_extracti128_si256(top, 1));
        m = _mm_max_epu32(m, _mm_shuffle_epi32(m, 0x4e));
        m = _mm_max_epu32(m, _mm_shuffle_epi32(m, 0xb1));
        peaks[(base - from) / 64] = std::bit_cast<float>(_mm_cvtsi128_si32(m));
    }
}

void sizeBatchPeaks(Isa isa, int V, BatchRows& batch)
{
    batch.stride = isa.width >= 4 ? (V + 63) / 64 : 0;
    batch.peaks.resize(static_cast<size_t>(batch.c1 - batch.c0) * V * batch.stride);
    if (batch.peaksOf.size() != static_cast<size_t>(V)) batch.peaksOf.assign(V, -1);
    if (batch.stride == 0) return;
    const size_t cells = static_cast<size_t>(batch.c1 - batch.c0) * V;
    batch.s.resize(cells);
    for (size_t k = 0; k < cells; ++k) batch.s[k] = 1 / std::sqrt(batch.e[k]);
}

void prepareBatchPeaks(int V, const CorrRows& corr, int r, BatchRows& batch)
{
    if (batch.stride == 0) return;
    thread_local std::vector<float> row, peaks;
    row.resize(V);
    peaks.resize(batch.stride);
    for (int w = batch.c0 + 1; w < V; ++w) row[w] = static_cast<float>(corr.at(r, w));
    for (int c = batch.c0; c < batch.c1; ++c) {
        if (c == r) continue;
        const long at = static_cast<long>(c - batch.c0) * V;
        termPeaks(row.data(), batch.g.data() + at, batch.s.data() + at,
                  static_cast<float>(corr.at(r, c)), c + 1, V, r, r, peaks.data());
        // Rounded up to 16 bits; a not-a-number stays one.
        std::uint16_t* out = batch.peaks.data() + (at + r) * batch.stride;
        for (int k = 0; k < (V - c + 62) / 64; ++k) {
            const std::uint32_t bits = std::bit_cast<std::uint32_t>(peaks[k]);
            out[k] = static_cast<std::uint16_t>(bits > 0x7f800000u ? 0x7fc0u : (bits + 0xffffu) >> 16);
        }
    }
    batch.peaksOf[r] = batch.c0;
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
void partialRow(Isa isa, double* Fi, const Matrix& X, int i, int c, int from, int to)
{
    if (isa.width == 8)
        fillRowAvx512(Fi, X, i, c, from, to);
    else if (isa.width == 4)
        fillRowAvx2(Fi, X, i, c, from, to);
    else
        fillRow(Fi, X, i, c, from, to);
}

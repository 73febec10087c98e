// First-order sweep: each pair offered its correlation, then its coefficient
// given each other variable c in ascending order; every pass prunes.
#include "panel_runs.h"
#include "parallel.h"
#include "sweep.h"

#include <algorithm>
#include <bit>
#include <cstdint>

void initCombined(int V, Matrix& combined, const Matrix& corr)
{
    initCombined(PairRows{0, V}, V, combined, corr);
}

void initCombined(PairRows rows, int V, Matrix& combined, const Matrix& corr)
{
    for (int i = rows.begin; i < rows.end; ++i)
        for (int j = i + 1; j < V; ++j) combined[i][j] = corr[i][j];
}

void getPartCorrMat1Literal(int V, int N, double pruneZ, Matrix& combined, const Matrix& corr, Progress& p)
{
    const double threshold = thresholdFor(N, pruneZ, 1);
    initCombined(V, combined, corr);
    for (int c = 0; c < V; ++c) {
        for (int i = 0; i < V; ++i) {
            if (i == c) continue;
            for (int j = i + 1; j < V; ++j) {
                if (j == c) continue;
                if (pruned(combined[i][j], threshold)) continue;
                offer(combined[i][j], partialStep(corr[i][j], corr[i][c], corr[j][c]));
            }
        }
        reportDone(p, (c + 1.0) / V);
        reportPasses(p, 1, V, {c}, {c});
    }
}

// The fast sweep on a copy of corr: see getPartCorrMat1InPlace.
void getPartCorrMat1(int V, int N, double pruneZ, Matrix& combined, const Matrix& corr, Progress& p)
{
    combined = corr;
    getPartCorrMat1InPlace(V, N, pruneZ, combined, PairRows{0, V}, p);
}

namespace {

constexpr int kPanel = kFirstOrderPanel;  // controlling variables per pass
constexpr int kBand = kFirstOrderBand;    // rows whose open pairs are one word per column
constexpr int kGroup = 2;                 // bands taken together

constexpr int kStretches = kPanel / 64;  // stretches of 64 lanes per panel row

// Fills P (V rows of kPanel lanes) with the correlations of every variable a
// with c0 + k for the lanes k in [0, n), from the lower triangle of store, the
// peaks of row a (kStretches from a * kStretches) as stretchPeaks fills them
// and, when Pq is not null, Pq with the same rows in fixed point and above[a]
// with whether row a holds a magnitude above 1.
void fillPanel(Isa isa, int V, double* P, double* peaks, std::int16_t* Pq, unsigned char* above,
               const Matrix& store, int c0, int n)
{
    const int tile = 64;
    parallelFor(0, (V + tile - 1) / tile, 4.0 * V * n, [&](long t) {
        const int a0 = static_cast<int>(t) * tile, a1 = std::min(V, a0 + tile);
        for (int k = 0; k < n; ++k) {
            const int c = c0 + k;
            const double* rowC = store[c];
            for (int a = a0; a < std::min(a1, c + 1); ++a) P[static_cast<long>(a) * kPanel + k] = rowC[a];
        }
        for (int a = std::max(a0, c0 + 1); a < a1; ++a) {
            const double* rowA = store[a] + c0;
            double* pa = P + static_cast<long>(a) * kPanel;
            for (int k = 0; k < std::min(n, a - c0); ++k) pa[k] = rowA[k];
        }
        for (int a = a0; a < a1; ++a)
            stretchPeaks(P + static_cast<long>(a) * kPanel, n, a - c0,
                         peaks + static_cast<long>(a) * kStretches);
        if (Pq)
            for (int a = a0; a < a1; ++a)
                above[a] = fixedPanelRow(isa, P + static_cast<long>(a) * kPanel, n,
                                         Pq + 2L * a * kPanel, kPanel);
    });
}

}  // namespace

// The combined values live in the upper triangle of the store, the
// correlations stay in the lower one. Per pass of kPanel controlling
// variables, their correlations with every variable are copied into a panel
// of kPanel lanes per variable, and each pair still above the threshold takes
// the pass's offers from its two panel rows. Pairs are taken in bands of kBand
// rows: one bit per pair tells whether it is still open, so a pass reads only
// the open pairs' cells; the correlations of a band with column j are one
// run of the row j, and the band's panel rows stay in cache while j moves on.
// Only the bands that hold rows of `rows` are visited, and only their pairs
// in those rows are ever open. Each panel row keeps the largest magnitude of
// each stretch of 64 lanes, so that a run passes over the stretches that
// cannot lower its pair's value. Where the processor runs the fixed-point
// lane test, the panel has a copy in 16-bit fixed point as well (each lane
// beside its sqrt(1 - a^2), kPanel cells on), which the runs test first.
void getPartCorrMat1InPlace(int V, int N, double pruneZ, Matrix& store, PairRows rows, Progress& p)
{
    const double threshold = thresholdFor(N, pruneZ, 1);
    const Isa isa = currentIsa();
    const int bands = (V + kBand - 1) / kBand;
    const int firstBand = rows.begin / kBand;
    const int endBand = rows.end <= rows.begin ? firstBand : (rows.end + kBand - 1) / kBand;
    Matrix panel(V, kPanel, 0.0);
    std::vector<double> peaks(static_cast<size_t>(V) * kStretches);
    std::vector<std::int16_t> fixedPanel(isa.fixedPoint ? 2L * V * kPanel : 0);
    std::vector<unsigned char> above(V);
    std::int16_t* const Pq = fixedPanel.empty() ? nullptr : fixedPanel.data();
    // Bit r of open[b * V + j]: the pair (b * kBand + r, j) is not pruned.
    std::vector<std::uint64_t> open(static_cast<size_t>(bands) * V);
    double openPairs = 0.5 * V * V;
    parallelFor(firstBand, endBand, openPairs, [&](long b) {
        const int i0 = std::max(static_cast<int>(b) * kBand, rows.begin);
        const int i1 = std::min(static_cast<int>(b + 1) * kBand, rows.end);
        std::uint64_t* bits = open.data() + b * V;
        for (int j = 0; j < V; ++j) {
            std::uint64_t w = 0;
            for (int i = i0; i < std::min(i1, j); ++i)
                w |= static_cast<std::uint64_t>(!pruned(store[i][j], threshold)) << (i % kBand);
            bits[j] = w;
        }
    });
    for (int c0 = 0; c0 < V; c0 += kPanel) {
        const int n = std::min(V, c0 + kPanel) - c0;
        fillPanel(isa, V, panel.data(), peaks.data(), Pq, above.data(), store, c0, n);
        const double* P = panel.data();
        // Bands in groups of kGroup: a panel row of j serves all of them.
        const int groups = (endBand - firstBand + kGroup - 1) / kGroup;
        parallelFor(0, groups, 16.0 * openPairs * n, [&](long g) {
            const int b0 = firstBand + static_cast<int>(g) * kGroup, b1 = std::min(endBand, b0 + kGroup);
            constexpr int ahead = 8;  // columns whose open cells are fetched early
            for (int j = b0 * kBand + 1; j < V; ++j) {
                const double* B = P + static_cast<long>(j) * kPanel;
                for (int b = b0; b < b1; ++b) {
                    const int i0 = b * kBand;
                    if (j <= i0) break;
                    std::uint64_t* bits = open.data() + static_cast<long>(b) * V;
                    if (j + ahead < V)
                        for (std::uint64_t left = bits[j + ahead]; left != 0; left &= left - 1) {
                            const int r = __builtin_ctzll(left);
                            __builtin_prefetch(store[i0 + r] + j + ahead);
                            __builtin_prefetch(store[j + ahead] + i0 + r);
                        }
                    std::uint64_t w = bits[j];
                    if (w == 0) continue;
                    const double* xs = store[j] + i0;
                    const std::int16_t* Bq = Pq ? Pq + 2L * j * kPanel : nullptr;
                    for (std::uint64_t left = w; left != 0; left &= left - 1) {
                        const int r = __builtin_ctzll(left), i = i0 + r;
                        const std::int16_t* Aq =
                            !Pq || (above[i] && above[j]) ? nullptr : Pq + 2L * i * kPanel;
                        const FixedRows fq{Aq, Bq, kPanel};
                        const Peaks pk{peaks.data() + static_cast<long>(i) * kStretches,
                                       peaks.data() + static_cast<long>(j) * kStretches};
                        double& v = store[i][j];
                        v = offerPanel(isa, v, xs[r], P + static_cast<long>(i) * kPanel, B, fq, pk,
                                       n, i - c0, j - c0, threshold);
                        if (pruned(v, threshold)) w &= ~(std::uint64_t{1} << r);
                    }
                    bits[j] = w;
                }
            }
        });
        openPairs = 0;
        for (const std::uint64_t w : open) openPairs += std::popcount(w);
        reportDone(p, static_cast<double>(c0 + n) / V);
        reportPasses(p, 1, V, {c0}, {c0 + n - 1});
    }
}

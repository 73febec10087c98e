// Second-order sweep: per first controlling variable c1, the first-order
// coefficients F given c1 (offered, never pruned), then per c2 > c1 the
// second-order coefficients from F (pruned at the order-2 threshold).
#include "batch_offers.h"
#include "parallel.h"
#include "sweep.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <utility>
#include <vector>

namespace {

// The share of the work done once c1 is through: each c1 costs about one
// pass per c2 > c1, plus one for the first-order coefficients.
double doneAfter2(int V, int c1)
{
    const double v = V, rest = V - c1 - 1.0;
    return 1 - rest * (rest + 1) / (v * (v + 1));
}

}  // namespace

void getPartCorrMat2Literal(int V, int N, double pruneZ, Matrix& combined, const Matrix& corr, Progress& p)
{
    const double threshold = thresholdFor(N, pruneZ, 2);
    Matrix F(V, V, 0.0);
    initCombined(V, combined, corr);
    for (int c1 = 0; c1 < V; ++c1) {
        for (int i = 0; i < V; ++i) {
            if (i == c1) continue;
            for (int j = i + 1; j < V; ++j) {
                if (j == c1) continue;
                const double r = partialStep(corr[i][j], corr[i][c1], corr[j][c1]);
                F[i][j] = r;
                F[j][i] = r;
                offer(combined[i][j], r);
            }
        }
        for (int c2 = c1 + 1; c2 < V; ++c2) {
            for (int i = 0; i < V; ++i) {
                if (i == c2 || i == c1) continue;
                for (int j = i + 1; j < V; ++j) {
                    if (j == c2 || j == c1) continue;
                    if (pruned(combined[i][j], threshold)) continue;
                    offer(combined[i][j], partialStep(F[i][j], F[i][c2], F[c2][j]));
                }
            }
            reportPasses(p, 2, V, {c1, c2}, {c1, c2});
        }
        reportDone(p, doneAfter2(V, c1));
    }
}

namespace {

constexpr int kTile = 64;

// Fills packed (V * (V - 1) / 2 + 1 cells, laid out as CorrRows reads them)
// with the strict upper triangle of the correlation whose lower triangle
// store holds, copied in tiles so both sides are read and written in runs.
void transposeLower(int V, const Matrix& store, double* packed)
{
    const long tiles = (V + kTile - 1) / kTile;
    parallelFor(0, tiles, 2.0 * V * V, [&](long t) {
        const int a0 = static_cast<int>(t) * kTile, a1 = std::min(V, a0 + kTile);
        for (int b0 = a0; b0 < V; b0 += kTile)
            for (int b = b0; b < std::min(V, b0 + kTile); ++b)
                for (int a = a0; a < std::min(a1, b); ++a)
                    packed[static_cast<long>(a) * (2L * V - a - 3) / 2 + b] = store[b][a];
    });
}

// Pairs are independent, and within one c1 a pair meets its offers in this
// order: its first-order coefficient, then, while it is not pruned, its run
// over c2 > c1. A pruned pair takes only first-order offers, so the c1 are
// taken in batches: a pair pruned when a batch starts takes the offers of the
// whole batch in one visit, mostly decided without computing the coefficient,
// while a pair open then goes through the batch c1 by c1 on its own, its
// first-order coefficients given c1 formed lane by lane from the rows of its
// two variables and of c1 (offerSecondOrder), so nothing of size V x V is
// formed per c1. The correlation is read from the lower triangle of the store
// and a packed copy of it transposed, so the upper triangle of other rows is
// never read and may change meanwhile; the combined values of the rows of
// `rows` go to their upper triangle as they come. Before each batch, the
// variables with a pair still open get the peaks of their first-order
// coefficients given each c1 of it, on every thread, with which the open
// pairs pass over most of their run untested. Shares of rows go to the
// threads once per batch.
void sweep2(int V, int N, double pruneZ, Matrix& store, PairRows range, Progress& p)
{
    const double threshold = thresholdFor(N, pruneZ, 2);
    const Isa isa = currentIsa();
    const int batch = kSecondOrderBatch;  // values of c1 per visit
    const int rows = 16;  // rows per share of the visit
    const long shares = (range.end - range.begin + rows - 1) / rows;
    Matrix packed(1, static_cast<long>(V) * (V - 1) / 2 + 1);
    transposeLower(V, store, packed.data());
    const CorrRows corr{&store, packed.data(), V};
    for (int i = range.begin; i < range.end; ++i)
        std::copy(corr.upper(i) + i + 1, corr.upper(i) + V, store[i] + i + 1);
    BatchRows rowsOfC;
    std::vector<int> openInRow(V, 0);  // per row i, how many j > i were open when the batch started
    // Per variable, whether a pair of it was open when the last batch ended,
    // as only those are open when the next starts: the variables whose peaks
    // the next batch needs.
    std::vector<unsigned char> involved(V, 1);
    double open = 0.5 * (range.end - range.begin) * V;  // pairs open when the batch starts
    for (int b0 = 0; b0 < V; b0 += batch) {
        const int b1 = std::min(V, b0 + batch);
        prepareBatch(isa, V, corr, b0, b1, rowsOfC);
        sizeBatchPeaks(isa, V, rowsOfC);
        parallelFor(range.begin, V, 2.0 * V * V * (b1 - b0), [&](long r) {
            if (involved[r]) prepareBatchPeaks(V, corr, static_cast<int>(r), rowsOfC);
            involved[r] = 0;
        });
        const double pairs = 0.5 * (range.end - range.begin) * (2.0 * V - range.end - range.begin);
        parallelFor(0, shares, (pairs * 2 + open * V * 4) * batch, [&](long k) {
            if (stopping(p)) return;
            const int first = range.begin + static_cast<int>(k) * rows;
            thread_local SingleRows scratch;
            thread_local std::vector<int> openJ;
            scratch.forget();
            for (int i = first; i < std::min(range.end, first + rows); ++i) {
                double* row = store[i];
                openJ.clear();
                offerFirstOrder(isa, row, corr, rowsOfC, scratch, i, i + 1, V, -1, threshold, openJ);
                bool any = false;
                for (const int j : openJ) {
                    row[j] = offerSecondOrder(isa, row[j], corr, rowsOfC, scratch, i, j, threshold);
                    if (!pruned(row[j], threshold)) {
                        std::atomic_ref<unsigned char>(involved[j]).store(1, std::memory_order_relaxed);
                        any = true;
                    }
                }
                if (any) std::atomic_ref<unsigned char>(involved[i]).store(1, std::memory_order_relaxed);
                openInRow[i] = static_cast<int>(openJ.size());
            }
        });
        open = 0;
        for (int i = range.begin; i < range.end; ++i) open += openInRow[i];
        reportDone(p, doneAfter2(V, b1 - 1));
        // The passes (c1, c2) of the batch's c1, the last c1 having none.
        const int last = std::min(b1, V - 1) - 1;
        if (b0 <= last) reportPasses(p, 2, V, {b0, b0 + 1}, {last, V - 1});
    }
}

}  // namespace

void getPartCorrMat2(int V, int N, double pruneZ, Matrix& combined, const Matrix& corr, Progress& p)
{
    combined = corr;
    sweep2(V, N, pruneZ, combined, PairRows{0, V}, p);
}

void getPartCorrMat2InPlace(int V, int N, double pruneZ, Matrix& store, PairRows rows, Progress& p)
{
    sweep2(V, N, pruneZ, store, rows, p);
}

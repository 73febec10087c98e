// Third-order sweep: per c1 the first-order coefficients F, per c2 > c1 the
// second-order coefficients S from F (both offered, never pruned), then per
// c3 > c2 the third-order coefficients from S, pruned at the order-3 threshold.
#include "batch_offers.h"
#include "parallel.h"
#include "sweep.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// The share of the work done once c1 is through: each c1 costs about one
// pass per pair c2 < c3 after it.
double doneAfter3(int V, int c1)
{
    const double v = V, rest = V - c1 - 1.0;
    return 1 - rest * rest * rest / (v * v * v);
}

}  // namespace

void getPartCorrMat3Literal(int V, int N, double pruneZ, Matrix& combined, const Matrix& corr, Progress& p)
{
    const double threshold = thresholdFor(N, pruneZ, 3);
    Matrix F(V, V, 0.0);
    Matrix S(V, V, 0.0);
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
                    const double r = partialStep(F[i][j], F[i][c2], F[c2][j]);
                    S[i][j] = r;
                    S[j][i] = r;
                    offer(combined[i][j], r);
                }
            }
            for (int c3 = c2 + 1; c3 < V; ++c3) {
                for (int i = 0; i < V; ++i) {
                    if (i == c3 || i == c2 || i == c1) continue;
                    for (int j = i + 1; j < V; ++j) {
                        if (j == c3 || j == c2 || j == c1) continue;
                        if (pruned(combined[i][j], threshold)) continue;
                        offer(combined[i][j], partialStep(S[i][j], S[i][c3], S[c3][j]));
                    }
                }
                reportPasses(p, 3, V, {c1, c2, c3}, {c1, c2, c3});
            }
        }
        reportDone(p, doneAfter3(V, c1));
    }
}

namespace {

// A symmetric copy (V x V) of the lower triangle and diagonal of store.
Matrix symmetricFromLower(int V, const Matrix& store)
{
    Matrix corr(V, V);
    const int tile = 64;
    parallelFor(0, (V + tile - 1) / tile, 2.0 * V * V, [&](long t) {
        const int a0 = static_cast<int>(t) * tile, a1 = std::min(V, a0 + tile);
        for (int b0 = 0; b0 < a1; b0 += tile)
            for (int a = a0; a < a1; ++a)
                for (int b = b0; b < std::min({a + 1, b0 + tile}); ++b) {
                    corr[a][b] = store[a][b];
                    corr[b][a] = store[a][b];
                }
    });
    return corr;
}

// Pairs are independent, and within one c1 a pair meets its offers in this
// order: its first-order coefficient, then per c2 its second-order one and,
// while it is not pruned, its run over c3 > c2. Given c1 that is the order of
// the second-order sweep run on the first-order coefficients F in place of
// the correlation, over the c2 > c1 in place of its c and the c3 > c2 in
// place of its w, the pairs with c1 left out: so per c1 the rows of F are
// formed, and the c2 taken in batches with the second-order sweep's kernels.
// A pair pruned when a batch starts takes only the batch's second-order
// offers (offerFirstOrder on F); a pair open then goes through the batch on
// its own, its second-order coefficients formed lane by lane from its rows of
// F and those of c2 (offerSecondOrder on F), so no row of second-order
// coefficients is stored. Only the pairs of `range` are visited, and only the
// rows of F that they or the values of c2 need are computed.
//
// Each parallel loop costs a wait for every thread, so per c1 one loop forms
// the rows of F and the batches' rows of the first window of c2 values, and
// one more takes every batch of the window: its shares of rows go through the
// window's batches one after another (most c1 have a single window; a
// window's rows of c take 26 bytes a cell).
void sweep3(int V, int N, double pruneZ, Matrix& combined, const Matrix& corr, PairRows range,
            int window, Progress& p)
{
    const double threshold = thresholdFor(N, pruneZ, 3);
    const Isa isa = currentIsa();
    const int batch = kThirdOrderBatch;  // values of c2 per batch
    const int threads = threadCount();
    const int span = range.end - range.begin;
    const int rows = std::max(8, span / (16 * threads));  // rows per share of a window
    const long shares = (span + rows - 1) / rows;
    Matrix F(V, V, 0.0);
    const CorrRows f{&F, nullptr, V};
    std::vector<BatchRows> batches(std::min(V, window) / batch + 1);
    std::vector<int> openInRow(V, 0);  // per row i, the j > i open when its last batch started
    initCombined(range, V, combined, corr);
    const double v = V;
    double open = 0.5 * span * V;  // pairs open when the last batch started
    const double pairs = 0.5 * span * (2.0 * V - range.end - range.begin);
    for (int c1 = 0; c1 < V; ++c1) {
        // The batches of the window [w0, w1): batch b holds w0 + b * batch on.
        auto sizeWindow = [&](int w0, int w1) {
            for (int b0 = w0; b0 < w1; b0 += batch)
                sizeBatch(V, b0, std::min(w1, b0 + batch), batches[(b0 - w0) / batch]);
        };
        auto fillWindowRow = [&](int w0, int c) {
            prepareBatchRow(isa, V, f, c, batches[(c - w0) / batch]);
        };
        int w0 = c1 + 1, w1 = std::min(V, w0 + window);
        sizeWindow(w0, w1);
        // Rows of F: those of the pairs' variables and those of every c2.
        parallelFor(std::min(range.begin, c1 + 1), V, v * v * 10, [&](long il) {
            const int i = static_cast<int>(il);
            if (i == c1) return;
            partialRow(isa, F[i], corr, i, c1, 0, V);
            if (i >= range.begin && i < range.end)
                for (int j = i + 1; j < V; ++j)
                    if (j != c1) offer(combined[i][j], F[i][j]);
            if (i >= w0 && i < w1) fillWindowRow(w0, i);
        });
        for (; w0 < V; w0 = w1, w1 = std::min(V, w0 + window)) {
            if (w0 > c1 + 1) {
                sizeWindow(w0, w1);
                parallelFor(w0, w1, v * (w1 - w0) * 10,
                            [&](long c) { fillWindowRow(w0, static_cast<int>(c)); });
            }
            const int count = (w1 - w0 + batch - 1) / batch;
            parallelFor(0, shares, (pairs * 2 + open * V * 4) * (w1 - w0), [&](long k) {
                const int first = range.begin + static_cast<int>(k) * rows;
                const int last = std::min(range.end, first + rows);
                thread_local SingleRows scratch;
                thread_local std::vector<int> openJ;
                for (int b = 0; b < count && !stopping(p); ++b) {
                    scratch.forget();
                    for (int i = first; i < last; ++i) {
                        openInRow[i] = 0;
                        if (i == c1) continue;
                        double* row = combined[i];
                        openJ.clear();
                        offerFirstOrder(isa, row, f, batches[b], scratch, i, i + 1, V, c1, threshold,
                                        openJ);
                        for (const int j : openJ)
                            row[j] = offerSecondOrder(isa, row[j], f, batches[b], scratch, i, j,
                                                      threshold);
                        openInRow[i] = static_cast<int>(openJ.size());
                    }
                }
            });
            open = 0;
            for (int i = range.begin; i < range.end; ++i) open += openInRow[i];
        }

        reportDone(p, doneAfter3(V, c1));
        if (c1 + 2 < V) reportPasses(p, 3, V, {c1, c1 + 1, c1 + 2}, {c1, V - 2, V - 1});
    }
}

}  // namespace

void getPartCorrMat3(int V, int N, double pruneZ, Matrix& combined, const Matrix& corr, Progress& p)
{
    sweep3(V, N, pruneZ, combined, corr, PairRows{0, V}, kThirdOrderWindow, p);
}

void getPartCorrMat3InPlace(int V, int N, double pruneZ, Matrix& store, PairRows rows, Progress& p)
{
    getPartCorrMat3Windows(V, N, pruneZ, store, rows, kThirdOrderWindow, p);
}

void getPartCorrMat3Windows(int V, int N, double pruneZ, Matrix& store, PairRows rows, int window,
                            Progress& p)
{
    const Matrix corr = symmetricFromLower(V, store);
    sweep3(V, N, pruneZ, store, corr, rows, window, p);
}

// Second-order sweep: per first controlling variable c1, the first-order
// coefficients F given c1 (offered, never pruned), then per c2 > c1 the
// second-order coefficients from F (pruned at the order-2 threshold).
#include "parallel.h"
#include "sweep.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace {

void progressLine2(Progress& p, int c1, int c2)
{
    if (!p.out) return;
    *p.out << "Controlled for " << c1 + 1 << " and " << c2 + 1 << " Time: ";
    writeTime(p);
}

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
            progressLine2(p, c1, c2);
        }
        reportDone(p, doneAfter2(V, c1));
    }
}

namespace {

// Pairs are independent, and within one c1 a pair meets its offers in this
// order: its first-order coefficient, then, while it is not pruned, its run
// over c2 > c1. A pruned pair takes only first-order offers, so the c1 are
// taken in batches: a pair pruned when a batch starts takes the offers of the
// whole batch in one visit, mostly decided without computing the coefficient,
// while the pairs open then are listed per row and go through the batch c1 by
// c1 with the rows of F (from column c1 + 1 on) of the variables of open
// pairs. Only the pairs of `rows` are visited.
void sweep2(int V, int N, double pruneZ, Matrix& combined, const Matrix& corr, PairRows range,
            Progress& p)
{
    const double threshold = thresholdFor(N, pruneZ, 2);
    const int batch = 8;  // values of c1 per visit of the pruned pairs
    const int rows = 16;  // rows per share of the visit
    const long shares = (range.end - range.begin + rows - 1) / rows;
    // One row more than V: the runs read whole vectors past the end of a row.
    Matrix F(V + 1, V, 0.0);
    initCombined(range, V, combined, corr);
    std::vector<char> need(V, 0);  // the variables of open pairs
    for (int i = range.begin; i < range.end; ++i)
        for (int j = i + 1; j < V; ++j)
            if (!pruned(combined[i][j], threshold)) need[i] = need[j] = 1;
    std::vector<std::vector<int>> openInRow(V);  // per row i, the j > i open when the batch started
    std::vector<std::pair<int, int>> open;       // the same pairs, in one list
    std::vector<int> needed;
    std::string lines;
    const double v = V;
    for (int b0 = 0; b0 < V; b0 += batch) {
        const int b1 = std::min(V, b0 + batch);
        parallelFor(0, shares, v * v * batch, [&](long k) {
            const int first = range.begin + static_cast<int>(k) * rows;
            for (int i = first; i < std::min(range.end, first + rows); ++i) {
                openInRow[i].clear();
                offerFirstOrder(combined[i], corr, i, b0, b1, i + 1, V, threshold, openInRow[i]);
            }
        });
        open.clear();
        for (int i = range.begin; i < range.end; ++i)
            for (const int j : openInRow[i]) open.push_back({i, j});
        needed.clear();
        for (int a = 0; a < V; ++a)
            if (need[a]) needed.push_back(a);
        const long pairShares = std::min<long>(static_cast<long>(open.size()), 64L * threadCount());
        for (int c1 = b0; c1 < b1; ++c1) {
            const double rest = V - c1;
            parallelFor(0, static_cast<long>(needed.size()), needed.size() * rest * 10.0, [&](long k) {
                const int a = needed[k];
                if (a != c1) partialRow(F[a], corr, a, c1, c1 + 1, V);
            });
            const double* xc = corr[c1];
            parallelFor(0, pairShares, open.size() * rest * 2.0, [&](long k) {
                const size_t first = open.size() * k / pairShares, last = open.size() * (k + 1) / pairShares;
                for (size_t n = first; n < last; ++n) {
                    const auto [i, j] = open[n];
                    if (i == c1 || j == c1) continue;
                    const double* xi = corr[i];
                    const double a = xi[c1], b = xc[j];
                    const double x = (xi[j] - a * b) / std::sqrt((1 - a * a) * (1 - b * b));
                    double& cell = combined[i][j];
                    double v = cell;
                    offer(v, x);
                    if (!pruned(v, threshold))
                        v = offerPanel(v, x, F[i] + c1 + 1, F[j] + c1 + 1, V - c1 - 1, i - c1 - 1,
                                       j - c1 - 1, threshold);
                    cell = v;
                }
            });
            reportDone(p, doneAfter2(V, c1));
            if (!p.out) continue;
            lines.clear();
            const std::string& time = timeNow(p);
            appendProgressLines(lines, "Controlled for " + std::to_string(c1 + 1) + " and ", c1 + 2,
                                V + 1, " Time: ", time);
            *p.out << lines;
        }
        std::fill(need.begin(), need.end(), 0);
        for (const auto& [i, j] : open)
            if (!pruned(combined[i][j], threshold)) need[i] = need[j] = 1;
    }
}

}  // namespace

void getPartCorrMat2(int V, int N, double pruneZ, Matrix& combined, const Matrix& corr, Progress& p)
{
    sweep2(V, N, pruneZ, combined, corr, PairRows{0, V}, p);
}

void getPartCorrMat2InPlace(int V, int N, double pruneZ, Matrix& store, PairRows rows, Progress& p)
{
    const Matrix corr = symmetricFromLower(V, store);
    sweep2(V, N, pruneZ, store, corr, rows, p);
}

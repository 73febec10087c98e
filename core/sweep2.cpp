// Second-order sweep: per first controlling variable c1, the first-order
// coefficients F given c1 (offered, never pruned), then per c2 > c1 the
// second-order coefficients from F (pruned at the order-2 threshold).
#include "parallel.h"
#include "sweep.h"

#include <algorithm>
#include <cmath>
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

// Within one c1, pairs are independent: each pair takes its first-order
// coefficient, then, while it is not pruned, its run over c2 > c1, as in the
// literal loops. A pair pruned when c1 starts takes only the first-order
// offer, mostly decided without computing the coefficient; the rows of F
// (from column c1 + 1 on) are computed only for the variables of pairs still
// open, which each thread marks as it leaves them.
void getPartCorrMat2(int V, int N, double pruneZ, Matrix& combined, const Matrix& corr, Progress& p)
{
    const double threshold = thresholdFor(N, pruneZ, 2);
    Matrix F(V, V, 0.0);
    initCombined(V, combined, corr);
    std::vector<char> need(V, 0);
    for (int i = 0; i < V; ++i)
        for (int j = i + 1; j < V; ++j)
            if (!pruned(combined[i][j], threshold)) need[i] = need[j] = 1;
    std::vector<std::vector<char>> marks(threadCount(), std::vector<char>(V, 0));
    std::string lines;
    for (int c1 = 0; c1 < V; ++c1) {
        const double v = V;
        long needed = 0;
        for (char n : need) needed += n;
        const int rows = 16;  // rows per share of a parallel loop
        const long shares = (V + rows - 1) / rows;
        parallelFor(0, shares, needed * (V - c1) * 10.0, [&](long k) {
            for (int a = static_cast<int>(k) * rows; a < std::min<long>(V, (k + 1) * rows); ++a)
                if (a != c1 && need[a]) partialRow(F[a], corr, a, c1, c1 + 1, V);
        });
        for (auto& m : marks) std::fill(m.begin(), m.end(), 0);
        parallelFor(0, shares, v * v * 4 + needed * needed * (V - c1) / 16.0, [&](long k) {
          for (int i = static_cast<int>(k) * rows; i < std::min<long>(V, (k + 1) * rows); ++i) {
            char* mark = marks[threadIndex()].data();
            double* row = combined[i];
            // Pairs with c1 take no offer in this c1; those open stay so.
            if (i == c1) {
                for (int j = i + 1; j < V; ++j)
                    if (!pruned(row[j], threshold)) mark[i] = mark[j] = 1;
                continue;
            }
            if (c1 > i && !pruned(row[c1], threshold)) mark[i] = mark[c1] = 1;
            thread_local std::vector<int> open;
            open.clear();
            const double* xi = corr[i];
            const double* xc = corr[c1];
            offerFirstOrder(row, xi, xc, i, c1, i + 1, V, threshold, open);
            const double a = xi[c1], fa = 1 - a * a;
            for (const int j : open) {
                const double b = xc[j];
                const double x = (xi[j] - a * b) / std::sqrt(fa * (1 - b * b));
                double v = row[j];
                offer(v, x);
                if (!pruned(v, threshold)) v = offerRun(v, x, F[i], F[j], c1 + 1, V, i, j, threshold);
                row[j] = v;
                if (!pruned(v, threshold)) mark[i] = mark[j] = 1;
            }
          }
        });
        std::fill(need.begin(), need.end(), 0);
        for (const auto& m : marks)
            for (int a = 0; a < V; ++a) need[a] |= m[a];
        reportDone(p, doneAfter2(V, c1));
        if (!p.out) continue;
        lines.clear();
        const std::string& time = timeNow(p);
        appendProgressLines(lines, "Controlled for " + std::to_string(c1 + 1) + " and ", c1 + 2,
                            V + 1, " Time: ", time);
        *p.out << lines;
    }
}

void getPartCorrMat2InPlace(int V, int N, double pruneZ, Matrix& store, Progress& p)
{
    const Matrix corr = store;
    getPartCorrMat2(V, N, pruneZ, store, corr, p);
}

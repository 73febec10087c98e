// Third-order sweep: per c1 the first-order coefficients F, per c2 > c1 the
// second-order coefficients S from F (both offered, never pruned), then per
// c3 > c2 the third-order coefficients from S, pruned at the order-3 threshold.
#include "parallel.h"
#include "sweep.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

void progressLine3(Progress& p, int c1, int c2, int c3)
{
    if (!p.out) return;
    *p.out << "Controlled for " << c1 + 1 << ", " << c2 + 1 << " and " << c3 + 1 << " Time: ";
    writeTime(p);
}

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
                progressLine3(p, c1, c2, c3);
            }
        }
        reportDone(p, doneAfter3(V, c1));
    }
}

namespace {

// Open pairs taken by one thread, with the rows of S that their variables
// need; a row is allocated the first time one of its pairs needs it.
struct OpenGroup {
    std::vector<size_t> active;  // indices into the open pairs, not yet pruned
    std::vector<std::vector<double>> S;
    std::vector<int> stamp;  // c2 for which row a of S was filled
};

// Runs the open pairs of g through every c2 > c1: the second-order offer, then
// the third-order run over c3 > c2 until the pair is pruned, after which it
// takes only the rest of its second-order run, from F.
void runOpenPairs(OpenGroup& g, const std::vector<std::pair<int, int>>& open,
                  std::vector<double>& openValue, const Matrix& F, int c1, int V,
                  double threshold)
{
    const double never = std::nan("");  // a threshold that prunes nothing
    std::fill(g.stamp.begin(), g.stamp.end(), -1);
    for (int c2 = c1 + 1; c2 < V && !g.active.empty(); ++c2) {
        for (const size_t k : g.active)
            for (int a : {open[k].first, open[k].second})
                if (a != c2 && g.stamp[a] != c2) {
                    if (g.S[a].empty()) g.S[a].resize(V + 8);  // whole vectors read past V
                    partialRow(g.S[a].data(), F, a, c2, c2 + 1, V);
                    g.stamp[a] = c2;
                }
        for (size_t n = 0; n < g.active.size();) {
            const size_t k = g.active[n];
            const auto [i, j] = open[k];
            if (i == c2 || j == c2) {
                ++n;
                continue;
            }
            const double x = j > c2 ? g.S[i][j] : partialStep(F[i][j], F[i][c2], F[c2][j]);
            double& v = openValue[k];
            offer(v, x);
            v = offerPanel(v, x, g.S[i].data() + c2 + 1, g.S[j].data() + c2 + 1, V - c2 - 1, i - c2 - 1,
                           j - c2 - 1, threshold);
            if (pruned(v, threshold)) {
                v = offerPanel(v, F[i][j], F[i] + c2 + 1, F[j] + c2 + 1, V - c2 - 1, i - c2 - 1,
                               j - c2 - 1, never);
                g.active[n] = g.active.back();
                g.active.pop_back();
            } else {
                ++n;
            }
        }
    }
}

}  // namespace

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
// while it is not pruned, its run over c3 > c2. A pair pruned when c1 starts
// takes only the second-order run over c2, from F. The few pairs still above
// the threshold are shared out in runs of neighbours among the threads, and
// go through c2 one by one with the rows of S that their variables need,
// computed from column c2 + 1 on. Only the pairs of `range` are visited, and
// only the rows of F that they or the values of c2 need are computed.
void sweep3(int V, int N, double pruneZ, Matrix& combined, const Matrix& corr, PairRows range,
            Progress& p)
{
    const double threshold = thresholdFor(N, pruneZ, 3);
    const double never = std::nan("");  // a threshold that prunes nothing
    Matrix F(V + 1, V, 0.0);  // a row more: the runs read whole vectors past a row's end
    std::vector<OpenGroup> groups(threadCount());
    for (OpenGroup& g : groups) {
        g.S.resize(V);
        g.stamp.resize(V);
    }
    // The pairs not pruned when c1 starts and their values while c1 runs (the
    // cells of combined stay as they were until the end of c1, so the other
    // threads classify the pairs the same way).
    const size_t pairs = static_cast<size_t>(V) * (V > 0 ? V - 1 : 0) / 2;
    std::vector<std::pair<int, int>> open;
    std::vector<double> openValue;
    open.reserve(pairs);
    openValue.reserve(pairs);
    std::string lines;
    initCombined(range, V, combined, corr);
    const long G = static_cast<long>(groups.size());
    for (int c1 = 0; c1 < V; ++c1) {
        const double v = V;
        // Rows of F: those of the pairs' variables and those of every c2.
        parallelFor(std::min(range.begin, c1 + 1), V, v * v * 10, [&](long il) {
            const int i = static_cast<int>(il);
            if (i == c1) return;
            partialRow(F[i], corr, i, c1, 0, V);
            if (i >= range.begin && i < range.end)
                for (int j = i + 1; j < V; ++j)
                    if (j != c1) offer(combined[i][j], F[i][j]);
        });
        open.clear();
        openValue.clear();
        for (int i = range.begin; i < range.end; ++i)
            for (int j = i + 1; j < V; ++j)
                if (i != c1 && j != c1 && !pruned(combined[i][j], threshold)) {
                    open.push_back({i, j});
                    openValue.push_back(combined[i][j]);
                }
        for (long g = 0; g < G; ++g) {
            groups[g].active.clear();
            for (size_t k = open.size() * g / G; k < open.size() * (g + 1) / G; ++k)
                groups[g].active.push_back(k);
        }

        // Indices below 0 are the groups of open pairs, the others rows of
        // pruned pairs.
        const double rest = V - c1;
        parallelFor(-G, range.end, (open.size() * rest * 1.5 + v * v * 0.5) * rest * 8, [&](long il) {
            if (il < 0) return runOpenPairs(groups[il + G], open, openValue, F, c1, V, threshold);
            const int i = static_cast<int>(il);
            if (i == c1 || i < range.begin) return;
            double* row = combined[i];
            const double* fi = F[i];
            for (int j = i + 1; j < V; ++j)
                if (j != c1 && pruned(row[j], threshold))
                    row[j] = offerPanel(row[j], fi[j], fi + c1 + 1, F[j] + c1 + 1, V - c1 - 1, i - c1 - 1,
                                        j - c1 - 1, never);
        });
        for (size_t k = 0; k < open.size(); ++k) combined[open[k].first][open[k].second] = openValue[k];

        reportDone(p, doneAfter3(V, c1));
        if (!p.out) continue;
        lines.clear();
        const std::string& time = timeNow(p);
        for (int c2 = c1 + 1; c2 < V; ++c2) {
            const std::string head =
                "Controlled for " + std::to_string(c1 + 1) + ", " + std::to_string(c2 + 1) + " and ";
            appendProgressLines(lines, head, c2 + 2, V + 1, " Time: ", time);
        }
        *p.out << lines;
    }
}

}  // namespace

void getPartCorrMat3(int V, int N, double pruneZ, Matrix& combined, const Matrix& corr, Progress& p)
{
    sweep3(V, N, pruneZ, combined, corr, PairRows{0, V}, p);
}

void getPartCorrMat3InPlace(int V, int N, double pruneZ, Matrix& store, PairRows rows, Progress& p)
{
    const Matrix corr = symmetricFromLower(V, store);
    sweep3(V, N, pruneZ, store, corr, rows, p);
}

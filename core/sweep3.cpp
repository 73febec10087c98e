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
    p.out << "Controlled for " << c1 + 1 << ", " << c2 + 1 << " and " << c3 + 1 << " Time: ";
    writeTime(p);
}

}  // namespace

void getPartCorrMat3Literal(int V, int N, Matrix& combined, const Matrix& corr, Progress& p)
{
    const double threshold = thresholdFor(N, 1.96, 3);
    Matrix F(V, std::vector<double>(V));
    Matrix S(V, std::vector<double>(V));
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
    }
}

// Pairs are independent, and within one c1 a pair meets its offers in this
// order: its first-order coefficient, then per c2 its second-order one and,
// while it is not pruned, its run over c3 > c2. A pair pruned when c1 starts
// takes only the second-order run over c2, from F; the few pairs still above
// the threshold go through c2 one by one, with the rows of S that their
// variables need, computed from column c2 + 1 on.
void getPartCorrMat3(int V, int N, Matrix& combined, const Matrix& corr, Progress& p)
{
    const double threshold = thresholdFor(N, 1.96, 3);
    const double never = std::nan("");  // a threshold that prunes nothing
    Matrix F(V, std::vector<double>(V));
    Matrix S(V, std::vector<double>(V));
    // The pairs not pruned when c1 starts, their values while c1 runs (the
    // cells of combined stay as they were until the end of c1, so the other
    // threads classify the pairs the same way), and those still not pruned.
    const size_t pairs = static_cast<size_t>(V) * (V > 0 ? V - 1 : 0) / 2;
    std::vector<std::pair<int, int>> open;
    std::vector<double> openValue;
    std::vector<size_t> active;
    open.reserve(pairs);
    openValue.reserve(pairs);
    active.reserve(pairs);
    std::vector<int> stamp(V, -1);  // c2 for which row a of S was filled
    std::string lines;
    initCombined(V, combined, corr);
    for (int c1 = 0; c1 < V; ++c1) {
        const double v = V;
        parallelFor(0, V, v * v * 10, [&](long il) {
            const int i = static_cast<int>(il);
            if (i == c1) return;
            partialRow(F[i], corr, i, c1, 0, V);
            for (int j = i + 1; j < V; ++j)
                if (j != c1) offer(combined[i][j], F[i][j]);
        });
        open.clear();
        openValue.clear();
        active.clear();
        for (int i = 0; i < V; ++i)
            for (int j = i + 1; j < V; ++j)
                if (i != c1 && j != c1 && !pruned(combined[i][j], threshold)) {
                    active.push_back(open.size());
                    open.push_back({i, j});
                    openValue.push_back(combined[i][j]);
                }
        std::fill(stamp.begin(), stamp.end(), -1);

        // The open pairs, on one thread, while the other threads take the rows.
        auto openPairs = [&] {
            for (int c2 = c1 + 1; c2 < V && !active.empty(); ++c2) {
                for (const size_t k : active)
                    for (int a : {open[k].first, open[k].second})
                        if (a != c2 && stamp[a] != c2) {
                            partialRow(S[a], F, a, c2, c2 + 1, V);
                            stamp[a] = c2;
                        }
                for (size_t n = 0; n < active.size();) {
                    const size_t k = active[n];
                    const auto [i, j] = open[k];
                    if (i == c2 || j == c2) {
                        ++n;
                        continue;
                    }
                    const double x = j > c2 ? S[i][j] : partialStep(F[i][j], F[i][c2], F[c2][j]);
                    double& v = openValue[k];
                    offer(v, x);
                    v = offerRun(v, x, S[i].data(), S[j].data(), c2 + 1, V, i, j, threshold);
                    if (pruned(v, threshold)) {
                        v = offerRun(v, F[i][j], F[i].data(), F[j].data(), c2 + 1, V, i, j, never);
                        active[n] = active.back();
                        active.pop_back();
                    } else {
                        ++n;
                    }
                }
            }
        };
        const double rest = V - c1;
        parallelFor(-1, V, open.size() * rest * rest * 4 + v * v * rest / 16, [&](long il) {
            if (il < 0) return openPairs();
            const int i = static_cast<int>(il);
            if (i == c1) return;
            double* row = combined[i].data();
            const double* fi = F[i].data();
            for (int j = i + 1; j < V; ++j)
                if (j != c1 && pruned(row[j], threshold))
                    row[j] = offerRun(row[j], fi[j], fi, F[j].data(), c1 + 1, V, i, j, never);
        });
        for (size_t k = 0; k < open.size(); ++k) combined[open[k].first][open[k].second] = openValue[k];

        lines.clear();
        const std::string& time = timeNow(p);
        for (int c2 = c1 + 1; c2 < V; ++c2)
            for (int c3 = c2 + 1; c3 < V; ++c3)
                appendProgressLine(lines,
                                   {{"Controlled for ", c1 + 1}, {", ", c2 + 1}, {" and ", c3 + 1}},
                                   " Time: ", time);
        p.out << lines;
    }
}

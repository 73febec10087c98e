// Fractional ranks: each column ranked on its own, ties sharing the mean of
// their positions (1-based). Values compare exactly, so -0 and +0 are tied.
#include "core.h"
#include "parallel.h"

#include <algorithm>
#include <utility>
#include <vector>

void bubbleSort1(double* a, int n)
{
    for (int i = 1; i < n; ++i)
        for (int j = 0; j < n - i; ++j)
            if (a[j] > a[j + 1]) std::swap(a[j], a[j + 1]);
}

void getRanksLiteral(int V, int N, Matrix& rank, const Matrix& obs)
{
    std::vector<double> sorted(N > 0 ? N : 0);
    for (int i = 0; i < V; ++i) {
        for (int k = 0; k < N; ++k) sorted[k] = obs[k][i];
        bubbleSort1(sorted.data(), N);
        for (int j = 0; j < N; ++j)
            for (int k = 0; k < N; ++k)
                if (obs[k][i] == sorted[j]) rank[k][i] = j + 1;
    }
    double missingSum = 0;
    int missingCount = 0;
    for (int i = 0; i < V; ++i)
        for (int c = 1; c <= N; ++c) {
            int held = 0;
            for (int k = 0; k < N; ++k) held += rank[k][i] == c;
            if (held == 0) {
                missingSum += c;
                missingCount += 1;
            } else if (held > 1) {
                missingSum += c;
                missingCount += 1;
                const double mean = missingSum / static_cast<double>(missingCount);
                for (int k = 0; k < N; ++k)
                    if (rank[k][i] == c) rank[k][i] = mean;
                missingSum = 0;
                missingCount = 0;
            }
        }
}

// A tie group at sorted positions p..q gets (sum of p+1..q+1) / (q - p + 1):
// the same whole-number sum over the same count as the counting loop forms,
// so the same double.
void getRanks(int V, int N, Matrix& rank, const Matrix& obs)
{
    parallelFor(0, V, static_cast<double>(V) * N * 20, [&](long i) {
        std::vector<std::pair<double, int>> column(N);
        for (int k = 0; k < N; ++k) column[k] = {obs[k][i], k};
        std::sort(column.begin(), column.end(),
                  [](const auto& x, const auto& y) { return x.first < y.first; });
        for (int p = 0; p < N;) {
            int q = p;
            while (q + 1 < N && column[q + 1].first == column[p].first) ++q;
            double r = q + 1;
            if (q > p) {
                double sum = 0;
                for (int c = p + 1; c <= q + 1; ++c) sum += c;
                r = sum / static_cast<double>(q - p + 1);
            }
            for (int k = p; k <= q; ++k) rank[column[k].second][i] = r;
            p = q + 1;
        }
    });
}

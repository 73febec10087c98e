// Edge selection: thresholds of the alpha levels, p- and q-values of the
// pairs near or above the loosest level, and the strictest level each passes.
#include "selection.h"

#include "core.h"
#include "parallel.h"
#include "pvalues.h"

#include <algorithm>
#include <cmath>

void selectEdges(std::vector<Level>& levels, std::vector<Edge>& edges, const Matrix& result, int V,
                 int N, int K, double pruneAlpha, bool withPQ)
{
    edges.clear();
    double cutoff = K > 0 ? pruneAlpha : 0;
    for (Level& l : levels) {
        cutoff = std::max(cutoff, l.alpha);
        l.threshold = l.fdr ? std::nan("") : thresholdFor(N, l.z, K);
        l.edges = 0;
    }
    if (!withPQ) {
        std::vector<std::vector<long long>> counts(static_cast<size_t>(V));
        parallelFor(0, V, 4.0 * V * V, [&](long il) {
            const int i = static_cast<int>(il);
            counts[i].assign(levels.size(), 0);
            forEachEdge(V, levels.front().threshold, result, i, i + 1, [&](int, int, double x) {
                for (size_t l = 0; l < levels.size() && passes(x, levels[l].threshold); ++l)
                    ++counts[i][l];
            });
        });
        for (const auto& c : counts)
            for (size_t l = 0; l < c.size(); ++l) levels[l].edges += c[l];
        return;
    }
    // Candidates: a margin below the |r| of the cutoff, so rounding keeps none out.
    const double low = thresholdFor(N, zForAlpha(std::min(cutoff, 0.999)), K) * (1 - 1e-9);

    struct Candidate {
        int i, j;
        double r;
    };
    std::vector<std::vector<Candidate>> rows(static_cast<size_t>(V));
    parallelFor(0, V, 4.0 * V * V, [&](long il) {
        const int i = static_cast<int>(il);
        for (int j = i + 1; j < V; ++j)
            if (std::fabs(result[i][j]) >= low) rows[i].push_back({i, j, result[i][j]});
    });
    std::vector<Candidate> all;
    for (auto& row : rows) {
        all.insert(all.end(), row.begin(), row.end());
        std::vector<Candidate>().swap(row);
    }
    std::vector<double> p(all.size()), q;
    parallelFor(0, static_cast<long>(all.size()), 40.0 * all.size(),
                [&](long k) { p[k] = fisherP(all[k].r, N, K); });
    const long long pairs = static_cast<long long>(V) * (V - 1) / 2;
    benjaminiHochberg(p, pairs, q);

    for (size_t k = 0; k < all.size(); ++k) {
        int level = -1;
        for (size_t l = 0; l < levels.size(); ++l) {
            const bool passed = levels[l].fdr ? q[k] <= levels[l].alpha
                                              : passes(all[k].r, levels[l].threshold);
            if (!passed) break;
            level = static_cast<int>(l);
            ++levels[l].edges;
        }
        if (level >= 0) edges.push_back({all[k].i, all[k].j, all[k].r, p[k], q[k], level});
    }
}

std::vector<Edge> edgesAtLevel(const std::vector<Edge>& edges, int level)
{
    std::vector<Edge> kept;
    for (const Edge& e : edges)
        if (e.level >= level) kept.push_back(e);
    return kept;
}

Histogram keptHistogram(const Matrix& result, int V)
{
    Histogram h{-1.0, 0.02, std::vector<long long>(100, 0)};
    for (int i = 0; i < V; ++i)
        for (int j = i + 1; j < V; ++j) {
            const double r = result[i][j];
            if (std::isnan(r)) continue;
            const int bin = std::clamp(static_cast<int>((r + 1) / 0.02), 0, 99);
            ++h.counts[bin];
        }
    return h;
}

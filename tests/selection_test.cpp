// Edge selection left in the matrix: the same edges, p, q, levels and counts
// as one sort of every candidate's p, at any window and thread count, and the
// matrix put back as it was.
#include "parallel.h"
#include "pvalues.h"
#include "selection.h"

#include "core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// The selection as one list of candidates, their p, and Benjamini-Hochberg
// over them all at once.
std::vector<Edge> oneSort(std::vector<Level>& levels, const Matrix& m, int V, int N, int K,
                          double pruneAlpha)
{
    double cutoff = K > 0 ? pruneAlpha : 0;
    for (Level& l : levels) {
        cutoff = std::max(cutoff, l.alpha);
        l.threshold = l.fdr ? std::nan("") : thresholdFor(N, l.z, K);
        l.edges = 0;
    }
    const double low = thresholdFor(N, zForAlpha(std::min(cutoff, 0.999)), K) * (1 - 1e-9);
    std::vector<Edge> all;
    for (int i = 0; i < V; ++i)
        for (int j = i + 1; j < V; ++j)
            if (std::fabs(m[i][j]) >= low) all.push_back({i, j, m[i][j], 0, 0, -1});
    std::vector<double> p, q;
    for (const Edge& e : all) p.push_back(fisherP(e.r, N, K));
    benjaminiHochberg(p, static_cast<long long>(V) * (V - 1) / 2, q);
    std::vector<Edge> edges;
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
    return edges;
}

bool sameBits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

std::string differences(const std::vector<Edge>& got, const std::vector<Edge>& want)
{
    if (got.size() != want.size())
        return std::to_string(got.size()) + " edges, not " + std::to_string(want.size());
    for (size_t k = 0; k < got.size(); ++k) {
        const Edge &a = got[k], &b = want[k];
        if (a.i != b.i || a.j != b.j || !sameBits(a.r, b.r) || !sameBits(a.p, b.p) ||
            !sameBits(a.q, b.q) || a.level != b.level)
            return "edge " + std::to_string(k) + " (" + std::to_string(b.i) + ", " +
                   std::to_string(b.j) + ") differs";
    }
    return "";
}

// A symmetric matrix of coefficients with what a sort can trip on: values
// repeated (tied p), many pairs of |r| = 1 (p = 0), |r| a hair above 1 (p not
// a number), cells that are not numbers, and p packed close together.
Matrix awkwardMatrix(int V, unsigned seed)
{
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(-0.95, 0.95);
    Matrix m(V, V);
    for (int i = 0; i < V; ++i) {
        m[i][i] = 1;
        for (int j = i + 1; j < V; ++j) {
            double r = u(rng);
            switch (rng() % 16) {
            case 0: r = std::round(r * 32) / 32; break;   // ties
            case 1: r = r < 0 ? -1 : 1; break;           // p = 0
            case 2: r = std::nextafter(1.0, 2.0); break; // p not a number
            case 3: r = std::nan(""); break;
            case 4: r = 0.6 + 1e-13 * static_cast<double>(rng() % 1000); break;  // p close together
            default: break;
            }
            m[i][j] = m[j][i] = r;
        }
    }
    return m;
}

std::vector<Level> levelsFor(std::vector<double> alpha, bool fdr)
{
    assocnet::Options o;
    o.alpha = std::move(alpha);
    o.fdr = fdr;
    o.order = 0;
    return assocnet::levelsOf(o);
}

}  // namespace

TEST(SelectInPlace, GivesTheEdgesOfOneSortAtAnyWindowAndThreadCount)
{
    const int V = 70;
    const Matrix original = awkwardMatrix(V, 7);
    struct Case {
        int N, K;
        std::vector<Level> levels;
    };
    const std::vector<Case> cases = {
        {30, 0, levelsFor({0.05, 0.01, 0.001}, false)},
        {30, 2, levelsFor({0.01, 0.0001}, false)},
        {30, 0, levelsFor({0.1, 0.01}, true)},
        {12, 1, levelsFor({0.05}, true)},
    };
    const int before = threadCount();
    for (const Case& c : cases) {
        std::vector<Level> want = c.levels;
        const std::vector<Edge> wanted = oneSort(want, original, V, c.N, c.K, 0.05);
        ASSERT_GT(wanted.size(), 100u);
        for (int threads : {1, 2})
            for (long window : {2L, 40L, 0L}) {
                setThreadCount(threads);
                Matrix m = original;
                std::vector<Level> levels = c.levels;
                selectInPlace(levels, m, V, c.N, c.K, 0.05, window);
                const StoredEdges stored(m, V, c.N, c.K, 0.05, levels);
                std::vector<Edge> got;
                stored.forEach(0, true, [&](std::span<const Edge> b) { got.insert(got.end(), b.begin(), b.end()); });
                const std::string at = "N " + std::to_string(c.N) + ", K " + std::to_string(c.K) +
                                       ", window " + std::to_string(window) + ", threads " +
                                       std::to_string(threads);
                EXPECT_EQ(differences(got, wanted), "") << at;
                for (size_t l = 0; l < levels.size(); ++l) {
                    EXPECT_EQ(levels[l].edges, want[l].edges) << at << ", level " << l;
                    EXPECT_TRUE(sameBits(levels[l].threshold, want[l].threshold)) << at;
                }
                stored.restore(m);
                EXPECT_EQ(std::memcmp(m.data(), original.data(), sizeof(double) * V * V), 0) << at;
            }
    }
    setThreadCount(before);
}

TEST(SelectInPlace, LevelsAndTextsComeInTheOrderOfTheEdges)
{
    const int V = 150, N = 30;
    Matrix m = awkwardMatrix(V, 11);
    std::vector<Level> levels = levelsFor({0.05, 0.01, 0.001}, false);
    std::vector<Edge> all;
    selectEdges(levels, all, m, V, N, 0, 0.05, true);
    selectInPlace(levels, m, V, N, 0, 0.05, 0);
    const StoredEdges stored(m, V, N, 0, 0.05, levels);
    const EdgeVector gathered(all);
    for (int level = 0; level < 3; ++level) {
        std::vector<Edge> want;
        for (const Edge& e : all)
            if (e.level >= level) want.push_back(e);
        ASSERT_EQ(static_cast<long long>(want.size()), levels[level].edges);
        for (const EdgeList* list : {static_cast<const EdgeList*>(&stored), static_cast<const EdgeList*>(&gathered)}) {
            std::vector<Edge> got;
            list->forEach(level, true, [&](std::span<const Edge> b) { got.insert(got.end(), b.begin(), b.end()); });
            EXPECT_EQ(differences(got, want), "") << "level " << level;
            std::string text, wantText;
            list->forEachText(
                level, false,
                [](std::span<const Edge> b, std::string& t) {
                    for (const Edge& e : b) t += std::to_string(e.i) + "-" + std::to_string(e.j) + "\n";
                },
                [&](std::string_view t) { text += t; });
            for (const Edge& e : want) wantText += std::to_string(e.i) + "-" + std::to_string(e.j) + "\n";
            EXPECT_EQ(text, wantText) << "level " << level;
        }
    }
}

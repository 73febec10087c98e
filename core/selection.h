// Which pairs are edges: per level, the pairs whose kept coefficient passes
// it, with their Fisher-z p-values and Benjamini-Hochberg q-values; and the
// distribution of the kept coefficients.
//
//   passes          whether a kept coefficient passes a threshold
//   forEachEdge     visits the pairs of a matrix that pass a threshold
//   EdgeList        the edges as the writers read them, in batches
//   selectInPlace   fills the levels' thresholds and counts, and leaves each
//                   candidate pair's q in the matrix, beside its r
//   StoredEdges     the edges that selectInPlace left in the matrix
//   selectEdges     the same edges gathered in a vector, the matrix put back
//   keptHistogram   the kept coefficients of all pairs in 100 bins
#pragma once

#include "assocnet/assocnet.h"
#include "matrix.h"

#include <cmath>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

using assocnet::Edge;
using assocnet::Level;

// Kept coefficients of every pair, binned: counts[k] holds those in
// [from + k*width, from + (k+1)*width).
struct Histogram {
    double from, width;
    std::vector<long long> counts;
};

// The edge test: the magnitude strictly above the threshold; a coefficient
// or a threshold that is not a number passes nothing.
inline bool passes(double r, double threshold) { return std::fabs(r) > threshold; }

// Calls visit(i, j, m[i][j]) for every pair i < j of rows [begin, end) of the
// strict upper triangle of m (V x V) that passes threshold, row by row.
template <class Visit>
void forEachEdge(int V, double threshold, const Matrix& m, int begin, int end, Visit&& visit)
{
    for (int i = begin; i < end; ++i) {
        const double* row = m[i];
        for (int j = i + 1; j < V; ++j)
            if (passes(row[j], threshold)) visit(i, j, row[j]);
    }
}

// The edges of a run in the order the files list them (by i, then j),
// handed to take in consecutive batches. forEach visits the edges whose
// strictest level is minLevel or a stricter one; without withP an edge's p
// may be left not-a-number.
class EdgeList {
public:
    using Take = std::function<void(std::span<const Edge>)>;
    using Format = std::function<void(std::span<const Edge>, std::string& text)>;
    virtual ~EdgeList() = default;
    virtual void forEach(int minLevel, bool withP, const Take& take) const = 0;
    // The same batches, each turned into text by format, which appends it to
    // text (and may run on other threads, for several batches at once); take
    // receives the texts in order, of one batch or more each. Here format
    // runs on the calling thread, one batch a text.
    virtual void forEachText(int minLevel, bool withP, const Format& format,
                             const std::function<void(std::string_view)>& take) const;
};

// Edges held in a vector, in the order above.
class EdgeVector final : public EdgeList {
public:
    explicit EdgeVector(const std::vector<Edge>& edges) : edges_(edges) {}
    void forEach(int minLevel, bool withP, const Take& take) const override;

private:
    const std::vector<Edge>& edges_;
};

// The fewest pairs selectInPlace sorts at once (32 bytes each).
constexpr long kSelectionWindow = 1L << 22;

// Reads the strict upper triangle of result (V x V, the kept coefficients at
// order K with N samples). Fills each level's threshold (the |r| of its z at
// order K; not-a-number for a false-discovery level) and count. Every pair
// whose p might reach the loosest level or the pruning level (pruneAlpha, at
// orders 1 to 3) is a candidate: Benjamini-Hochberg over all V(V - 1)/2
// pairs gives it q, exact wherever it is at or below those levels, the same
// bits as benjaminiHochberg over the candidates' p. Each candidate's q is
// left in its mirror cell result[j][i] (j > i), negated; the mirror cells of
// other pairs whose r is a number hold -2. The upper triangle is kept.
// The candidates are ranked window after window of at most `window` pairs,
// from the largest p down, so no more than that many are held at once; 0
// takes V * V / 16 (a quarter of the matrix's bytes), at least kSelectionWindow.
void selectInPlace(std::vector<Level>& levels, Matrix& result, int V, int N, int K,
                   double pruneAlpha, long window = 0);

// The edges that selectInPlace left in a matrix, made as they are visited:
// r from the upper triangle, q from the mirror cell, p computed from r, the
// level from both. Rows are made on the threads of the parallel loops, a
// band at a time, and handed over in order.
class StoredEdges final : public EdgeList {
public:
    StoredEdges(const Matrix& result, int V, int N, int K, double pruneAlpha,
                std::vector<Level> levels);
    void forEach(int minLevel, bool withP, const Take& take) const override;
    // Formats on the threads that make the edges.
    void forEachText(int minLevel, bool withP, const Format& format,
                     const std::function<void(std::string_view)>& take) const override;
    // Puts each r that is a number back into its mirror cell: every cell of
    // result as the statistics left it, where the mirror cells held a copy
    // of the upper triangle (so at order 0, and in any cell that is a number).
    void restore(Matrix& result) const;

private:
    struct Band;
    void makeBand(int t, int minLevel, bool withP, Band& band) const;
    const Matrix& m_;
    int V_, N_, K_;
    double low_;
    std::vector<Level> levels_;
};

// Fills the levels as selectInPlace does; with withPQ, edges with every pair
// that passes the loosest level, by i then j, with p and q, and result as it
// was. Without withPQ only the counts of alpha levels are made.
void selectEdges(std::vector<Level>& levels, std::vector<Edge>& edges, Matrix& result, int V,
                 int N, int K, double pruneAlpha, bool withPQ);

// The kept coefficients of the strict upper triangle of result (V x V) in
// 100 bins over [-1, 1]; not-a-number is left out.
Histogram keptHistogram(const Matrix& result, int V);

// Which pairs are edges: per level, the pairs whose kept coefficient passes
// it, with their Fisher-z p-values and Benjamini-Hochberg q-values; and the
// distribution of the kept coefficients.
//
//   passes          whether a kept coefficient passes a threshold
//   forEachEdge     visits the pairs of a matrix that pass a threshold
//   selectEdges     fills the levels' thresholds and counts, and the edges
//   edgesAtLevel    the edges that pass one level
//   keptHistogram   the kept coefficients of all pairs in 100 bins
#pragma once

#include "assocnet/assocnet.h"
#include "matrix.h"

#include <cmath>
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

// Reads the strict upper triangle of result (V x V, the kept coefficients at
// order K with N samples). Fills each level's threshold (the |r| of its z at
// order K; not-a-number for a false-discovery level) and count, and, with
// withPQ, edges with every pair that passes the loosest level, row by row.
// Every pair whose p might reach the loosest level or the pruning level
// (pruneAlpha, at orders 1 to 3) gets its p; Benjamini-Hochberg over all
// V(V - 1)/2 pairs gives q, exact wherever it is at or below those levels.
// Without withPQ only the counts of alpha levels are made.
void selectEdges(std::vector<Level>& levels, std::vector<Edge>& edges, const Matrix& result, int V,
                 int N, int K, double pruneAlpha, bool withPQ);

// The edges of edges (selected as above) that pass the level of that index.
std::vector<Edge> edgesAtLevel(const std::vector<Edge>& edges, int level);

// The kept coefficients of the strict upper triangle of result (V x V) in
// 100 bins over [-1, 1]; not-a-number is left out.
Histogram keptHistogram(const Matrix& result, int V);

// The rows the batch offers read besides the correlation matrix: those of a
// batch's controlling variables in double, single precision and fixed point
// (prepareBatch), and the rows of first-order coefficients that the
// third-order sweep takes in place of the correlation (partialRow).
#include "batch_offers.h"

#include "lanes.h"

#include <algorithm>
#include <cmath>

void sizeBatch(int V, int c0, int c1, BatchRows& batch)
{
    batch.c0 = c0;
    batch.c1 = c1;
    if (batch.rows.rows() < c1 - c0 || batch.rows.cols() != V) {
        batch.rows = Matrix(c1 - c0, V);
        batch.rest = Matrix(c1 - c0, V);
    }
    const size_t cells = static_cast<size_t>(c1 - c0) * V;
    if (batch.g.size() < cells) {
        batch.g.resize(cells);
        batch.e.resize(cells);
        batch.h.resize(cells);
    }
}

void prepareBatchRow(Isa isa, int V, const CorrRows& corr, int c, BatchRows& batch)
{
    const int c0 = batch.c0;
    double* g = batch.rows[c - c0];
    std::copy((*corr.lower)[c], (*corr.lower)[c] + c + 1, g);
    std::copy(corr.upper(c) + c + 1, corr.upper(c) + V, g + c + 1);
    double* rest = batch.rest[c - c0];
    float* gs = batch.g.data() + static_cast<long>(c - c0) * V;
    float* es = batch.e.data() + static_cast<long>(c - c0) * V;
    for (int w = 0; w < V; ++w) {
        rest[w] = 1 - g[w] * g[w];
        gs[w] = static_cast<float>(g[w]);
        es[w] = static_cast<float>(rest[w]);
    }
    toUnitsRow(isa, g, V, batch.h.data() + static_cast<long>(c - c0) * V, nullptr);
}

void prepareBatch(Isa isa, int V, const CorrRows& corr, int c0, int c1, BatchRows& batch)
{
    sizeBatch(V, c0, c1, batch);
    for (int c = c0; c < c1; ++c) prepareBatchRow(isa, V, corr, c, batch);
}

namespace {

[[gnu::always_inline]] inline void fillRow(double* Fi, const Matrix& X, int i, int c,
                                           int from, int to)
{
    const double* xi = X[i];
    const double* xc = X[c];
    const double a = xi[c];
    const double fa = 1 - a * a;
    double* f = Fi;
    for (int j = from; j < to; ++j) f[j] = (xi[j] - a * xc[j]) / std::sqrt(fa * (1 - xc[j] * xc[j]));
    if (i >= from && i < to) f[i] = 0;
    if (c >= from && c < to) f[c] = 0;
}

__attribute__((target("avx512f"))) void fillRowAvx512(double* Fi, const Matrix& X,
                                                      int i, int c, int from, int to)
{
    fillRow(Fi, X, i, c, from, to);
}

__attribute__((target("avx2"))) void fillRowAvx2(double* Fi, const Matrix& X, int i,
                                                 int c, int from, int to)
{
    fillRow(Fi, X, i, c, from, to);
}

}  // namespace

// Vector division and square root round like the scalar ones: every width
// gives the same bits.
void partialRow(Isa isa, double* Fi, const Matrix& X, int i, int c, int from, int to)
{
    if (isa.width == 8)
        fillRowAvx512(Fi, X, i, c, from, to);
    else if (isa.width == 4)
        fillRowAvx2(Fi, X, i, c, from, to);
    else
        fillRow(Fi, X, i, c, from, to);
}

// Sample covariance (divisor N - 1) and Pearson correlation.
#include "core.h"
#include "parallel.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// Column sums in observation order, divided by N, then centring in place.
void centre(int V, int N, Matrix& input, std::vector<double>& means)
{
    for (int i = 0; i < N; ++i)
        for (int j = 0; j < V; ++j) means[j] += input[i][j];
    for (int j = 0; j < V; ++j) means[j] /= static_cast<double>(N);
    for (int i = 0; i < N; ++i)
        for (int j = 0; j < V; ++j) input[i][j] = input[i][j] - means[j];
}

}  // namespace

void getCovMatLiteral(int V, int N, Matrix& cov, Matrix& input, std::vector<double>& means)
{
    centre(V, N, input, means);
    for (int a = 0; a < V; ++a)
        for (int b = 0; b < V; ++b) {
            double sum = 0;
            for (int i = 0; i < N; ++i) sum += input[i][a] * input[i][b];
            cov[a][b] = sum / static_cast<double>(N - 1);
        }
}

namespace {

// Vectors of 8, 4 and 2 doubles; their products and sums round lane by lane
// like the scalar ones.
typedef double Vec8 __attribute__((vector_size(64)));
typedef double Vec4 __attribute__((vector_size(32)));
typedef double Vec2 __attribute__((vector_size(16)));

// The sums run over blocks of observations in ascending order. A block of the
// centred input is first packed by groups of genes (8 with AVX-512, else 4):
// group g holds, per observation of the block, the values of the group's
// genes side by side (zero past the last gene), so that a tile reads each of
// its groups as one stream. Between blocks a tile's partial sums wait in the
// cells of the result (its lower triangle too, for the tiles on the
// diagonal, which the mirror overwrites); a double stored and loaded again
// keeps its bits, so each cell is summed from 0 in observation order as the
// literal loop sums it.
struct Packed {
    std::vector<double> values;         // groups x observations x width
    int width = 4, groups = 0, count = 0;  // count: observations of the block
    const double* group(int g) const { return values.data() + static_cast<long>(g) * count * width; }
};

// Packs the observations [i0, i0 + count) of input (N x V) by groups of
// packed.width genes.
void pack(int V, const Matrix& input, int i0, int count, Packed& packed)
{
    const int G = packed.width;
    packed.groups = (V + G - 1) / G;
    packed.count = count;
    packed.values.resize(static_cast<size_t>(packed.groups) * count * G);
    parallelFor(0, packed.groups, static_cast<double>(count) * V, [&](long g) {
        double* out = packed.values.data() + g * count * G;
        const int b0 = static_cast<int>(g) * G, n = std::min(G, V - b0);
        for (int i = 0; i < count; ++i, out += G) {
            const double* x = input[i0 + i] + b0;
            for (int c = 0; c < n; ++c) out[c] = x[c];
            for (int c = n; c < G; ++c) out[c] = 0;
        }
    });
}

// Where a tile's sums start, go on and end: zero at the first block, the
// cells' partial sums after it, the finished cells (see finish) at the last.
struct Pass {
    bool first = true, last = true;
    double divisor = 1;
    const double* var = nullptr;
};

// The cell of a finished sum: the covariance, or with the variances var the
// correlation cov / sqrt(var[b] * var[a]).
inline double finish(double sum, double divisor, const double* var, int a, int b)
{
    const double cov = sum / divisor;
    return var ? cov / std::sqrt(var[b] * var[a]) : cov;
}

// One tile of one block: the rows a of [a0, a0 + R), all in one group of G
// genes, against the columns of the K groups from b0 (a multiple of G). Each
// cell's sum goes on over the block's observations in order; the cells past
// V are summed over zeros and never stored.
template <class Vec, int G, int R, int K>
[[gnu::always_inline]] inline void tile(int V, Matrix& out, const Packed& packed, int a0, int b0,
                                        const Pass& pass)
{
    constexpr int L = sizeof(Vec) / sizeof(double), W = G / L, C = K * G;
    Vec sum[R][K * W];
    const bool whole = b0 + C <= V;
    for (int r = 0; r < R; ++r)
        for (int k = 0; k < K * W; ++k) {
            const double* cells = out[a0 + r] + b0 + k * L;
            if (pass.first) {
                sum[r][k] = Vec{};
            } else if (whole) {
                std::memcpy(&sum[r][k], cells, sizeof(Vec));
            } else {
                Vec partial{};
                for (int l = 0; l < L && b0 + k * L + l < V; ++l) partial[l] = cells[l];
                sum[r][k] = partial;
            }
        }
    const double* a = packed.group(a0 / G) + a0 % G;
    const double* b[K];
    for (int k = 0; k < K; ++k) b[k] = packed.group(b0 / G + k);
    for (int i = 0; i < packed.count; ++i) {
        Vec xb[K * W];
#pragma GCC unroll 8
        for (int k = 0; k < K * W; ++k) std::memcpy(&xb[k], b[k / W] + i * G + k % W * L, sizeof(Vec));
#pragma GCC unroll 8
        for (int r = 0; r < R; ++r) {
            const double xa = a[i * G + r];
#pragma GCC unroll 8
            for (int k = 0; k < K * W; ++k) sum[r][k] += xa * xb[k];
        }
    }
    for (int r = 0; r < R; ++r) {
        double* row = out[a0 + r];
        for (int k = 0; k < K * W; ++k) {
            if (!pass.last && whole) {
                std::memcpy(row + b0 + k * L, &sum[r][k], sizeof(Vec));
                continue;
            }
            for (int l = 0; l < L && b0 + k * L + l < V; ++l) {
                const int c = b0 + k * L + l;
                row[c] = pass.last ? finish(sum[r][k][l], pass.divisor, pass.var, a0 + r, c) : sum[r][k][l];
            }
        }
    }
}

// The rows [a0, a0 + R) against every column group from g on, in tiles of K
// groups, the last tile narrower.
template <class Vec, int G, int R, int K>
[[gnu::always_inline]] inline void rowsOf(int V, Matrix& out, const Packed& packed, int g, int a0,
                                          const Pass& pass)
{
    int h = g;
    for (; h + K <= packed.groups; h += K) tile<Vec, G, R, K>(V, out, packed, a0, h * G, pass);
    if constexpr (K == 3)
        if (h + 2 <= packed.groups) {
            tile<Vec, G, R, 2>(V, out, packed, a0, h * G, pass);
            h += 2;
        }
    if (h < packed.groups) tile<Vec, G, R, 1>(V, out, packed, a0, h * G, pass);
}

// The rows of group g against every column group from g on, R rows at a
// time; a group whose rows past V leave fewer than R, one row at a time.
template <class Vec, int G, int R, int K>
[[gnu::always_inline]] inline void band(int V, Matrix& out, const Packed& packed, int g,
                                        const Pass& pass)
{
    static_assert(G % R == 0 && K >= 1 && K <= 3);
    const int rows = std::min(G, V - g * G);
    if (rows % R == 0)
        for (int r0 = 0; r0 < rows; r0 += R) rowsOf<Vec, G, R, K>(V, out, packed, g, g * G + r0, pass);
    else
        for (int r = 0; r < rows; ++r) rowsOf<Vec, G, 1, K>(V, out, packed, g, g * G + r, pass);
}

__attribute__((target("avx512f"))) void bandAvx512(int V, Matrix& out, const Packed& packed, int g,
                                                   const Pass& pass)
{
    band<Vec8, 8, 8, 3>(V, out, packed, g, pass);
}

__attribute__((target("avx2"))) void bandAvx2(int V, Matrix& out, const Packed& packed, int g,
                                              const Pass& pass)
{
    band<Vec4, 4, 4, 3>(V, out, packed, g, pass);
}

void bandSse2(int V, Matrix& out, const Packed& packed, int g, const Pass& pass)
{
    band<Vec2, 4, 4, 1>(V, out, packed, g, pass);
}

// Copies the upper triangle of m into the lower one, in tiles that stay in
// cache; each band of rows of the lower triangle on one thread.
void mirror(int V, Matrix& m)
{
    const int tile = 64;
    const double v = V;
    parallelFor(0, (V + tile - 1) / tile, v * v, [&](long k) {
        const int b0 = static_cast<int>(k) * tile;
        for (int a0 = 0; a0 <= b0; a0 += tile)
            for (int b = b0; b < std::min(V, b0 + tile); ++b)
                for (int a = a0; a < std::min(b, a0 + tile); ++a) m[b][a] = m[a][b];
    });
}

// centre() on bands of columns, each on one thread, with the same sums per
// column; with var, also the variances: the squares of the centred values
// summed in observation order, divided by N - 1.
void centreBands(int V, int N, Matrix& input, std::vector<double>& means, double* var)
{
    constexpr int kBand = 64;
    parallelFor(0, (V + kBand - 1) / kBand, 3.0 * V * N, [&](long b) {
        const int j0 = static_cast<int>(b) * kBand, j1 = std::min(V, j0 + kBand);
        for (int i = 0; i < N; ++i)
            for (int j = j0; j < j1; ++j) means[j] += input[i][j];
        for (int j = j0; j < j1; ++j) means[j] /= static_cast<double>(N);
        for (int i = 0; i < N; ++i)
            for (int j = j0; j < j1; ++j) input[i][j] = input[i][j] - means[j];
        if (!var) return;
        for (int j = j0; j < j1; ++j) var[j] = 0;
        for (int i = 0; i < N; ++i)
            for (int j = j0; j < j1; ++j) var[j] += input[i][j] * input[i][j];
        for (int j = j0; j < j1; ++j) var[j] /= static_cast<double>(N - 1);
    });
}

// Sums of the upper triangle of input's columns, block of observations after
// block, finished by var (see finish), then mirrored. Within a block every
// band of rows goes to one thread.
void covTriangle(int width, int V, int N, Matrix& cov, const Matrix& input, const double* var)
{
    Pass pass;
    pass.divisor = static_cast<double>(N - 1);
    pass.var = var;
    Packed packed;
    packed.width = width == 8 ? 8 : 4;
    const double v = V;
    for (int i0 = 0; i0 < N || i0 == 0; i0 += kCovarianceBlock) {
        const int count = std::min(kCovarianceBlock, N - i0);
        pass.first = i0 == 0;
        pass.last = i0 + kCovarianceBlock >= N;
        pack(V, input, i0, count, packed);
        parallelFor(0, packed.groups, v * v * count / 2, [&](long g) {
            const int band = static_cast<int>(g);
            if (width == 8) bandAvx512(V, cov, packed, band, pass);
            else if (width == 4) bandAvx2(V, cov, packed, band, pass);
            else bandSse2(V, cov, packed, band, pass);
        });
    }
    mirror(V, cov);
}

}  // namespace

// Tiles of the upper triangle, each cell summed in observation order with the
// vectors of currentIsa() (vector products and sums round like scalar ones);
// the lower triangle holds the same products in the same order and is copied.
void getCovMat(int V, int N, Matrix& cov, Matrix& input, std::vector<double>& means)
{
    getCovMatWith(currentIsa().width, V, N, cov, input, means);
}

void getCovMatWith(int width, int V, int N, Matrix& cov, Matrix& input, std::vector<double>& means)
{
    centreBands(V, N, input, means, nullptr);
    covTriangle(width, V, N, cov, input, nullptr);
}

// The variances are the diagonal sums, formed alone in the same order (a
// vector lane rounds like the scalar loop), so each cell can be divided as
// its tile finishes.
void getCorrStore(int V, int N, Matrix& store, Matrix& input, std::vector<double>& means)
{
    std::vector<double> var(V);
    centreBands(V, N, input, means, var.data());
    covTriangle(currentIsa().width, V, N, store, input, var.data());
}

void getCorrMatLiteral(int V, Matrix& corr, const Matrix& cov)
{
    for (int a = 0; a < V; ++a)
        for (int b = 0; b < V; ++b) corr[a][b] = cov[a][b] / std::sqrt(cov[b][b] * cov[a][a]);
}

// cov is exactly symmetric and the product of the variances commutes, so the
// cell [b][a] has the bits of [a][b].
void getCorrMat(int V, Matrix& corr, const Matrix& cov)
{
    const double v = V;
    parallelFor(0, V, v * v * 10, [&](long a) {
        const double vaa = cov[a][a];
        for (int b = static_cast<int>(a); b < V; ++b)
            corr[a][b] = cov[a][b] / std::sqrt(cov[b][b] * vaa);
    });
    mirror(V, corr);
}

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

// Sums input[i][a] * input[i][b] over the observations i in ascending order,
// from 0, for the rows a of [a0, a0 + R) and the K * L columns b from b0 (L
// doubles per Vec): each cell gets the bits of the literal loop. The sums stay
// in registers while the observations stream past.
template <class Vec, int R, int K>
[[gnu::always_inline]] inline void covTile(int N, const Matrix& input, int a0, int b0,
                                           Vec (&sum)[R][K])
{
    constexpr int L = sizeof(Vec) / sizeof(double);
    for (int r = 0; r < R; ++r)
        for (int k = 0; k < K; ++k) sum[r][k] = Vec{};
    for (int i = 0; i < N; ++i) {
        const double* x = input[i];
        Vec xb[K];
        for (int k = 0; k < K; ++k) std::memcpy(&xb[k], x + b0 + k * L, sizeof(Vec));
        for (int r = 0; r < R; ++r) {
            const double xa = x[a0 + r];
            for (int k = 0; k < K; ++k) sum[r][k] += xa * xb[k];
        }
    }
}

// The cell of a finished sum: the covariance, or with the variances var the
// correlation cov / sqrt(var[b] * var[a]).
inline double finish(double sum, double divisor, const double* var, int a, int b)
{
    const double cov = sum / divisor;
    return var ? cov / std::sqrt(var[b] * var[a]) : cov;
}

// Fills cov[a][b] for a in [a0, a0 + R) and b >= a: whole tiles of K vectors,
// then the columns left over one at a time, in the same order.
template <class Vec, int R, int K>
[[gnu::always_inline]] inline void covRows(int V, int N, Matrix& cov, const Matrix& input,
                                           int a0, double divisor, const double* var)
{
    constexpr int C = K * static_cast<int>(sizeof(Vec) / sizeof(double));
    int b0 = a0;
    for (; b0 + C <= V; b0 += C) {
        Vec sum[R][K];
        covTile<Vec, R, K>(N, input, a0, b0, sum);
        for (int r = 0; r < R; ++r)
            for (int c = 0; c < C; ++c)
                if (b0 + c >= a0 + r)
                    cov[a0 + r][b0 + c] =
                        finish(sum[r][c / (C / K)][c % (C / K)], divisor, var, a0 + r, b0 + c);
    }
    for (; b0 < V; ++b0)
        for (int r = 0; r < R; ++r) {
            if (b0 < a0 + r) continue;
            double sum = 0;
            for (int i = 0; i < N; ++i) sum += input[i][a0 + r] * input[i][b0];
            cov[a0 + r][b0] = finish(sum, divisor, var, a0 + r, b0);
        }
}

constexpr int kCovRows = 4;

// Rows [a0, a0 + kCovRows), or the last rows one at a time, in tiles of two
// vectors per row (8 vector registers of sums).
template <class Vec>
[[gnu::always_inline]] inline void covBlock(int V, int N, Matrix& cov, const Matrix& input,
                                            int a0, double divisor, const double* var)
{
    if (a0 + kCovRows <= V)
        covRows<Vec, kCovRows, 2>(V, N, cov, input, a0, divisor, var);
    else
        for (int a = a0; a < V; ++a) covRows<Vec, 1, 2>(V, N, cov, input, a, divisor, var);
}

__attribute__((target("avx512f"))) void covBlockAvx512(int V, int N, Matrix& cov,
                                                       const Matrix& input, int a0, double divisor,
                                                       const double* var)
{
    covBlock<Vec8>(V, N, cov, input, a0, divisor, var);
}

__attribute__((target("avx2"))) void covBlockAvx2(int V, int N, Matrix& cov, const Matrix& input,
                                                  int a0, double divisor, const double* var)
{
    covBlock<Vec4>(V, N, cov, input, a0, divisor, var);
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

// Sums of the upper triangle of input's columns in tiles, finished by var
// (see finish), then mirrored.
void covTriangle(int width, int V, int N, Matrix& cov, const Matrix& input, const double* var)
{
    const double divisor = static_cast<double>(N - 1);
    const double v = V;
    parallelFor(0, (V + kCovRows - 1) / kCovRows, v * v * N / 2, [&](long k) {
        const int a0 = static_cast<int>(k) * kCovRows;
        if (width == 8)
            covBlockAvx512(V, N, cov, input, a0, divisor, var);
        else if (width == 4)
            covBlockAvx2(V, N, cov, input, a0, divisor, var);
        else
            covBlock<Vec2>(V, N, cov, input, a0, divisor, var);
    });
    mirror(V, cov);
}

}  // namespace

// Blocks of rows, each summed over its cells b >= a in observation order with
// the vectors of currentIsa() (vector products and sums round like scalar
// ones); the lower triangle holds the same products in the same order
// and is copied.
void getCovMat(int V, int N, Matrix& cov, Matrix& input, std::vector<double>& means)
{
    getCovMatWith(currentIsa().width, V, N, cov, input, means);
}

void getCovMatWith(int width, int V, int N, Matrix& cov, Matrix& input, std::vector<double>& means)
{
    centre(V, N, input, means);
    covTriangle(width, V, N, cov, input, nullptr);
}

// The variances are the diagonal sums, formed alone in the same order (a
// vector lane rounds like the scalar loop), so each cell can be divided as
// its tile finishes.
void getCorrStore(int V, int N, Matrix& store, Matrix& input, std::vector<double>& means)
{
    centre(V, N, input, means);
    std::vector<double> var(V, 0.0);
    for (int i = 0; i < N; ++i) {
        const double* x = input[i];
        for (int a = 0; a < V; ++a) var[a] += x[a] * x[a];
    }
    for (int a = 0; a < V; ++a) var[a] /= static_cast<double>(N - 1);
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

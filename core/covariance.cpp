// Sample covariance (divisor N - 1) and Pearson correlation.
#include "core.h"
#include "parallel.h"

#include <cmath>

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

// Row a accumulates input[i][a] * input[i][b] for b >= a, one observation
// after another: every cell still sums its products in observation order,
// starting from 0, so it gets the bits of the literal loop; the lower triangle
// holds the same products in the same order and is copied.
void getCovMat(int V, int N, Matrix& cov, Matrix& input, std::vector<double>& means)
{
    centre(V, N, input, means);
    const double divisor = static_cast<double>(N - 1);
    const double v = V;
    parallelFor(0, V, v * v * N / 2, [&](long a) {
        double* row = cov[a].data();
        for (int b = static_cast<int>(a); b < V; ++b) row[b] = 0;
        for (int i = 0; i < N; ++i) {
            const double* x = input[i].data();
            const double xa = x[a];
            for (int b = static_cast<int>(a); b < V; ++b) row[b] += xa * x[b];
        }
        for (int b = static_cast<int>(a); b < V; ++b) row[b] = row[b] / divisor;
    });
    for (int a = 0; a < V; ++a)
        for (int b = a + 1; b < V; ++b) cov[b][a] = cov[a][b];
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
    for (int a = 0; a < V; ++a)
        for (int b = a + 1; b < V; ++b) corr[b][a] = corr[a][b];
}

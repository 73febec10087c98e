// Fractional ranks: each column ranked on its own, ties sharing the mean of
// their positions (1-based). Values compare exactly, so -0 and +0 are tied.
#include "core.h"
#include "parallel.h"
#include "radix_sort.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numeric>
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

namespace {

// The positions 0..n-1 ordered by value (ties in any order), through an LSD
// radix sort of keys that order as the values do, -0 as +0; each byte whose
// value is the same in every key is skipped. Values must not be
// not-a-number. order and scratch are filled; keys is work space.
void orderByValue(const double* values, int n, std::vector<std::uint64_t>& keys,
                  std::vector<int>& order, std::vector<int>& scratch)
{
    keys.resize(n);
    order.resize(n);
    for (int k = 0; k < n; ++k) {
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(values[k] + 0.0);
        keys[k] = bits >> 63 ? ~bits : bits | (std::uint64_t{1} << 63);
        order[k] = k;
    }
    sortByKey(order, scratch, [&](int at) { return keys[at]; });
}

}  // namespace

// A tie group at sorted positions p..q gets (sum of p+1..q+1) / (q - p + 1):
// the same whole-number sum over the same count as the counting loop forms,
// so the same double. Columns go in bands of 8, one cache line of a row of
// obs: a band's values are gathered row by row, each column ordered on its
// own (a column holding not-a-number by a comparison sort, as it compares
// in no order), and the ranks written back row by row.
void getRanks(int V, int N, Matrix& rank, const Matrix& obs)
{
    constexpr int kBand = 8;
    parallelFor(0, (V + kBand - 1) / kBand, static_cast<double>(V) * N * 20, [&](long b) {
        const int i0 = static_cast<int>(b) * kBand, width = std::min(kBand, V - i0);
        std::vector<double> band(static_cast<size_t>(N) * width), column(N), ranks(N);
        std::vector<std::uint64_t> keys;
        std::vector<int> order, scratch;
        for (int k = 0; k < N; ++k)
            for (int c = 0; c < width; ++c) band[static_cast<size_t>(k) * width + c] = obs[k][i0 + c];
        for (int c = 0; c < width; ++c) {
            for (int k = 0; k < N; ++k) column[k] = band[static_cast<size_t>(k) * width + c];
            if (std::any_of(column.begin(), column.end(), [](double x) { return std::isnan(x); })) {
                order.resize(N);
                std::iota(order.begin(), order.end(), 0);
                std::sort(order.begin(), order.end(), [&](int x, int y) { return column[x] < column[y]; });
            } else {
                orderByValue(column.data(), N, keys, order, scratch);
            }
            for (int p = 0; p < N;) {
                int q = p;
                while (q + 1 < N && column[order[q + 1]] == column[order[p]]) ++q;
                double r = q + 1;
                if (q > p) {
                    double sum = 0;
                    for (int c1 = p + 1; c1 <= q + 1; ++c1) sum += c1;
                    r = sum / static_cast<double>(q - p + 1);
                }
                for (int k = p; k <= q; ++k) ranks[order[k]] = r;
                p = q + 1;
            }
            for (int k = 0; k < N; ++k) band[static_cast<size_t>(k) * width + c] = ranks[k];
        }
        for (int k = 0; k < N; ++k)
            for (int c = 0; c < width; ++c) rank[k][i0 + c] = band[static_cast<size_t>(k) * width + c];
    });
}

// The run kernels of the sweeps (a run over a range of a row, a run over the
// lanes of panel rows) against the literal offers, for every width of their
// block test.
#include "sweep.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <algorithm>
#include <random>
#include <vector>

namespace {

// The offers of a run, one by one, as the literal loops make them.
double literalRun(double v, double x, const double* A, const double* B, int w0, int w1, int i,
                  int j, double threshold)
{
    for (int w = w0; w < w1; ++w) {
        if (w == i || w == j) continue;
        if (pruned(v, threshold)) break;
        offer(v, partialStep(x, A[w], B[w]));
    }
    return v;
}

}  // namespace

TEST(OfferRun, EveryWidthGivesTheLiteralBits)
{
    std::mt19937_64 gen(7);
    std::uniform_real_distribution<double> coef(-1, 1), small(-0.3, 0.3);
    const int widths[] = {1, 4, 8};
    const double nan = std::nan("");
    int checked = 0;
    for (int round = 0; round < 4000; ++round) {
        const int n = 1 + static_cast<int>(gen() % (round % 2 ? 70 : 200));
        std::vector<double> A(n), B(n);
        for (int w = 0; w < n; ++w) {
            A[w] = round % 3 ? coef(gen) : small(gen);
            B[w] = round % 5 ? coef(gen) : small(gen);
        }
        // Ties, perfect correlation, not-a-number and repeated offers.
        if (round % 7 == 0) A[gen() % n] = 1;
        if (round % 11 == 0) B[gen() % n] = nan;
        if (round % 13 == 0 && n > 2) {
            A[1] = A[0];
            B[1] = B[0];
        }
        const double x = coef(gen);
        const double v0 = round % 17 == 0 ? nan : coef(gen);
        const double threshold = round % 4 == 0 ? nan : std::fabs(small(gen));
        const int w0 = static_cast<int>(gen() % n), i = static_cast<int>(gen() % (n + 2)) - 1,
                  j = static_cast<int>(gen() % (n + 2)) - 1;
        const double want = literalRun(v0, x, A.data(), B.data(), w0, n, i, j, threshold);
        // Panel rows: every lane from 0, read up to a whole vector past n.
        const double wantPanel = literalRun(v0, x, A.data(), B.data(), 0, n, i, j, threshold);
        std::vector<double> PA(A), PB(B);
        PA.resize((n + 7) / 8 * 8, 0.5);
        PB.resize(PA.size(), -0.5);
        for (int width : widths) {
            if (width > widestBlockTest()) continue;
            const double got = offerRunWith(width, v0, x, A.data(), B.data(), w0, n, i, j, threshold);
            ASSERT_EQ(std::bit_cast<unsigned long long>(got), std::bit_cast<unsigned long long>(want))
                << "width " << width << " round " << round;
            const double panel = offerPanelWith(width, v0, x, PA.data(), PB.data(), n, i, j, threshold);
            ASSERT_EQ(std::bit_cast<unsigned long long>(panel),
                      std::bit_cast<unsigned long long>(wantPanel))
                << "panel, width " << width << " round " << round;
            ++checked;
        }
    }
    EXPECT_GT(checked, 4000);
}

TEST(OfferRun, StoredValueEqualToTheThresholdIsRefined)
{
    const double threshold = thresholdFor(128, 1.96, 1);
    std::vector<double> A(16, 0.5), B(16, 0.5);
    // Each offer is (x - 0.25) / 0.75, far below the threshold.
    for (int width : {1, 4, 8}) {
        if (width > widestBlockTest()) continue;
        const double got =
            offerRunWith(width, threshold, 0.3, A.data(), B.data(), 0, 16, -1, -1, threshold);
        EXPECT_EQ(got, (0.3 - 0.25) / std::sqrt(0.75 * 0.75)) << "width " << width;
        const double below = std::nextafter(threshold, 0.0);
        EXPECT_EQ(offerRunWith(width, below, 0.3, A.data(), B.data(), 0, 16, -1, -1, threshold),
                  below);
    }
}

TEST(OfferFirstOrder, EveryWidthGivesTheLiteralOffersAndListsTheOpenPairs)
{
    std::mt19937_64 gen(11);
    std::uniform_real_distribution<double> coef(-1, 1);
    const double nan = std::nan("");
    for (int round = 0; round < 300; ++round) {
        const int V = 2 + static_cast<int>(gen() % 60);
        Matrix corr(V, V);
        for (int a = 0; a < V; ++a) {
            corr[a][a] = 1;
            for (int b = a + 1; b < V; ++b) corr[a][b] = corr[b][a] = round % 9 == 0 && b == 1 ? nan : coef(gen);
        }
        const int i = static_cast<int>(gen() % V), c0 = static_cast<int>(gen() % V);
        const int c1 = std::min(V, c0 + 1 + static_cast<int>(gen() % 8));
        const double threshold = round % 5 == 0 ? nan : 0.1 + 0.3 * std::fabs(coef(gen));
        std::vector<double> start(V);
        for (double& v : start) v = round % 3 ? 0.5 * coef(gen) : coef(gen);
        // The literal offers: per pruned pair, each c in order.
        std::vector<double> want = start;
        std::vector<int> wantOpen;
        for (int j = i + 1; j < V; ++j) {
            if (!pruned(want[j], threshold)) {
                wantOpen.push_back(j);
                continue;
            }
            for (int c = c0; c < c1; ++c)
                if (c != i && c != j) offer(want[j], partialStep(corr[i][j], corr[i][c], corr[j][c]));
        }
        for (int width : {1, 8}) {
            if (width > widestBlockTest()) continue;
            std::vector<double> row = start;
            std::vector<int> open;
            offerFirstOrderWith(width, row.data(), corr, i, c0, c1, i + 1, V, threshold, open);
            EXPECT_EQ(open, wantOpen) << "width " << width << " round " << round;
            for (int j = i + 1; j < V; ++j)
                ASSERT_EQ(std::bit_cast<unsigned long long>(row[j]),
                          std::bit_cast<unsigned long long>(want[j]))
                    << "width " << width << " round " << round << " j " << j;
        }
    }
}

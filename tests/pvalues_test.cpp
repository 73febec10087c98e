// The z of a two-sided level against exact quantiles, Fisher-z p-values
// against independently computed ones, and the Benjamini-Hochberg step-up
// against a brute-force reference, on full sets and on candidate subsets.
#include "core.h"
#include "pvalues.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

// By the definition: rank k_i of each test (by p, then position), then
// q_i = min over tests of rank >= k_i of min(1, p * total / rank).
std::vector<double> bruteForceBh(const std::vector<double>& p, long long total)
{
    const size_t n = p.size();
    const double m = static_cast<double>(total);
    std::vector<double> rank(n, 1), q(n, 1);
    for (size_t i = 0; i < n; ++i)
        for (size_t j = 0; j < n; ++j) rank[i] += p[j] < p[i] || (p[j] == p[i] && j < i);
    for (size_t i = 0; i < n; ++i)
        for (size_t j = 0; j < n; ++j)
            if (rank[j] >= rank[i]) q[i] = std::min(q[i], p[j] * m / rank[j]);
    return q;
}

}  // namespace

TEST(ZForAlpha, WithinOneUlpOfTheExactQuantileAndDecreasing)
{
    // mpmath at 60 digits solving erfc(z / sqrt 2) = alpha, rounded to double.
    // 0.15 and 2.7775e-11 sit at region edges of the approximation, 0.5 where
    // the refinement turns from erfc to erf.
    const double cases[][2] = {
        {0.05, 1.9599639845400543}, {0.01, 2.575829303548901}, {0.001, 3.290526731491895},
        {0.0001, 3.890591886413094}, {1e-10, 6.466951087240516}, {0.5, 0.6744897501960817},
        {0.999, 0.0012533144654325557}, {0.15, 1.439531470938456},
        {2.7775e-11, 6.657909342270112}, {1e-300, 37.06578788077213},
        {5e-324, 38.48540833556734}, {0.9999999999, 1.253314241015177e-10}};
    for (const auto& c : cases)
        EXPECT_LE(std::fabs(zForAlpha(c[0]) - c[1]), std::nextafter(c[1], 99.0) - c[1]) << c[0];
    double last = 99;
    for (double a = 1e-320; a < 1; a *= 1.01) {
        ASSERT_LT(zForAlpha(a), last) << a;
        last = zForAlpha(a);
    }
}

TEST(FisherP, MatchesIndependentValuesAndDegenerateCounts)
{
    // erfc(|atanh r| sqrt(N - 3 - K) / sqrt 2) by mpmath at 60 digits from the double r.
    const struct { double r; int N, K; double p; } cases[] = {
        {0.5, 20, 0, 2.3522054512814969e-2}, {-0.3, 100, 3, 2.6917950082770979e-3},
        {0.05, 128, 1, 5.7736270273228804e-1}, {-0.2, 7, 3, 8.3934407704796369e-1},
        {0.7, 200, 2, 9.2144388496982114e-34}};
    for (const auto& c : cases) EXPECT_NEAR(fisherP(c.r, c.N, c.K), c.p, c.p * 1e-13) << c.r;
    EXPECT_EQ(fisherP(0.9, 1000, 2), 0.0);  // 8.6e-471 underflows
    EXPECT_EQ(fisherP(0.5, 5, 2), 1.0);     // N - 3 - K = 0
    EXPECT_EQ(fisherP(-1.0, 30, 1), 0.0);
    for (double p : {fisherP(0.5, 4, 2), fisherP(1.5, 30, 0), fisherP(std::nan(""), 30, 0)})
        EXPECT_TRUE(std::isnan(p));
    // At the threshold of a level the p-value is that level.
    for (int K = 0; K <= 3; ++K)
        EXPECT_NEAR(fisherP(thresholdFor(60, zForAlpha(0.001), K), 60, K), 0.001, 1e-14);
}

TEST(BenjaminiHochberg, FullSetsWithTiesMatchTheDefinitionInAnyOrder)
{
    std::mt19937_64 rng(17);
    std::uniform_int_distribution<int> grid(0, 400);
    std::vector<double> p(600), q, reversedQ;
    for (double& x : p) x = std::pow(grid(rng) / 400.0, 3);  // many ties, some zeros
    for (long long total : {600LL, 250000000LL}) {
        benjaminiHochberg(p, total, q);
        EXPECT_EQ(q, bruteForceBh(p, total));
    }
    // Reversed input: every test keeps its q, so equal p keep equal q.
    benjaminiHochberg(std::vector<double>(p.rbegin(), p.rend()), 250000000, reversedQ);
    EXPECT_TRUE(std::equal(q.rbegin(), q.rend(), reversedQ.begin()));
    // Not-a-number ranks last, gets not-a-number and leaves the others alone.
    benjaminiHochberg({0.01, std::nan(""), 0.04}, 3, q);
    EXPECT_EQ(q[0], 0.03);
    EXPECT_TRUE(std::isnan(q[1]));
    EXPECT_EQ(q[2], 0.04 * 3 / 2);
}

TEST(BenjaminiHochberg, CandidatesGetTheExactQAtOrBelowTheCutoff)
{
    // 4000 tests, a fifth of them signals; the candidates are every p at or
    // below the cutoff and a scattering of larger ones.
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> u(0, 1);
    const double cutoff = 0.02;
    std::vector<double> all(4000), candidates, full, q;
    std::vector<size_t> from;
    for (size_t i = 0; i < all.size(); ++i) {
        all[i] = i % 5 ? u(rng) : std::pow(u(rng), 6);
        if (all[i] <= cutoff || u(rng) < 0.05) {
            candidates.push_back(all[i]);
            from.push_back(i);
        }
    }
    benjaminiHochberg(all, 4000, full);
    benjaminiHochberg(candidates, 4000, q);
    int exact = 0, above = 0;
    for (size_t k = 0; k < candidates.size(); ++k) {
        const double want = full[from[k]];
        EXPECT_GE(q[k], want);
        if (q[k] <= cutoff || want <= cutoff) {
            EXPECT_EQ(q[k], want) << candidates[k];
            ++exact;
        } else {
            above += candidates[k] <= cutoff;  // below the cutoff, its q above it
        }
    }
    EXPECT_GT(exact, 100);
    EXPECT_GT(above, 10);
}

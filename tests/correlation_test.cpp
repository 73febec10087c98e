// Covariance, correlation and ranks: worked examples, and the fast forms
// against the literal loops bit for bit.
#include "core.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>

namespace {

Matrix columns(const std::vector<std::vector<double>>& cols)
{
    const int N = static_cast<int>(cols[0].size()), V = static_cast<int>(cols.size());
    Matrix m(N, V, 0.0);
    for (int i = 0; i < V; ++i)
        for (int k = 0; k < N; ++k) m[k][i] = cols[i][k];
    return m;
}

bool sameBits(double a, double b) { return std::bit_cast<long long>(a) == std::bit_cast<long long>(b); }

struct Stats {
    Matrix input, cov, corr;
    std::vector<double> means;
};

Stats stats(Matrix input, bool literal)
{
    const int N = static_cast<int>(input.rows()), V = static_cast<int>(input.cols());
    Stats s{std::move(input), Matrix(V, V, 0.0), Matrix(V, V, 0.0),
            std::vector<double>(V, 0.0)};
    (literal ? getCovMatLiteral : getCovMat)(V, N, s.cov, s.input, s.means);
    (literal ? getCorrMatLiteral : getCorrMat)(V, s.corr, s.cov);
    return s;
}

std::vector<double> rankOf(std::vector<double> col, bool literal)
{
    const int N = static_cast<int>(col.size());
    Matrix obs = columns({col}), rank(N, 1, -1);
    (literal ? getRanksLiteral : getRanks)(1, N, rank, obs);
    std::vector<double> r(N);
    for (int k = 0; k < N; ++k) r[k] = rank[k][0];
    return r;
}

}  // namespace

TEST(Covariance, WorkedExamples)
{
    for (bool literal : {true, false}) {
        const Stats s = stats(columns({{1, 2, 3}, {2, 4, 6}}), literal);
        EXPECT_EQ(s.means, (std::vector<double>{2, 4}));
        EXPECT_EQ(s.input, columns({{-1, 0, 1}, {-2, 0, 2}}));
        EXPECT_EQ(s.cov, (Matrix{{1, 2}, {2, 4}}));
        EXPECT_EQ(s.corr, (Matrix{{1, 1}, {1, 1}}));
        const Stats t = stats(columns({{1, 2, 3}, {3, 1, 2}}), literal);
        EXPECT_EQ(t.cov[0][1], -0.5);
        EXPECT_EQ(t.corr[1][0], -0.5);
        // A constant column: not-a-number in its row and column, diagonal included.
        const Stats c = stats(columns({{4, 4, 4}, {1, 5, 2}, {0.1, 0.1, 0.1}}), literal);
        for (int k = 0; k < 3; ++k) EXPECT_TRUE(std::isnan(c.corr[0][k]) && std::isnan(c.corr[k][0]));
        EXPECT_EQ(c.corr[1][1], 1);
        EXPECT_FALSE(std::isnan(c.corr[2][2])) << "three 0.1 do not sum to exactly 0.3";
        const Stats one = stats(columns({{5}, {6}}), literal);
        EXPECT_TRUE(std::isnan(one.cov[0][1]) && std::isnan(one.corr[0][0]));
    }
    // N = 0: means 0/0, covariances 0/-1 = -0, correlations not-a-number.
    Matrix none;
    Matrix cov(2, 2, 0.0), corr = cov;
    std::vector<double> means(2, 0.0);
    getCovMat(2, 0, cov, none, means);
    getCorrMat(2, corr, cov);
    EXPECT_TRUE(std::isnan(means[0]));
    EXPECT_TRUE(cov[0][1] == 0 && std::signbit(cov[0][1]));
    EXPECT_TRUE(std::isnan(corr[1][1]));
}

TEST(Covariance, FastFormsGiveTheLiteralBits)
{
    std::mt19937_64 gen(3);
    std::normal_distribution<double> normal(5, 3);
    for (int round = 0; round < 30; ++round) {
        const int V = 1 + static_cast<int>(gen() % 70), N = 1 + static_cast<int>(gen() % 150);
        Matrix obs(N, V, 0.0);
        for (long k = 0; k < N * V; ++k) obs.data()[k] = round % 3 ? normal(gen) : std::round(normal(gen));
        const Stats a = stats(obs, true), b = stats(obs, false);
        for (int i = 0; i < V; ++i)
            for (int j = 0; j < V; ++j) {
                ASSERT_TRUE(sameBits(a.cov[i][j], b.cov[i][j])) << V << "x" << N;
                ASSERT_TRUE(sameBits(a.corr[i][j], b.corr[i][j])) << V << "x" << N;
                ASSERT_TRUE(sameBits(b.corr[i][j], b.corr[j][i])) << "symmetric";
            }
    }
}

TEST(Ranks, TiesShareTheMeanOfTheirPositions)
{
    for (bool literal : {true, false}) {
        EXPECT_EQ(rankOf({5, 1, 5, 3}, literal), (std::vector<double>{3.5, 1, 3.5, 2}));
        EXPECT_EQ(rankOf({2, 7, 2, 7, 2, 9}, literal), (std::vector<double>{2, 4.5, 2, 4.5, 2, 6}));
        EXPECT_EQ(rankOf({8, 8, 8}, literal), (std::vector<double>{2, 2, 2}));
        EXPECT_EQ(rankOf({3, -0.0, 0.0, 1}, literal), (std::vector<double>{4, 1.5, 1.5, 3}));
        EXPECT_EQ(rankOf({9, 7, 5}, literal), (std::vector<double>{3, 2, 1}));
        EXPECT_EQ(rankOf({4}, literal), (std::vector<double>{1}));
        // Columns are ranked independently and the observations stay as read.
        Matrix obs = columns({{10, 10, 20, 20}, {1, 2, 3, 4}}), rank(4, 2, 0.0);
        const Matrix before = obs;
        (literal ? getRanksLiteral : getRanks)(2, 4, rank, obs);
        EXPECT_EQ(rank, columns({{1.5, 1.5, 3.5, 3.5}, {1, 2, 3, 4}}));
        EXPECT_EQ(obs, before);
    }
    std::vector<double> a = {3, 1, 2, 1};
    bubbleSort1(a.data(), 4);
    EXPECT_EQ(a, (std::vector<double>{1, 1, 2, 3}));
}

TEST(Ranks, FastRanksGiveTheLiteralBitsAndSpearmanIsPearsonOfRanks)
{
    std::mt19937_64 gen(9);
    for (int round = 0; round < 20; ++round) {
        const int V = 1 + static_cast<int>(gen() % 20), N = 1 + static_cast<int>(gen() % 60);
        Matrix obs(N, V, 0.0);
        for (long k = 0; k < N * V; ++k)
            obs.data()[k] = static_cast<double>(gen() % 7) - 3;  // many ties, and -0
        Matrix r1(N, V, 0.0), r2 = r1;
        getRanksLiteral(V, N, r1, obs);
        getRanks(V, N, r2, obs);
        ASSERT_EQ(r1, r2);
    }
    // Without ties, Spearman's coefficient is 1 - 6 sum d^2 / (n (n^2 - 1)).
    const int N = 40;
    std::vector<double> x(N), y(N);
    std::uniform_real_distribution<double> u(0, 1);
    for (int k = 0; k < N; ++k) {
        x[k] = u(gen);
        y[k] = x[k] + u(gen);
    }
    Matrix obs = columns({x, y}), rank(N, 2, 0.0);
    getRanks(2, N, rank, obs);
    const Stats s = stats(rank, false);
    double d2 = 0;
    for (int k = 0; k < N; ++k) {
        int rx = 1, ry = 1;
        for (int m = 0; m < N; ++m) {
            rx += x[m] < x[k];
            ry += y[m] < y[k];
        }
        d2 += (rx - ry) * (rx - ry);
    }
    EXPECT_NEAR(s.corr[0][1], 1 - 6 * d2 / (N * (N * N - 1.0)), 1e-12);
}

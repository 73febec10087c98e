// Covariance and correlation, ranks and significance thresholds: the worked
// examples, the degenerate counts, and the fast forms against the literal
// forms bit for bit.
#include "core.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>

namespace {

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// An N x V observation matrix from V columns of N values.
Matrix fromColumns(const std::vector<std::vector<double>>& cols, int N)
{
    const int V = static_cast<int>(cols.size());
    Matrix m(N, V, 0.0);
    for (int i = 0; i < V; ++i)
        for (int k = 0; k < N; ++k) m[k][i] = cols[i][k];
    return m;
}

Matrix square(int V, double fill) { return Matrix(V, V, fill); }

enum class Form { literal, fast };
const Form kForms[] = {Form::literal, Form::fast};
const char* name(Form f) { return f == Form::literal ? "literal" : "fast"; }

struct Stats {
    Matrix input, cov, corr;
    std::vector<double> means;
};

// getCovMat then getCorrMat in one form (the fast one with vectors of the
// given width, or this processor's widest); the result matrices start as
// noise so that every cell must be written.
Stats stats(int V, int N, Matrix input, Form f, int width = 0)
{
    Stats s{std::move(input), square(V, 12345), square(V, -12345), std::vector<double>(V, 0.0)};
    if (f == Form::literal)
        getCovMatLiteral(V, N, s.cov, s.input, s.means);
    else if (width == 0)
        getCovMat(V, N, s.cov, s.input, s.means);
    else
        getCovMatWith(width, V, N, s.cov, s.input, s.means);
    (f == Form::literal ? getCorrMatLiteral : getCorrMat)(V, s.corr, s.cov);
    return s;
}

::testing::AssertionResult sameBits(const Matrix& a, const Matrix& b)
{
    if (a.rows() != b.rows() || a.cols() != b.cols())
        return ::testing::AssertionFailure() << "shapes differ";
    for (long r = 0; r < a.rows(); ++r) {
        for (long c = 0; c < a.cols(); ++c)
            if (bits(a[r][c]) != bits(b[r][c]))
                return ::testing::AssertionFailure()
                       << "cell [" << r << "][" << c << "]: " << a[r][c] << " vs " << b[r][c];
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult sameBits(const std::vector<double>& a, const std::vector<double>& b)
{
    if (a.size() != b.size()) return ::testing::AssertionFailure() << "lengths differ";
    for (size_t k = 0; k < a.size(); ++k)
        if (bits(a[k]) != bits(b[k]))
            return ::testing::AssertionFailure() << "item " << k << ": " << a[k] << " vs " << b[k];
    return ::testing::AssertionSuccess();
}

// The same bits, or not-a-number in both: the sign of a not-a-number made from
// two of them depends on which comes first in a product, and the fast forms
// copy the upper triangle where the literal loops multiply the other way.
::testing::AssertionResult sameBitsOrBothNaN(const Matrix& a, const Matrix& b)
{
    for (long r = 0; r < a.rows(); ++r)
        for (long c = 0; c < a.cols(); ++c)
            if (bits(a[r][c]) != bits(b[r][c]) && !(std::isnan(a[r][c]) && std::isnan(b[r][c])))
                return ::testing::AssertionFailure()
                       << "cell [" << r << "][" << c << "]: " << a[r][c] << " vs " << b[r][c];
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult bitSymmetric(const Matrix& m)
{
    for (long a = 0; a < m.rows(); ++a)
        for (long b = a + 1; b < m.rows(); ++b)
            if (bits(m[a][b]) != bits(m[b][a]))
                return ::testing::AssertionFailure() << "[" << a << "][" << b << "] = " << m[a][b]
                                                     << " but [" << b << "][" << a << "] = " << m[b][a];
    return ::testing::AssertionSuccess();
}

// Restores the OpenMP thread count when a test ends.
struct ThreadCount {
    int saved = omp_get_max_threads();
    ~ThreadCount() { omp_set_num_threads(saved); }
};

// One rank column through either rank form.
std::vector<double> ranksOf(const std::vector<double>& col, Form f)
{
    const int N = static_cast<int>(col.size());
    const Matrix obs = fromColumns({col}, N);
    Matrix rank(N, 1, std::nan(""));
    (f == Form::literal ? getRanksLiteral : getRanks)(1, N, rank, obs);
    std::vector<double> r;
    for (long k = 0; k < rank.rows(); ++k) r.push_back(rank[k][0]);
    return r;
}


// The same in the shapes that the whole-matrix examples below take: a matrix
// from its columns, the covariance and correlation of an input in the
// literal or the fast form, one rank column, two doubles compared bit for bit.
Matrix columns(const std::vector<std::vector<double>>& cols)
{
    return fromColumns(cols, static_cast<int>(cols[0].size()));
}

Stats stats(Matrix input, bool literal)
{
    const int N = static_cast<int>(input.rows()), V = static_cast<int>(input.cols());
    return stats(V, N, std::move(input), literal ? Form::literal : Form::fast);
}

std::vector<double> rankOf(std::vector<double> col, bool literal)
{
    return ranksOf(col, literal ? Form::literal : Form::fast);
}

bool sameBits(double a, double b) { return bits(a) == bits(b); }

}  // namespace

// --- covariance and correlation ------------------------------------------------

TEST(CovarianceAndCorrelation, ProportionalVariablesGiveTheWorkedExample)
{
    for (Form f : kForms) {
        const Stats s = stats(2, 3, fromColumns({{1, 2, 3}, {2, 4, 6}}, 3), f);
        EXPECT_EQ(s.means, (std::vector<double>{2, 4})) << name(f);
        EXPECT_EQ(s.input, fromColumns({{-1, 0, 1}, {-2, 0, 2}}, 3)) << name(f) << ": centred in place";
        EXPECT_EQ(s.cov, (Matrix{{1, 2}, {2, 4}})) << name(f);
        EXPECT_EQ(s.corr, (Matrix{{1, 1}, {1, 1}})) << name(f);
    }
}

TEST(CovarianceAndCorrelation, RotatedValuesGiveCovarianceMinusOneHalf)
{
    for (Form f : kForms) {
        const Stats s = stats(2, 3, fromColumns({{1, 2, 3}, {3, 1, 2}}, 3), f);
        EXPECT_EQ(s.cov, (Matrix{{1, -0.5}, {-0.5, 1}})) << name(f);
        EXPECT_EQ(s.corr, (Matrix{{1, -0.5}, {-0.5, 1}})) << name(f);
    }
}

TEST(CovarianceAndCorrelation, SingleVariableCorrelatesOneWithItself)
{
    for (Form f : kForms) {
        const Stats s = stats(1, 4, fromColumns({{0.5, -3, 8, 2}}, 4), f);
        EXPECT_EQ(s.corr, (Matrix{{1}})) << name(f);
    }
}

TEST(CovarianceAndCorrelation, ConstantVariableHasANotANumberRowAndColumn)
{
    for (Form f : kForms) {
        const Stats s = stats(3, 4, fromColumns({{1, 2, 4, 3}, {7, 7, 7, 7}, {5, 1, 2, 2}}, 4), f);
        EXPECT_EQ(s.means[1], 7) << name(f);
        for (int k = 0; k < 4; ++k) EXPECT_EQ(s.input[k][1], 0) << name(f);
        for (int a = 0; a < 3; ++a) {
            EXPECT_EQ(s.cov[1][a], 0) << name(f);
            EXPECT_TRUE(std::isnan(s.corr[1][a])) << name(f) << " [1][" << a << "]";
            EXPECT_TRUE(std::isnan(s.corr[a][1])) << name(f) << " [" << a << "][1]";
        }
        EXPECT_EQ(s.corr[0][0], 1) << name(f);
        EXPECT_EQ(s.corr[2][2], 1) << name(f);
        EXPECT_FALSE(std::isnan(s.corr[0][2])) << name(f) << ": other cells unaffected";
        EXPECT_EQ(s.corr[0][2], s.corr[2][0]) << name(f);
    }
}

TEST(CovarianceAndCorrelation, ThreeTenthsAreNotExactlyConstant)
{
    // 0.1 + 0.1 + 0.1 is a little above 0.3: the deviations are tiny but
    // not 0, and the correlations are numbers.
    for (Form f : kForms) {
        const Stats s = stats(2, 3, fromColumns({{0.1, 0.1, 0.1}, {1, 2, 3}}, 3), f);
        EXPECT_NE(s.means[0], 0.1) << name(f);
        EXPECT_NE(s.input[0][0], 0) << name(f);
        for (int a = 0; a < 2; ++a)
            for (int b = 0; b < 2; ++b) EXPECT_FALSE(std::isnan(s.corr[a][b])) << name(f);
        EXPECT_EQ(s.corr[0][0], 1) << name(f);
    }
}

TEST(CovarianceAndCorrelation, OneObservationGivesNotANumberEverywhere)
{
    for (Form f : kForms) {
        const Stats s = stats(3, 1, fromColumns({{4}, {-1}, {2.5}}, 1), f);
        EXPECT_EQ(s.means, (std::vector<double>{4, -1, 2.5})) << name(f);
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b) {
                EXPECT_TRUE(std::isnan(s.cov[a][b])) << name(f);
                EXPECT_TRUE(std::isnan(s.corr[a][b])) << name(f);
            }
    }
}

TEST(CovarianceAndCorrelation, NoObservationsGiveNotANumberMeansAndNegativeZeroCovariances)
{
    for (Form f : kForms) {
        const Stats s = stats(2, 0, Matrix{}, f);
        for (int a = 0; a < 2; ++a) {
            EXPECT_TRUE(std::isnan(s.means[a])) << name(f);
            for (int b = 0; b < 2; ++b) {
                EXPECT_EQ(s.cov[a][b], 0) << name(f);
                EXPECT_TRUE(std::signbit(s.cov[a][b])) << name(f) << ": 0 / -1 is -0";
                EXPECT_TRUE(std::isnan(s.corr[a][b])) << name(f);
            }
        }
    }
}

TEST(CovarianceAndCorrelation, ResultsAreExactlySymmetric)
{
    std::mt19937_64 gen(31);
    std::normal_distribution<double> normal;
    for (int round = 0; round < 20; ++round) {
        const int V = 1 + static_cast<int>(gen() % 25), N = 2 + static_cast<int>(gen() % 60);
        Matrix obs(N, V, 0.0);
        for (long k = 0; k < static_cast<long>(N) * V; ++k) obs.data()[k] = 1000 * normal(gen) + 1e6;
        for (Form f : kForms) {
            const Stats s = stats(V, N, obs, f);
            EXPECT_TRUE(bitSymmetric(s.cov)) << name(f);
            EXPECT_TRUE(bitSymmetric(s.corr)) << name(f);
        }
    }
}

TEST(CovarianceAndCorrelation, FastFormsGiveTheLiteralBits)
{
    ThreadCount keep;
    std::mt19937_64 gen(2718);
    std::normal_distribution<double> normal;
    // Every count of rows left over after the blocks of four, and of columns
    // after the tiles of 4, 8 and 16.
    const int shapes[][2] = {{0, 5},   {1, 1},   {1, 7},    {2, 2},    {3, 0},   {5, 3},
                             {7, 150}, {8, 40},  {9, 13},   {15, 64},  {16, 16}, {17, 99},
                             {18, 5},  {19, 33}, {31, 2},   {33, 150}, {64, 10}, {65, 77},
                             {70, 150}, {70, 1}, {101, 20}, {130, 9}};
    int kind = 0;
    for (const auto& shape : shapes) {
        const int V = shape[0], N = shape[1];
        Matrix obs(N, V, 0.0);
        // Mixed kinds of data: offsets that make the sums inexact, small
        // integers with ties, wide scales, and a few exact copies of columns.
        for (int k = 0; k < N; ++k)
            for (int i = 0; i < V; ++i) {
                switch ((kind + i) % 4) {
                case 0: obs[k][i] = 1e6 + normal(gen); break;
                case 1: obs[k][i] = static_cast<double>(gen() % 5); break;
                case 2: obs[k][i] = normal(gen) * std::pow(10.0, static_cast<int>(gen() % 20) - 10); break;
                default: obs[k][i] = i > 0 ? obs[k][i - 1] : 0.1;
                }
            }
        ++kind;
        const Stats literal = stats(V, N, obs, Form::literal);
        for (int width : {0, 2, 4, 8})
        for (int threads : {1, 2}) {
            if (width > std::max(2, widestIsa().width)) continue;  // not on this processor
            omp_set_num_threads(threads);
            const Stats fast = stats(V, N, obs, Form::fast, width);
            const std::string what = "V " + std::to_string(V) + " N " + std::to_string(N) +
                                     " width " + std::to_string(width) + " threads " +
                                     std::to_string(threads);
            EXPECT_TRUE(sameBits(fast.means, literal.means)) << what;
            EXPECT_TRUE(sameBits(fast.input, literal.input)) << what;
            EXPECT_TRUE(sameBits(fast.cov, literal.cov)) << what;
            EXPECT_TRUE(sameBits(fast.corr, literal.corr)) << what;
        }
    }
}

// The sums go on block of observations after block, in tiles of groups of
// columns: counts of observations about the block's edges and past several
// blocks, counts of columns about the edges of the groups and tiles, and
// not-a-number and infinities in the input, for the covariance and for the
// store that gets the correlation straight from the sums.
TEST(CovarianceAndCorrelation, ObservationBlocksAndTilesGiveTheLiteralBits)
{
    ThreadCount keep;
    std::mt19937_64 gen(1618);
    std::normal_distribution<double> normal;
    const int shapes[][2] = {{9, 255}, {24, 256}, {25, 257}, {23, 513}, {57, 700}, {1, 300},
                             {47, 260}, {16, 1029}};
    for (const auto& shape : shapes)
        for (const bool special : {false, true}) {
            const int V = shape[0], N = shape[1];
            Matrix obs(N, V, 0.0);
            for (int k = 0; k < N; ++k)
                for (int i = 0; i < V; ++i) obs[k][i] = (i % 3 ? 1e3 : 1.0) + normal(gen);
            if (special && V > 3) {
                obs[N - 1][1] = std::nan("");
                obs[N / 2][2] = INFINITY;
                obs[0][V - 1] = -INFINITY;
            }
            const Stats literal = stats(V, N, obs, Form::literal);
            for (int width : {2, 4, 8})
                for (int threads : {1, 2}) {
                    if (width > std::max(2, widestIsa().width)) continue;
                    omp_set_num_threads(threads);
                    const std::string what = "V " + std::to_string(V) + " N " + std::to_string(N) +
                                             " width " + std::to_string(width) + " threads " +
                                             std::to_string(threads);
                    const Stats fast = stats(V, N, obs, Form::fast, width);
                    auto same = [&](const Matrix& a, const Matrix& b) {
                        return special ? sameBitsOrBothNaN(a, b) : sameBits(a, b);
                    };
                    EXPECT_TRUE(same(fast.cov, literal.cov)) << what;
                    EXPECT_TRUE(same(fast.corr, literal.corr)) << what;
                    if (width != std::max(2, currentIsa().width)) continue;
                    Matrix input = obs, store = square(V, 12345);
                    std::vector<double> means(V, 0.0);
                    getCorrStore(V, N, store, input, means);
                    EXPECT_TRUE(same(store, literal.corr)) << what;
                }
        }
}

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

// --- ranks -----------------------------------------------------------------------

TEST(RanksOfColumns, BubbleSortIsAscendingAndNeverSwapsEqualValues)
{
    // The exchange sort moves only strictly greater values, so it is stable:
    // it must give the bits of std::stable_sort, signed zeros included.
    std::mt19937_64 gen(5);
    for (int round = 0; round < 200; ++round) {
        const int n = static_cast<int>(gen() % 40);
        std::vector<double> a(n);
        for (double& x : a) {
            const int pick = static_cast<int>(gen() % 6);
            x = pick == 0 ? 0.0 : pick == 1 ? -0.0 : static_cast<double>(static_cast<int>(gen() % 7) - 3);
        }
        std::vector<double> want = a;
        std::stable_sort(want.begin(), want.end());
        bubbleSort1(a.data(), n);
        EXPECT_TRUE(sameBits(a, want)) << "n " << n;
    }
    std::vector<double> one = {2.5};
    bubbleSort1(one.data(), 1);
    EXPECT_EQ(one, std::vector<double>{2.5});
    bubbleSort1(nullptr, 0);
}

TEST(RanksOfColumns, TiesShareTheMeanOfTheirPositions)
{
    for (Form f : kForms) {
        EXPECT_EQ(ranksOf({5, 1, 5, 3}, f), (std::vector<double>{3.5, 1, 3.5, 2})) << name(f);
        EXPECT_EQ(ranksOf({2, 7, 2, 7, 2, 9}, f), (std::vector<double>{2, 4.5, 2, 4.5, 2, 6})) << name(f);
        EXPECT_EQ(ranksOf({4, 4, 4}, f), (std::vector<double>{2, 2, 2})) << name(f);
        EXPECT_EQ(ranksOf({-1, -1, -1, -1}, f), (std::vector<double>{2.5, 2.5, 2.5, 2.5})) << name(f);
        EXPECT_EQ(ranksOf({3, -0.0, +0.0, 1}, f), (std::vector<double>{4, 1.5, 1.5, 3})) << name(f);
        EXPECT_EQ(ranksOf({-2, 0.5, 1, 8, 100}, f), (std::vector<double>{1, 2, 3, 4, 5})) << name(f);
        EXPECT_EQ(ranksOf({100, 8, 1, 0.5, -2}, f), (std::vector<double>{5, 4, 3, 2, 1})) << name(f);
        EXPECT_EQ(ranksOf({42}, f), (std::vector<double>{1})) << name(f);
        // Values a bit apart are distinct.
        EXPECT_EQ(ranksOf({0.3, 0.1 + 0.2, 0.3}, f), (std::vector<double>{1.5, 3, 1.5})) << name(f);
        // Several groups, one after another, with single values between.
        EXPECT_EQ(ranksOf({1, 1, 2, 3, 3, 3, 4, 5, 5}, f),
                  (std::vector<double>{1.5, 1.5, 3, 5, 5, 5, 7, 8.5, 8.5}))
            << name(f);
    }
}

TEST(RanksOfColumns, ColumnsAreRankedIndependentlyAndTheObservationsStay)
{
    const Matrix obs = fromColumns({{10, 10, 20, 20}, {1, 2, 3, 4}, {-0.0, 5, 0.0, 5}}, 4);
    for (Form f : kForms) {
        Matrix copy = obs, rank(4, 3, std::nan(""));
        (f == Form::literal ? getRanksLiteral : getRanks)(3, 4, rank, copy);
        EXPECT_EQ(rank, fromColumns({{1.5, 1.5, 3.5, 3.5}, {1, 2, 3, 4}, {1.5, 3.5, 1.5, 3.5}}, 4)) << name(f);
        EXPECT_TRUE(sameBits(copy, obs)) << name(f) << ": the observation matrix is untouched";
    }
    // No observations: nothing to write, nothing read.
    for (Form f : kForms) {
        Matrix none, rank;
        (f == Form::literal ? getRanksLiteral : getRanks)(3, 0, rank, none);
    }
}

TEST(RanksOfColumns, FastRanksGiveTheLiteralBitsOnTiedTables)
{
    ThreadCount keep;
    std::mt19937_64 gen(99);
    std::normal_distribution<double> normal;
    for (int round = 0; round < 40; ++round) {
        const int V = 1 + static_cast<int>(gen() % 17), N = 1 + static_cast<int>(gen() % 120);
        const int levels = 1 + static_cast<int>(gen() % 8);  // few levels: many ties
        Matrix obs(N, V, 0.0);
        for (int k = 0; k < N; ++k)
            for (int i = 0; i < V; ++i) {
                const int pick = static_cast<int>(gen() % levels);
                obs[k][i] = i % 3 == 2 ? normal(gen)  // a tie-free column now and then
                            : pick == 0 ? ((gen() & 1) ? 0.0 : -0.0)
                                        : pick * 0.1 - 0.3;
            }
        Matrix literal(N, V, -1);
        getRanksLiteral(V, N, literal, obs);
        for (int threads : {1, 2}) {
            omp_set_num_threads(threads);
            Matrix fast(N, V, -1);
            getRanks(V, N, fast, obs);
            EXPECT_TRUE(sameBits(fast, literal))
                << "V " << V << " N " << N << " levels " << levels << " threads " << threads;
        }
        // Every column's ranks sum to N (N + 1) / 2.
        for (int i = 0; i < V; ++i) {
            double sum = 0;
            for (int k = 0; k < N; ++k) sum += literal[k][i];
            EXPECT_EQ(sum, N * (N + 1) / 2.0);
        }
    }
}

TEST(RanksOfColumns, SpearmanIsPearsonOfRanksAsTheTextbookFormulaGivesIt)
{
    std::mt19937_64 gen(17);
    std::uniform_real_distribution<double> unit(0, 1);
    for (int round = 0; round < 10; ++round) {
        const int V = 2 + static_cast<int>(gen() % 6), N = 3 + static_cast<int>(gen() % 60);
        // Correlated, tie-free columns.
        Matrix obs(N, V, 0.0);
        for (int k = 0; k < N; ++k) {
            const double common = unit(gen);
            for (int i = 0; i < V; ++i) obs[k][i] = (i % 2 ? -common : common) * i + unit(gen);
        }
        // Textbook ranks through a sort of the indices.
        Matrix want(N, V, 0.0);
        for (int i = 0; i < V; ++i) {
            std::vector<int> idx(N);
            std::iota(idx.begin(), idx.end(), 0);
            std::sort(idx.begin(), idx.end(), [&](int x, int y) { return obs[x][i] < obs[y][i]; });
            for (int p = 0; p + 1 < N; ++p) ASSERT_LT(obs[idx[p]][i], obs[idx[p + 1]][i]) << "tie-free";
            for (int p = 0; p < N; ++p) want[idx[p]][i] = p + 1;
        }
        Matrix rank(N, V, 0.0);
        getRanks(V, N, rank, obs);
        EXPECT_EQ(rank, want);
        const Stats s = stats(V, N, rank, Form::fast);
        for (int a = 0; a < V; ++a)
            for (int b = 0; b < V; ++b) {
                double d2 = 0;
                for (int k = 0; k < N; ++k) d2 += (want[k][a] - want[k][b]) * (want[k][a] - want[k][b]);
                const double n = N;
                const double rho = 1 - 6 * d2 / (n * (n * n - 1));
                EXPECT_NEAR(s.corr[a][b], rho, 1e-12) << "V " << V << " N " << N << " [" << a << "][" << b << "]";
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

// --- thresholds ------------------------------------------------------------------

TEST(Thresholds, WorkedValuesToSixDecimals)
{
    struct Row {
        int N;
        double z, t[4];
    };
    const Row rows[] = {{10, 1.96, {0.629635, 0.664130, 0.704681, 0.753066}},
                        {20, 1.96, {0.442528, 0.454216, 0.466877, 0.480652}},
                        {20, 2.5758, {0.554408, 0.567583, 0.581727, 0.596961}},
                        {20, 3.2905, {0.662953, 0.676496, 0.690862, 0.706130}},
                        {20, 3.8906, {0.736876, 0.749866, 0.763498, 0.777812}},
                        {100, 2.5758, {0.255729, 0.256998, 0.258286, 0.259594}}};
    for (const Row& r : rows) {
        double t[4];
        getThresholds(r.N, r.z, t[0], t[1], t[2], t[3]);
        for (int k = 0; k < 4; ++k) {
            EXPECT_NEAR(t[k], r.t[k], 5e-7) << "N " << r.N << " z " << r.z << " order " << k;
            EXPECT_EQ(bits(thresholdFor(r.N, r.z, k)), bits(t[k]));
        }
    }
}

TEST(Thresholds, OneDegreeOfFreedomGivesTanhOfZ)
{
    for (int k = 0; k < 4; ++k) {
        const double t = thresholdFor(4 + k, 1.96, k);
        EXPECT_NEAR(t, 0.961090, 5e-7) << "order " << k;
        EXPECT_NEAR(t, std::tanh(1.96), 1e-15) << "order " << k;
    }
}

TEST(Thresholds, TooFewObservationsGiveNotANumber)
{
    for (int k = 0; k < 4; ++k) {
        EXPECT_TRUE(std::isnan(thresholdFor(3 + k, 1.96, k))) << "d = 0, order " << k << ": not 1";
        for (int N : {2 + k, 1, 0, -5})
            EXPECT_TRUE(std::isnan(thresholdFor(N, 2.5758, k))) << "N " << N << " order " << k;
    }
    double t0, t1, t2, t3;
    getThresholds(5, 1.96, t0, t1, t2, t3);
    EXPECT_NEAR(t0, 0.882272, 5e-7);
    EXPECT_NEAR(t1, 0.961090, 5e-7);
    EXPECT_TRUE(std::isnan(t2));
    EXPECT_TRUE(std::isnan(t3));
}

TEST(Thresholds, GrowWithTheOrderAndShrinkWithMoreObservations)
{
    for (double z : {1.96, 2.5758, 3.2905, 3.8906})
        for (int N = 8; N < 400; ++N)
            for (int k = 0; k < 4; ++k) {
                const double t = thresholdFor(N, z, k);
                EXPECT_GT(t, 0);
                EXPECT_LT(t, 1);
                if (k < 3) {
                    EXPECT_LT(t, thresholdFor(N, z, k + 1)) << "N " << N << " k " << k;
                }
                EXPECT_GT(t, thresholdFor(N + 1, z, k)) << "N " << N << " k " << k;
            }
}

// The fast sweeps against the literal loops, bit for bit, and the worked cases.
#include "every_isa.h"
#include "panel_runs.h"
#include "progress_lines.h"
#include "sweep.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <bit>
#include <cmath>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

namespace {

using Sweep = void (*)(int, int, double, Matrix&, const Matrix&, Progress&);
const Sweep kLiteral[] = {nullptr, getPartCorrMat1Literal, getPartCorrMat2Literal,
                          getPartCorrMat3Literal};
const Sweep kFast[] = {nullptr, getPartCorrMat1, getPartCorrMat2, getPartCorrMat3};

Matrix square(int V, double fill = 0) { return Matrix(V, V, fill); }

// A real correlation matrix: V variables driven by a few shared factors,
// with optional duplicated and constant variables.
Matrix randomCorrelation(std::mt19937_64& gen, int V, int N, double strength, bool degenerate)
{
    std::normal_distribution<double> normal;
    const int factors = 3;
    Matrix obs(N, V, 0.0);
    std::vector<std::vector<double>> load(V, std::vector<double>(factors));
    for (auto& l : load)
        for (double& x : l) x = strength * normal(gen);
    for (int k = 0; k < N; ++k) {
        double f[factors];
        for (double& x : f) x = normal(gen);
        for (int i = 0; i < V; ++i) {
            double x = normal(gen);
            for (int q = 0; q < factors; ++q) x += load[i][q] * f[q];
            obs[k][i] = x;
        }
    }
    if (degenerate && V >= 4) {
        for (int k = 0; k < N; ++k) {
            obs[k][1] = obs[k][0];  // perfectly correlated pair
            obs[k][V - 1] = 3;      // no variance: a not-a-number row
        }
    }
    Matrix cov = square(V), corr = square(V);
    std::vector<double> means(V, 0.0);
    getCovMat(V, N, cov, obs, means);
    getCorrMat(V, corr, cov);
    return corr;
}

std::string withoutTimes(const std::string& text)
{
    static const std::regex time("(time = |Time: ).*");
    return std::regex_replace(text, time, "$1");
}

struct Result {
    Matrix combined;
    std::string progress;
};

// The sweep with the seven programs' progress lines.
Result runSweep(Sweep sweep, int V, int N, const Matrix& corr)
{
    Result r{square(V, -7), {}};
    std::ostringstream os;
    ProgressLines lines(os);
    Progress p;
    p.passes = [&](const Passes& passes) { lines(passes); };
    sweep(V, N, 1.96, r.combined, corr, p);
    lines.finish();
    r.progress = os.str();
    return r;
}

void expectSameUpperTriangle(const Matrix& a, const Matrix& b, int V, const std::string& what)
{
    for (int i = 0; i < V; ++i)
        for (int j = i + 1; j < V; ++j)
            ASSERT_EQ(std::bit_cast<unsigned long long>(a[i][j]),
                      std::bit_cast<unsigned long long>(b[i][j]))
                << what << " pair " << i << "," << j << ": " << a[i][j] << " vs " << b[i][j];
}

}  // namespace

TEST(Sweeps, FastFormsGiveTheLiteralBitsOnRandomCorrelations)
{
    std::mt19937_64 gen(2024);
    struct Case {
        int order, maxV;
    };
    for (const Case c : {Case{1, 90}, Case{2, 40}, Case{3, 19}}) {
        for (int round = 0; round < 40; ++round) {
            const int V = 1 + static_cast<int>(gen() % c.maxV);
            // Tiny N: the pruning threshold is not a number and nothing prunes.
            const int N = round % 4 == 0 ? 3 + c.order : 8 + static_cast<int>(gen() % 190);
            const double strength = round % 3 == 0 ? 0.2 : 1.5;
            const Matrix corr = randomCorrelation(gen, V, N, strength, round % 2 == 1);
            const Result literal = runSweep(kLiteral[c.order], V, N, corr);
            for (int threads : {1, 2}) {
                omp_set_num_threads(threads);
                const Result fast = runSweep(kFast[c.order], V, N, corr);
                const std::string what = "order " + std::to_string(c.order) + " V " +
                                         std::to_string(V) + " N " + std::to_string(N) +
                                         " threads " + std::to_string(threads);
                expectSameUpperTriangle(fast.combined, literal.combined, V, what);
                EXPECT_EQ(withoutTimes(fast.progress), withoutTimes(literal.progress)) << what;
            }
        }
    }
    omp_set_num_threads(2);
}

TEST(Sweeps, AllHalfCorrelationsShrinkOrderByOrder)
{
    // 1/3 at order 1, 0.25 at order 2, 0.2 at order 3.
    const double want[] = {0, (0.5 - 0.25) / std::sqrt(0.75 * 0.75), 0, 0};
    const double third = want[1];
    const double second = (third - third * third) / std::sqrt((1 - third * third) * (1 - third * third));
    const double last = (second - second * second) / std::sqrt((1 - second * second) * (1 - second * second));
    const double expected[] = {0, third, second, last};
    for (int order = 1; order <= 3; ++order) {
        const int V = order + 2;
        Matrix corr = square(V, 0.5);
        for (int i = 0; i < V; ++i) corr[i][i] = 1;
        for (Sweep sweep : {kLiteral[order], kFast[order]}) {
            const Result r = runSweep(sweep, V, 200, corr);
            for (int i = 0; i < V; ++i)
                for (int j = i + 1; j < V; ++j) EXPECT_EQ(r.combined[i][j], expected[order]);
        }
    }
    EXPECT_NEAR(third, 1.0 / 3, 1e-15);
    EXPECT_NEAR(second, 0.25, 1e-15);
    EXPECT_NEAR(last, 0.2, 1e-15);
}

TEST(Sweeps, PruningTestIsStrictAndReplacementNeedsASmallerMagnitude)
{
    const int N = 60;
    for (int order = 1; order <= 3; ++order) {
        const double t = thresholdFor(N, 1.96, order);
        const int V = order + 2;
        // Pair (0,1) sits exactly at the threshold; every other correlation
        // is 0.5, so its first coefficient is (t - 0.25) / 0.75, smaller.
        Matrix corr = square(V, 0.5);
        for (int i = 0; i < V; ++i) corr[i][i] = 1;
        corr[0][1] = corr[1][0] = t;
        for (Sweep sweep : {kLiteral[order], kFast[order]}) {
            const double at = runSweep(sweep, V, N, corr).combined[0][1];
            if (order == 1) {
                EXPECT_LT(std::fabs(at), t) << "a pair at the threshold is refined";
            }
        }
        // Just below the threshold the pair keeps its correlation at order 1.
        corr[0][1] = corr[1][0] = std::nextafter(t, 0.0);
        if (order == 1) {
            for (Sweep sweep : {kLiteral[order], kFast[order]})
                EXPECT_EQ(runSweep(sweep, V, N, corr).combined[0][1], corr[0][1]);
        }
    }
    // Equal magnitude of opposite sign: with x = 0 and a = b = 0.6 the offer is
    // r = -a^2 / (1 - a^2); a stored -r keeps its value and sign.
    const double a = 0.6, r = partialStep(0, a, a);
    const std::vector<double> A(8, a), B(8, a);
    for (int width : {1, 4, 8}) {
        if (width > widestIsa().width) continue;
        EXPECT_EQ(offerPanel(Isa{width, false}, -r, 0, A.data(), B.data(), {}, 1, -1, -1, 0.0), -r);
    }
}

TEST(Sweeps, DegenerateCoefficientsNeverReplace)
{
    // Variable 2 correlates perfectly with variable 0; variable 3 has no variance.
    const double nan = std::nan("");
    Matrix corr = {{1, 0.4, 1, nan}, {0.4, 1, 0.4, nan}, {1, 0.4, 1, nan}, {nan, nan, nan, nan}};
    for (int order = 1; order <= 3; ++order)
        for (Sweep sweep : {kLiteral[order], kFast[order]}) {
            const Result r = runSweep(sweep, 4, 100, corr);
            EXPECT_TRUE(std::isnan(r.combined[0][3])) << "a not-a-number correlation stays";
            EXPECT_TRUE(std::isnan(r.combined[2][3]));
            EXPECT_EQ(r.combined[0][1], 0.4) << "order " << order;
        }
    // V = 2: nothing to control for.
    Matrix two = {{1, -0.3}, {-0.3, 1}};
    for (int order = 1; order <= 3; ++order)
        EXPECT_EQ(runSweep(kFast[order], 2, 100, two).combined[0][1], -0.3);
}

TEST(Sweeps, LargeSweepsGiveTheSameBitsOnOneThreadAndOnTwo)
{
    // Sizes at which the loops do run in parallel; the first order in passes
    // of 1024 controlling variables and bands of 64 rows, the last ones short;
    // the second order in several batches of c1 with whole stretches of 64
    // lanes; with every instruction set, and against the literal loops too.
    std::mt19937_64 gen(77);
    struct Case {
        int order, V, N;
        bool literal;
    };
    for (const Case c : {Case{1, 1300, 60, true}, Case{2, 420, 128, false}, Case{2, 150, 40, true},
                         Case{3, 60, 7, true},
                         Case{3, 130, 40, false}}) {
        const Matrix corr = randomCorrelation(gen, c.V, c.N, 1.0, true);
        const std::string what = "order " + std::to_string(c.order) + " V " + std::to_string(c.V);
        Matrix first;  // of the first instruction set, on one thread
        forEachIsa([&](const std::string& isa) {
            omp_set_num_threads(1);
            const Result one = runSweep(kFast[c.order], c.V, c.N, corr);
            omp_set_num_threads(2);
            const Result two = runSweep(kFast[c.order], c.V, c.N, corr);
            expectSameUpperTriangle(one.combined, two.combined, c.V, what + " " + isa + " threads");
            if (first.rows() == 0) first = one.combined;
            expectSameUpperTriangle(one.combined, first, c.V, what + " " + isa);
        });
        if (c.literal)
            expectSameUpperTriangle(first, runSweep(kLiteral[c.order], c.V, c.N, corr).combined, c.V,
                                    what + " literal");
    }
}

TEST(Sweeps, ThirdOrderInWindowsOfAnySizeGivesTheLiteralBits)
{
    // Windows of one batch of c2 values and of the default size, on one
    // thread and two: the first values of c1 take several batches, and
    // several windows of one batch.
    std::mt19937_64 gen(31);
    const int V = 80, N = 40;
    const Matrix corr = randomCorrelation(gen, V, N, 1.0, true);
    const Result literal = runSweep(kLiteral[3], V, N, corr);
    for (const int window : {kThirdOrderBatch, kThirdOrderWindow})
        for (const int threads : {1, 2}) {
            omp_set_num_threads(threads);
            Matrix store = corr;
            Progress p;
            getPartCorrMat3Windows(V, N, 1.96, store, PairRows{0, V}, window, p);
            const std::string what =
                "window " + std::to_string(window) + " threads " + std::to_string(threads);
            expectSameUpperTriangle(store, literal.combined, V, what);
        }
    omp_set_num_threads(2);
}

TEST(Sweeps, PairsSweptInRowRangesInAnyOrderGiveTheBitsOfOneSweep)
{
    // The in-place sweeps on one store, once over all pairs and once in row
    // ranges taken last first, some not on band boundaries, with the upper
    // triangle of finished ranges already holding combined values.
    std::mt19937_64 gen(5);
    struct Case {
        int order, V, N;
    };
    using InPlace = void (*)(int, int, double, Matrix&, PairRows, Progress&);
    const InPlace inPlace[] = {nullptr, getPartCorrMat1InPlace, getPartCorrMat2InPlace,
                               getPartCorrMat3InPlace};
    for (const Case c : {Case{1, 1100, 60}, Case{2, 300, 128}, Case{3, 90, 40}}) {
        const Matrix corr = randomCorrelation(gen, c.V, c.N, 1.0, true);
        Progress p;
        Matrix whole = corr;
        inPlace[c.order](c.V, c.N, 1.96, whole, PairRows{0, c.V}, p);
        Matrix split = corr;
        const std::vector<int> cuts = {0, 1, c.V / 7, c.V / 3, c.V / 2 + 5, c.V - 2, c.V};
        for (size_t k = 1; k < cuts.size(); ++k)
            inPlace[c.order](c.V, c.N, 1.96, split, PairRows{cuts[k - 1], cuts[k]}, p);
        const std::string what = "order " + std::to_string(c.order);
        expectSameUpperTriangle(split, whole, c.V, what + " in ranges");
        for (int i = 0; i < c.V; ++i)
            for (int j = 0; j <= i; ++j)
                ASSERT_EQ(std::bit_cast<unsigned long long>(split[i][j]),
                          std::bit_cast<unsigned long long>(corr[i][j]))
                    << what << " lower triangle " << i << "," << j;
    }
}

TEST(Sweeps, UpperTriangleOfOtherRowsMayChangeWhileRowsAreSwept)
{
    // While a range of rows is swept, what reports its progress writes into
    // the upper triangle of the other rows (as a process taking in other
    // processes' rows does): the range gets the bits of one sweep, and the
    // other rows keep what was written.
    std::mt19937_64 gen(9);
    using InPlace = void (*)(int, int, double, Matrix&, PairRows, Progress&);
    const InPlace inPlace[] = {nullptr, getPartCorrMat1InPlace, getPartCorrMat2InPlace,
                               getPartCorrMat3InPlace};
    const int sizes[] = {0, 300, 120, 50};
    for (int order = 1; order <= 3; ++order) {
        const int V = sizes[order];
        const Matrix corr = randomCorrelation(gen, V, 60, 1.0, true);
        Progress none;
        Matrix whole = corr;
        inPlace[order](V, 60, 1.96, whole, PairRows{0, V}, none);
        const PairRows range{V / 4, V / 2};
        Matrix split = corr;
        int calls = 0;
        Progress writer;
        writer.done = [&](double) {
            ++calls;
            for (int i = 0; i < V; ++i)
                if (i < range.begin || i >= range.end)
                    for (int j = i + 1; j < V; ++j) split[i][j] = 5.0 + calls;
        };
        inPlace[order](V, 60, 1.96, split, range, writer);
        ASSERT_GT(calls, 0);
        const std::string what = "order " + std::to_string(order);
        for (int i = 0; i < V; ++i)
            for (int j = i + 1; j < V; ++j) {
                const double want = i >= range.begin && i < range.end ? whole[i][j] : 5.0 + calls;
                ASSERT_EQ(std::bit_cast<unsigned long long>(split[i][j]),
                          std::bit_cast<unsigned long long>(want))
                    << what << " pair " << i << "," << j;
            }
    }
}

TEST(Sweeps, ReportsComeOnTheCallingThreadBetweenParallelLoopsAndMayEndTheSweep)
{
    // Sizes at which the fast sweeps' loops run in parallel. Every report
    // comes on the thread that called the sweep, outside a parallel region;
    // a report that throws ends the sweep, literal or fast, with its
    // exception (the sanitizer build checks that nothing is left behind).
    struct Stop {};
    std::mt19937_64 gen(13);
    const int sizes[] = {0, 1100, 200, 70};
    for (int order = 1; order <= 3; ++order) {
        const int V = sizes[order];
        const Matrix corr = randomCorrelation(gen, V, 60, 1.0, true);
        const std::thread::id caller = std::this_thread::get_id();
        int calls = 0, stopAt = -1;
        bool onCaller = true;
        auto report = [&] {
            onCaller = onCaller && !omp_in_parallel() && std::this_thread::get_id() == caller;
            if (++calls == stopAt) throw Stop{};
        };
        Progress p;
        p.done = [&](double) { report(); };
        p.passes = [&](const Passes&) { report(); };
        Matrix combined = square(V);
        kFast[order](V, 60, 1.96, combined, corr, p);
        EXPECT_TRUE(onCaller) << "order " << order;
        ASSERT_GT(calls, 2) << "order " << order;
        for (Sweep sweep : {kFast[order], kLiteral[order]}) {
            stopAt = sweep == kFast[order] ? calls / 2 : 1;
            calls = 0;
            EXPECT_THROW(sweep(V, 60, 1.96, combined, corr, p), Stop) << "order " << order;
            EXPECT_EQ(calls, stopAt) << "order " << order;
        }
    }
}

// The partial-correlation sweeps of orders 1 to 3: the worked cases, the
// progress lines, the replacement and pruning rules at their edges, oracles
// computed here from the recursion formula, and above all the fast sweeps
// against the literal sweeps, bit for bit: on random correlations, on any
// count of threads, in windows and in row ranges of any order, with reports
// that may end the sweep.
#include "core.h"
#include "every_isa.h"
#include "panel_runs.h"
#include "progress_lines.h"
#include "sweep.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>

namespace {

using Sweep = void (*)(int, int, double, Matrix&, const Matrix&, Progress&);
struct Forms {
    Sweep literal, fast;
};
const Forms kSweeps[4] = {{nullptr, nullptr},
                          {getPartCorrMat1Literal, getPartCorrMat1},
                          {getPartCorrMat2Literal, getPartCorrMat2},
                          {getPartCorrMat3Literal, getPartCorrMat3}};

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// The recursion formula, in its operation order.
double coef(double x, double a, double b) { return (x - a * b) / std::sqrt((1 - a * a) * (1 - b * b)); }

// The coefficient of the pair {i, j} given the controlling variables
// c[0..n), partialled out in that order (the last one last).
double partial(const Matrix& corr, int i, int j, const int* c, int n)
{
    if (n == 0) return corr[i][j];
    const int w = c[n - 1];
    return coef(partial(corr, i, j, c, n - 1), partial(corr, i, w, c, n - 1),
                partial(corr, j, w, c, n - 1));
}

// Oracle without pruning: the pair's correlation and every coefficient of
// order 1..maxOrder, offered in the order of the sweeps (c1, then
// (c1, c2) for c2 > c1, then (c1, c2, c3) for c3 > c2, ...) to the
// replacement rule: the first value of smallest magnitude, never a
// not-a-number.
double fullMinimum(const Matrix& corr, int V, int i, int j, int maxOrder)
{
    double v = corr[i][j];
    auto offer = [&](double r) {
        if (std::fabs(v) > std::fabs(r)) v = r;
    };
    auto usable = [&](int c) { return c != i && c != j; };
    int c[3];
    for (c[0] = 0; c[0] < V; ++c[0]) {
        if (!usable(c[0]) || maxOrder < 1) continue;
        offer(partial(corr, i, j, c, 1));
        if (maxOrder < 2) continue;
        for (c[1] = c[0] + 1; c[1] < V; ++c[1]) {
            if (!usable(c[1])) continue;
            offer(partial(corr, i, j, c, 2));
            if (maxOrder < 3) continue;
            for (c[2] = c[1] + 1; c[2] < V; ++c[2])
                if (usable(c[2])) offer(partial(corr, i, j, c, 3));
        }
    }
    return v;
}

struct Outcome {
    Matrix combined;
    std::string progress;
};

// The sweep with the seven programs' progress lines.
Outcome run(Sweep sweep, int V, int N, const Matrix& corr)
{
    Outcome r{Matrix(V, V, 777.0), {}};
    std::ostringstream os;
    ProgressLines lines(os);
    Progress p;
    p.passes = [&](const Passes& passes) { lines(passes); };
    sweep(V, N, 1.96, r.combined, corr, p);
    lines.finish();
    r.progress = os.str();
    return r;
}

// A matrix with 1 on the diagonal and `off` everywhere else.
Matrix uniform(int V, double off)
{
    Matrix m(V, V, off);
    for (int i = 0; i < V; ++i) m[i][i] = 1;
    return m;
}

void setPair(Matrix& m, int i, int j, double x) { m[i][j] = m[j][i] = x; }

// The C library's ctime text without its line feed: "Www Mmm dd hh:mm:ss yyyy".
bool isCtimeText(std::string_view s)
{
    if (s.size() != 24) return false;
    auto letter = [&](int k, bool upper) {
        return upper ? (s[k] >= 'A' && s[k] <= 'Z') : (s[k] >= 'a' && s[k] <= 'z');
    };
    auto digit = [&](int k) { return s[k] >= '0' && s[k] <= '9'; };
    return letter(0, true) && letter(1, false) && letter(2, false) && s[3] == ' ' && letter(4, true) &&
           letter(5, false) && letter(6, false) && s[7] == ' ' && (s[8] == ' ' || digit(8)) && digit(9) &&
           s[10] == ' ' && digit(11) && digit(12) && s[13] == ':' && digit(14) && digit(15) &&
           s[16] == ':' && digit(17) && digit(18) && s[19] == ' ' && digit(20) && digit(21) &&
           digit(22) && digit(23);
}

// The progress text with each line cut after "time = " or "Time: ". Fails
// the test when a line has no such marker or its time text is not ctime's.
std::string withoutTimes(const std::string& text)
{
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        EXPECT_NE(end, std::string::npos) << "the progress text ends with a line feed";
        if (end == std::string::npos) end = text.size();
        const std::string_view line(text.data() + start, end - start);
        size_t cut = line.find("time = ");
        size_t len = 7;
        if (cut == std::string_view::npos) {
            cut = line.find("Time: ");
            len = 6;
        }
        EXPECT_NE(cut, std::string_view::npos) << line;
        if (cut != std::string_view::npos) {
            EXPECT_TRUE(isCtimeText(line.substr(cut + len))) << line;
            out += line.substr(0, cut + len);
        }
        out += '\n';
        start = end + 1;
    }
    return out;
}

std::string expectedLines(int order, int V)
{
    std::string want;
    if (order == 1)
        for (int c = 1; c <= V; ++c) want += "Controlled for gene " + std::to_string(c) + " at time = \n";
    if (order == 2)
        for (int a = 1; a <= V; ++a)
            for (int b = a + 1; b <= V; ++b)
                want += "Controlled for " + std::to_string(a) + " and " + std::to_string(b) + " Time: \n";
    if (order == 3)
        for (int a = 1; a <= V; ++a)
            for (int b = a + 1; b <= V; ++b)
                for (int c = b + 1; c <= V; ++c)
                    want += "Controlled for " + std::to_string(a) + ", " + std::to_string(b) + " and " +
                            std::to_string(c) + " Time: \n";
    return want;
}

// The first cell of the strict upper triangle where a and b differ in bits.
::testing::AssertionResult sameUpperTriangle(const Matrix& a, const Matrix& b, int V)
{
    for (int i = 0; i < V; ++i)
        for (int j = i + 1; j < V; ++j)
            if (bits(a[i][j]) != bits(b[i][j]))
                return ::testing::AssertionFailure()
                       << "pair (" << i << ", " << j << "): " << std::hexfloat << a[i][j] << " vs "
                       << b[i][j] << std::defaultfloat;
    return ::testing::AssertionSuccess();
}

// Restores the OpenMP thread count when a test ends.
struct ThreadCount {
    int saved = omp_get_max_threads();
    ~ThreadCount() { omp_set_num_threads(saved); }
};

// What the random correlation matrices may contain.
struct Recipe {
    double strength = 1;   // factor loadings: larger gives stronger correlations
    bool copies = false;   // an exact copy and a negated copy of a variable (|r| = 1)
    bool constant = false; // a variable without variance (a not-a-number row)
    bool integers = false; // values rounded to few levels: many equal coefficients
};

// A real correlation matrix: V variables over Ndata observations driven by
// three shared factors, through getCovMat and getCorrMat.
Matrix realCorrelation(std::mt19937_64& gen, int V, int Ndata, const Recipe& r)
{
    std::normal_distribution<double> normal;
    const int factors = 3;
    std::vector<std::vector<double>> load(V, std::vector<double>(factors));
    for (auto& l : load)
        for (double& x : l) x = r.strength * normal(gen);
    Matrix obs(Ndata, V, 0.0);
    for (int k = 0; k < Ndata; ++k) {
        double f[factors];
        for (double& x : f) x = normal(gen);
        for (int i = 0; i < V; ++i) {
            double x = normal(gen);
            for (int q = 0; q < factors; ++q) x += load[i][q] * f[q];
            obs[k][i] = r.integers ? std::round(x) : x;
        }
    }
    if (V >= 3 && r.copies) {
        const int from = static_cast<int>(gen() % V), to = static_cast<int>(gen() % V);
        const int neg = static_cast<int>(gen() % V);
        for (int k = 0; k < Ndata; ++k) {
            if (to != from) obs[k][to] = obs[k][from];
            if (neg != from && neg != to) obs[k][neg] = -obs[k][from];
        }
    }
    if (V >= 2 && r.constant) {
        const int c = static_cast<int>(gen() % V);
        for (int k = 0; k < Ndata; ++k) obs[k][c] = 5;
    }
    Matrix cov(V, V, 0.0), corr(V, V, 0.0);
    std::vector<double> means(V, 0.0);
    getCovMat(V, Ndata, cov, obs, means);
    getCorrMat(V, corr, cov);
    return corr;
}

// The N (from 4 + order up) whose pruning threshold is closest to the
// median magnitude of the finite correlations: many pairs sit near it.
int nearMedianN(const Matrix& corr, int V, int order)
{
    std::vector<double> mags;
    for (int i = 0; i < V; ++i)
        for (int j = i + 1; j < V; ++j)
            if (std::isfinite(corr[i][j])) mags.push_back(std::fabs(corr[i][j]));
    if (mags.empty()) return 200;
    std::nth_element(mags.begin(), mags.begin() + mags.size() / 2, mags.end());
    const double median = std::max(mags[mags.size() / 2], 1e-3);
    int lo = 4 + order, hi = 4000000;  // the threshold falls as N grows
    while (lo < hi) {
        const int mid = lo + (hi - lo) / 2;
        if (thresholdFor(mid, 1.96, order) > median) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

// A b in (0, 1) such that the coefficient given a control that correlates
// a with i and b with j is exactly target, for a pair whose value is x; or
// not-a-number when none stands near the root. Needs 0 < x < a.
double controlFor(double x, double a, double target)
{
    auto f = [&](double b) { return coef(x, a, b) - target; };
    double lo = 0, hi = std::nextafter(1.0, 0.0);
    if (!(f(lo) > 0 && f(hi) < 0)) return std::nan("");
    for (int it = 0; it < 2000; ++it) {
        const double mid = lo + (hi - lo) / 2;
        if (mid == lo || mid == hi) break;
        (f(mid) > 0 ? lo : hi) = mid;
    }
    double b = lo;
    for (int k = 0; k < 64; ++k) b = std::nextafter(b, 0.0);
    for (int k = 0; k < 128; ++k, b = std::nextafter(b, 1.0))
        if (coef(x, a, b) == target) return b;
    return std::nan("");
}

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

}  // namespace

// --- worked cases ----------------------------------------------------------------

TEST(SweepRules, AllHalfCorrelationsGiveOneThirdThenOneQuarterThenOneFifth)
{
    const double first = coef(0.5, 0.5, 0.5);
    const double second = coef(first, first, first);
    const double third = coef(second, second, second);
    EXPECT_NEAR(first, 1.0 / 3, 1e-15);
    EXPECT_NEAR(second, 0.25, 1e-15);
    EXPECT_NEAR(third, 0.2, 1e-15);
    const double want[] = {0.5, first, second, third};
    for (int order = 1; order <= 3; ++order)
        for (int V : {order + 2, order + 4})
            for (Sweep sweep : {kSweeps[order].literal, kSweeps[order].fast}) {
                const Outcome r = run(sweep, V, 200, uniform(V, 0.5));
                for (int i = 0; i < V; ++i)
                    for (int j = i + 1; j < V; ++j)
                        EXPECT_EQ(bits(r.combined[i][j]), bits(want[order]))
                            << "order " << order << " V " << V << " pair " << i << "," << j << ": "
                            << r.combined[i][j];
            }
}

TEST(SweepRules, ProgressLinesOnePerPassOfTheHighestOrderInOrder)
{
    for (int order = 1; order <= 3; ++order)
        for (int V = 0; V <= 5; ++V) {
            const Matrix corr = uniform(V, 0.3);
            const Outcome literal = run(kSweeps[order].literal, V, 50, corr);
            const Outcome fast = run(kSweeps[order].fast, V, 50, corr);
            const std::string want = expectedLines(order, V);
            EXPECT_EQ(withoutTimes(literal.progress), want) << "literal order " << order << " V " << V;
            EXPECT_EQ(withoutTimes(fast.progress), want) << "fast order " << order << " V " << V;
            const long lines = std::count(fast.progress.begin(), fast.progress.end(), '\n');
            const long counts[] = {0, V, V * (V - 1) / 2, V * (V - 1) * (V - 2) / 6};
            EXPECT_EQ(lines, counts[order]) << "order " << order << " V " << V;
        }
    // The first line names gene 1 and the last gene V.
    const Outcome r = run(getPartCorrMat1, 4, 50, uniform(4, 0.3));
    EXPECT_EQ(r.progress.rfind("Controlled for gene 1 at time = ", 0), 0u);
    EXPECT_NE(r.progress.find("\nControlled for gene 4 at time = "), std::string::npos);
}

TEST(SweepRules, TwoVariablesKeepTheirCorrelation)
{
    const Matrix two = {{1, -0.3}, {-0.3, 1}};
    for (int order = 1; order <= 3; ++order)
        for (Sweep sweep : {kSweeps[order].literal, kSweeps[order].fast})
            for (int N : {3, 100}) EXPECT_EQ(bits(run(sweep, 2, N, two).combined[0][1]), bits(-0.3));
    // One variable and none: nothing to compute, only the lines of order 1.
    for (int order = 1; order <= 3; ++order)
        for (Sweep sweep : {kSweeps[order].literal, kSweeps[order].fast}) {
            EXPECT_EQ(withoutTimes(run(sweep, 1, 100, Matrix{{1}}).progress), expectedLines(order, 1));
            EXPECT_EQ(run(sweep, 0, 100, Matrix{}).progress, "");
        }
}

// --- the replacement and pruning rules ----------------------------------------------

TEST(SweepRules, PairExactlyAtThePruningThresholdIsRefined)
{
    // The last pair {V-2, V-1}, with correlation t, is offered only values of
    // magnitude t or more before its first coefficient of the highest order
    // K (its controlling variables other than the last one are uncorrelated
    // with it), so that coefficient meets a stored magnitude exactly equal to
    // the threshold. It is the pair's smallest coefficient; without it the
    // pair ends larger. Just below the threshold the pair is pruned instead.
    const int N = 60;
    for (int order = 1; order <= 3; ++order) {
        const double t = thresholdFor(N, 1.96, order);
        ASSERT_TRUE(t > 0 && t < 1);
        const int V = order + 2, i = V - 2, j = V - 1;
        Matrix corr = uniform(V, 0);
        const double p = order == 1 ? 0.5 : order == 2 ? 0.4 : 0.3;  // last control with i and j
        setPair(corr, i, V - 3, p);
        setPair(corr, j, V - 3, p);
        if (order == 2) setPair(corr, 0, 1, 0.5);
        if (order == 3) {
            setPair(corr, 2, 0, 0.5);
            setPair(corr, 2, 1, 0.5);
        }
        int controls[3] = {0, 1, 2};
        setPair(corr, i, j, t);
        const double highest = partial(corr, i, j, controls, order);
        ASSERT_LT(std::fabs(highest), t);
        ASSERT_EQ(bits(fullMinimum(corr, V, i, j, order)), bits(highest)) << "order " << order;
        ASSERT_GT(std::fabs(fullMinimum(corr, V, i, j, order - 1)), std::fabs(highest) * 1.2)
            << "without the coefficient of order " << order << " the pair ends larger";
        for (Sweep sweep : {kSweeps[order].literal, kSweeps[order].fast})
            EXPECT_EQ(bits(run(sweep, V, N, corr).combined[i][j]), bits(highest))
                << "order " << order << ": a pair at the threshold is refined";

        Matrix below = corr;
        setPair(below, i, j, std::nextafter(t, 0.0));
        const double lower = fullMinimum(below, V, i, j, order - 1);
        if (order == 1) {
            EXPECT_EQ(lower, below[i][j]);
        }
        for (Sweep sweep : {kSweeps[order].literal, kSweeps[order].fast})
            EXPECT_EQ(bits(run(sweep, V, N, below).combined[i][j]), bits(lower))
                << "order " << order << ": a pair just below the threshold is pruned";
        // The same at -t: only the magnitude is compared.
        Matrix negative = corr;
        setPair(negative, i, j, -t);
        setPair(negative, i, V - 3, -p);
        const double negHighest = partial(negative, i, j, controls, order);
        ASSERT_LT(std::fabs(negHighest), t);
        ASSERT_EQ(bits(fullMinimum(negative, V, i, j, order)), bits(negHighest));
        for (Sweep sweep : {kSweeps[order].literal, kSweeps[order].fast})
            EXPECT_EQ(bits(run(sweep, V, N, negative).combined[i][j]), bits(negHighest))
                << "order " << order << ": a pair at minus the threshold is refined";
    }
}

TEST(SweepRules, EqualMagnitudeOfOppositeSignDoesNotReplace)
{
    // Find a, b and x whose coefficient given the third variable is exactly -x.
    double x = 0, a = 0, b = 0;
    bool found = false;
    for (int ka = 1; ka < 64 && !found; ++ka)
        for (int kb = ka; kb < 64 && !found; ++kb) {
            a = ka / 64.0 + 0.001;
            b = kb / 64.0 + 0.003;
            x = a * b / (1 + std::sqrt((1 - a * a) * (1 - b * b)));
            found = x > 0.1 && coef(x, a, b) == -x;
        }
    ASSERT_TRUE(found);
    Matrix corr = uniform(3, 0);
    setPair(corr, 0, 1, x);
    setPair(corr, 0, 2, a);
    setPair(corr, 1, 2, b);
    // Signed zeros: the stored -0 meets an offer of +0.
    Matrix zeros = uniform(3, 0.5);
    setPair(zeros, 0, 1, -0.0);
    setPair(zeros, 0, 2, -0.0);
    ASSERT_EQ(bits(coef(-0.0, -0.0, 0.5)), bits(0.0));
    for (int order = 1; order <= 3; ++order)
        for (Sweep sweep : {kSweeps[order].literal, kSweeps[order].fast})
            for (int N : {4, 1000}) {
                EXPECT_EQ(bits(run(sweep, 3, N, corr).combined[0][1]), bits(x))
                    << "order " << order << " N " << N;
                if (N == 4) {  // no pruning, so the offer of +0 is made
                    EXPECT_EQ(bits(run(sweep, 3, N, zeros).combined[0][1]), bits(-0.0))
                        << "order " << order;
                }
            }
}

TEST(SweepRules, PerfectlyCorrelatedControlNeverChangesTheValue)
{
    std::mt19937_64 gen(8);
    std::normal_distribution<double> normal;
    for (double sign : {1.0, -1.0}) {
        const int Ndata = 30;
        Matrix obs(Ndata, 3, 0.0);
        for (int k = 0; k < Ndata; ++k) {
            double* row = obs[k];
            row[0] = normal(gen);
            row[1] = 0.7 * row[0] + normal(gen);
            row[2] = sign * row[0];
        }
        Matrix cov(3, 3, 0.0), corr(3, 3, 0.0);
        std::vector<double> means(3, 0.0);
        getCovMat(3, Ndata, cov, obs, means);
        getCorrMat(3, corr, cov);
        ASSERT_EQ(corr[0][2], sign) << "a copy correlates exactly";
        for (int order = 1; order <= 3; ++order)
            for (Sweep sweep : {kSweeps[order].literal, kSweeps[order].fast})
                for (int N : {4, 200}) {
                    const Outcome r = run(sweep, 3, N, corr);
                    EXPECT_EQ(bits(r.combined[0][1]), bits(corr[0][1])) << "order " << order << " N " << N;
                    EXPECT_EQ(bits(r.combined[1][2]), bits(corr[1][2])) << "order " << order << " N " << N;
                }
    }
}

TEST(SweepRules, NotANumberCorrelationStaysAndItsVariableAddsNothing)
{
    // A variable without variance: its pairs keep not-a-number, and every
    // other pair ends exactly as in the sweep without that variable.
    std::mt19937_64 gen(12);
    for (int order = 1; order <= 3; ++order)
        for (int N : {4, 30, 300}) {
            const int V = 8, k = 3;
            Recipe recipe;
            recipe.strength = 1.2;
            Matrix corr = realCorrelation(gen, V, 25, recipe);
            const double nan = std::nan("");
            for (int a = 0; a < V; ++a) setPair(corr, a, k, nan);
            Matrix reduced(V - 1, V - 1);
            for (int a = 0; a < V - 1; ++a)
                for (int b = 0; b < V - 1; ++b) reduced[a][b] = corr[a + (a >= k)][b + (b >= k)];
            const Outcome want = run(kSweeps[order].literal, V - 1, N, reduced);
            for (Sweep sweep : {kSweeps[order].literal, kSweeps[order].fast}) {
                const Outcome r = run(sweep, V, N, corr);
                for (int a = 0; a < V; ++a)
                    for (int b = a + 1; b < V; ++b) {
                        if (a == k || b == k) {
                            EXPECT_TRUE(std::isnan(r.combined[a][b])) << a << "," << b;
                            continue;
                        }
                        const int ra = a - (a > k), rb = b - (b > k);
                        EXPECT_EQ(bits(r.combined[a][b]), bits(want.combined[ra][rb]))
                            << "order " << order << " N " << N << " pair " << a << "," << b;
                    }
            }
        }
}

TEST(SweepRules, WithoutAPruningThresholdEveryPairGetsTheFullMinimum)
{
    // N <= 3 + order makes the threshold not-a-number: nothing is pruned, and
    // every pair ends with its first coefficient of smallest magnitude.
    std::mt19937_64 gen(21);
    for (int order = 1; order <= 3; ++order)
        for (int N : {3 + order, 1 + order, 0}) {
            ASSERT_TRUE(std::isnan(thresholdFor(N, 1.96, order)));
            for (int round = 0; round < 4; ++round) {
                const int V = 3 + static_cast<int>(gen() % 8);
                Recipe recipe;
                recipe.strength = round % 2 ? 2.0 : 0.4;
                recipe.copies = round == 2;
                recipe.constant = round == 3;
                recipe.integers = round == 1;
                const Matrix corr = realCorrelation(gen, V, 4 + static_cast<int>(gen() % 40), recipe);
                for (Sweep sweep : {kSweeps[order].literal, kSweeps[order].fast}) {
                    const Outcome r = run(sweep, V, N, corr);
                    for (int i = 0; i < V; ++i)
                        for (int j = i + 1; j < V; ++j)
                            EXPECT_EQ(bits(r.combined[i][j]), bits(fullMinimum(corr, V, i, j, order)))
                                << "order " << order << " N " << N << " V " << V << " pair " << i << "," << j;
                }
            }
        }
}

TEST(SweepRules, PrunedPairsStillGetEveryCoefficientOfTheLowerOrders)
{
    // With pruning: a pair that ends at or above the threshold was never
    // skipped and holds its full minimum; a pair whose correlation is already
    // below it is skipped in every pass of the highest order and holds the
    // minimum over the lower orders.
    std::mt19937_64 gen(34);
    for (int order = 1; order <= 3; ++order) {
        int above = 0, below = 0;
        for (int round = 0; round < 12; ++round) {
            const int V = 4 + static_cast<int>(gen() % 9);
            Recipe recipe;
            recipe.strength = 0.3 + 0.3 * (round % 4);
            recipe.copies = round % 5 == 4;
            const Matrix corr = realCorrelation(gen, V, 60, recipe);
            const int N = nearMedianN(corr, V, order);
            const double t = thresholdFor(N, 1.96, order);
            for (Sweep sweep : {kSweeps[order].literal, kSweeps[order].fast}) {
                const Outcome r = run(sweep, V, N, corr);
                for (int i = 0; i < V; ++i)
                    for (int j = i + 1; j < V; ++j) {
                        const double v = r.combined[i][j];
                        if (std::fabs(v) >= t) {
                            ++above;
                            EXPECT_EQ(bits(v), bits(fullMinimum(corr, V, i, j, order)))
                                << "order " << order << " N " << N << " pair " << i << "," << j;
                        }
                        if (std::fabs(corr[i][j]) < t) {
                            ++below;
                            EXPECT_EQ(bits(v), bits(fullMinimum(corr, V, i, j, order - 1)))
                                << "order " << order << " N " << N << " pair " << i << "," << j;
                        }
                        EXPECT_LE(std::fabs(v), std::fabs(corr[i][j])) << "magnitudes never grow";
                    }
            }
        }
        EXPECT_GT(above, 20) << "order " << order;
        EXPECT_GT(below, 20) << "order " << order;
    }
}

// --- the fast sweeps against the literal sweeps ---------------------------------------

TEST(SweepProperty, OffersTiedWithTheStoredValueOrTheThresholdGiveTheLiteralBits)
{
    // Pair (0, 1) holds x; every other variable is a control whose first-order
    // coefficient for the pair is exactly a pivot p (x itself, or the pruning
    // threshold), -p, one step from either, or p / 2: ties of either sign
    // never replace, a step closer to 0 does, and a value one step below the
    // threshold prunes what follows. The fast kernels decide most offers and
    // pruning tests from estimates; here every decision is as close as
    // doubles allow.
    ThreadCount keep;
    std::mt19937_64 gen(4242);
    std::uniform_real_distribution<double> control(0.45, 0.97), small(-0.2, 0.2);
    for (int order = 1; order <= 3; ++order)
        for (int round = 0; round < 48; ++round) {
            const int kind = round % 4;  // 0, 2: no pruning; 1: x at the threshold; 3: x above it
            const int Nprune = 30 + static_cast<int>(gen() % 40);
            const int N = kind % 2 ? Nprune : 3 + order;
            const double t = thresholdFor(N, 1.96, order);
            const double x = kind == 1 ? t : kind == 3 ? 0.6 : 0.3;
            const double p = kind == 3 ? t : x;
            const double down = std::nextafter(p, 0.0), up = std::nextafter(p, 1.0);
            const double targets[] = {p, -p, down, -down, up, -up, std::nextafter(down, 0.0), p / 2};
            const double firsts[] = {down, -down, std::nextafter(down, 0.0)};
            const int choices = kind == 2 ? 2 : kind == 3 ? 8 : 7;
            const int maxControls = order == 3 ? 22 : 40;
            const int C = 1 + static_cast<int>(gen() % maxControls), V = C + 2;
            Matrix corr = uniform(V, 0);
            setPair(corr, 0, 1, x);
            std::vector<double> offered;
            for (int c = 2; c < V; ++c) {
                double a, b, target;
                do {
                    a = control(gen);
                    // Above the threshold, the first offer lands just below it.
                    target = kind == 3 && c == 2 ? firsts[gen() % 3] : targets[gen() % choices];
                    b = controlFor(x, a, target);
                } while (std::isnan(b));
                setPair(corr, 0, c, a);
                setPair(corr, 1, c, b);
                offered.push_back(target);
                for (int d = 2; d < c; ++d) setPair(corr, c, d, round % 3 ? small(gen) : 0.0);
            }
            const Outcome literal = run(kSweeps[order].literal, V, N, corr);
            if (order == 1) {
                // The offers one by one, with the pruning test before each.
                double want = x;
                for (double r : offered) {
                    if (t > std::fabs(want)) break;
                    if (std::fabs(want) > std::fabs(r)) want = r;
                }
                EXPECT_EQ(bits(literal.combined[0][1]), bits(want)) << "round " << round;
            }
            for (int threads : {1, 2}) {
                omp_set_num_threads(threads);
                const Outcome fast = run(kSweeps[order].fast, V, N, corr);
                ASSERT_TRUE(sameUpperTriangle(fast.combined, literal.combined, V))
                    << "order " << order << " round " << round << " V " << V << " N " << N
                    << " threads " << threads;
            }
        }
}

TEST(SweepProperty, FastSweepsGiveTheLiteralBits)
{
    ThreadCount keep;
    std::mt19937_64 gen(20260517);
    const int fixedV[4][10] = {{},
                               {0, 1, 2, 3, 8, 9, 64, 65, 129, 150},
                               {0, 2, 3, 4, 8, 15, 16, 17, 64, 70},
                               {0, 3, 4, 5, 7, 8, 9, 16, 33, 40}};
    const int maxV[4] = {0, 150, 70, 40};
    const int rounds[4] = {0, 200, 160, 120};
    int checked = 0;
    for (int order = 1; order <= 3; ++order)
        for (int round = 0; round < rounds[order]; ++round) {
            const int V = round < 10 ? fixedV[order][round] : static_cast<int>(gen() % (maxV[order] + 1));
            Recipe recipe;
            recipe.strength = round % 3 == 0 ? 0.3 : round % 3 == 1 ? 1.5 : 6.0;
            recipe.copies = round % 4 == 1;
            recipe.constant = round % 5 == 2;
            recipe.integers = round % 7 == 3;
            Matrix corr = realCorrelation(gen, V, 10 + static_cast<int>(gen() % 150), recipe);
            // The pruning threshold: none, a random N, or one among the pairs.
            int N;
            switch (round % 4) {
            case 0: N = 3 + order - static_cast<int>(gen() % 3); break;
            case 1: N = 20 + static_cast<int>(gen() % 181); break;
            default: N = nearMedianN(corr, V, order);
            }
            const double t = thresholdFor(N, 1.96, order);
            // Now and then a few pairs set to exactly the threshold, either
            // sign, or one step beside it; and a few tiny magnitudes.
            if (round % 4 == 3 && V >= 2 && !std::isnan(t))
                for (int n = 0; n < V; ++n) {
                    const int i = static_cast<int>(gen() % V), j = static_cast<int>(gen() % V);
                    if (i == j) continue;
                    const double pick[] = {t, -t, std::nextafter(t, 0.0), std::nextafter(t, 1.0),
                                           1e-300, -0.0, 5e-324, 1e-160};
                    setPair(corr, i, j, pick[gen() % 8]);
                }
            const Outcome literal = run(kSweeps[order].literal, V, N, corr);
            const std::string lines = withoutTimes(literal.progress);
            EXPECT_EQ(lines, expectedLines(order, V));
            forEachIsa([&](const std::string& isa) {
                for (int threads : {1, 2}) {
                    omp_set_num_threads(threads);
                    const Outcome fast = run(kSweeps[order].fast, V, N, corr);
                    const std::string what = "order " + std::to_string(order) + " round " +
                                             std::to_string(round) + " V " + std::to_string(V) +
                                             " N " + std::to_string(N) + " " + isa + " threads " +
                                             std::to_string(threads);
                    ASSERT_TRUE(sameUpperTriangle(fast.combined, literal.combined, V)) << what;
                    EXPECT_EQ(withoutTimes(fast.progress), lines) << what;
                    ++checked;
                }
            });
        }
    int isas = 0;
    forEachIsa([&](const std::string&) { ++isas; });
    EXPECT_EQ(checked, 2 * isas * (200 + 160 + 120));
}

// --- the fast sweeps on random correlations, threads, windows and row ranges ---------

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
            const Outcome literal = run(kSweeps[c.order].literal, V, N, corr);
            for (int threads : {1, 2}) {
                omp_set_num_threads(threads);
                const Outcome fast = run(kSweeps[c.order].fast, V, N, corr);
                const std::string what = "order " + std::to_string(c.order) + " V " +
                                         std::to_string(V) + " N " + std::to_string(N) +
                                         " threads " + std::to_string(threads);
                ASSERT_TRUE(sameUpperTriangle(fast.combined, literal.combined, V)) << what;
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
        for (Sweep sweep : {kSweeps[order].literal, kSweeps[order].fast}) {
            const Outcome r = run(sweep, V, 200, corr);
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
        for (Sweep sweep : {kSweeps[order].literal, kSweeps[order].fast}) {
            const double at = run(sweep, V, N, corr).combined[0][1];
            if (order == 1) {
                EXPECT_LT(std::fabs(at), t) << "a pair at the threshold is refined";
            }
        }
        // Just below the threshold the pair keeps its correlation at order 1.
        corr[0][1] = corr[1][0] = std::nextafter(t, 0.0);
        if (order == 1) {
            for (Sweep sweep : {kSweeps[order].literal, kSweeps[order].fast})
                EXPECT_EQ(run(sweep, V, N, corr).combined[0][1], corr[0][1]);
        }
    }
    // Equal magnitude of opposite sign: with x = 0 and a = b = 0.6 the offer is
    // r = -a^2 / (1 - a^2); a stored -r keeps its value and sign.
    const double a = 0.6, r = partialStep(0, a, a);
    const std::vector<double> A(8, a), B(8, a);
    for (int width : {1, 4, 8}) {
        if (width > widestIsa().width) continue;
        EXPECT_EQ(offerPanel(Isa{width, false}, -r, 0, A.data(), B.data(), {}, {}, 1, -1, -1, 0.0), -r);
    }
}

TEST(Sweeps, DegenerateCoefficientsNeverReplace)
{
    // Variable 2 correlates perfectly with variable 0; variable 3 has no variance.
    const double nan = std::nan("");
    Matrix corr = {{1, 0.4, 1, nan}, {0.4, 1, 0.4, nan}, {1, 0.4, 1, nan}, {nan, nan, nan, nan}};
    for (int order = 1; order <= 3; ++order)
        for (Sweep sweep : {kSweeps[order].literal, kSweeps[order].fast}) {
            const Outcome r = run(sweep, 4, 100, corr);
            EXPECT_TRUE(std::isnan(r.combined[0][3])) << "a not-a-number correlation stays";
            EXPECT_TRUE(std::isnan(r.combined[2][3]));
            EXPECT_EQ(r.combined[0][1], 0.4) << "order " << order;
        }
    // V = 2: nothing to control for.
    Matrix two = {{1, -0.3}, {-0.3, 1}};
    for (int order = 1; order <= 3; ++order)
        EXPECT_EQ(run(kSweeps[order].fast, 2, 100, two).combined[0][1], -0.3);
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
            const Outcome one = run(kSweeps[c.order].fast, c.V, c.N, corr);
            omp_set_num_threads(2);
            const Outcome two = run(kSweeps[c.order].fast, c.V, c.N, corr);
            ASSERT_TRUE(sameUpperTriangle(one.combined, two.combined, c.V))
                << what + " " + isa + " threads";
            if (first.rows() == 0) first = one.combined;
            ASSERT_TRUE(sameUpperTriangle(one.combined, first, c.V)) << what + " " + isa;
        });
        if (c.literal) {
            ASSERT_TRUE(sameUpperTriangle(first, run(kSweeps[c.order].literal, c.V, c.N, corr).combined,
                                          c.V))
                << what + " literal";
        }
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
    const Outcome literal = run(kSweeps[3].literal, V, N, corr);
    for (const int window : {kThirdOrderBatch, kThirdOrderWindow})
        for (const int threads : {1, 2}) {
            omp_set_num_threads(threads);
            Matrix store = corr;
            Progress p;
            getPartCorrMat3Windows(V, N, 1.96, store, PairRows{0, V}, window, p);
            const std::string what =
                "window " + std::to_string(window) + " threads " + std::to_string(threads);
            ASSERT_TRUE(sameUpperTriangle(store, literal.combined, V)) << what;
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
        ASSERT_TRUE(sameUpperTriangle(split, whole, c.V)) << what + " in ranges";
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
        kSweeps[order].fast(V, 60, 1.96, combined, corr, p);
        EXPECT_TRUE(onCaller) << "order " << order;
        ASSERT_GT(calls, 2) << "order " << order;
        for (Sweep sweep : {kSweeps[order].fast, kSweeps[order].literal}) {
            stopAt = sweep == kSweeps[order].fast ? calls / 2 : 1;
            calls = 0;
            EXPECT_THROW(sweep(V, 60, 1.96, combined, corr, p), Stop) << "order " << order;
            EXPECT_EQ(calls, stopAt) << "order " << order;
        }
    }
}

// The run kernels of the sweeps (a run over the lanes of panel rows, the
// first-order offers of a row's pruned pairs and the offers of an open pair
// over a batch of first controlling variables) against the literal offers,
// for every instruction set of their lane tests that this processor has.
#include "batch_offers.h"
#include "panel_runs.h"
#include "sweep.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cmath>
#include <algorithm>
#include <limits>
#include <random>
#include <utility>
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

// Every instruction set this processor has: each width, AVX2 and the widest
// also with their fixed-point tests.
std::vector<Isa> everyIsa()
{
    const Isa widest = widestIsa();
    std::vector<Isa> all;
    for (int width : {1, 4, 8})
        if (width <= widest.width) all.push_back(Isa{width, false});
    if (widest.width >= 4) all.push_back(Isa{4, true});
    if (widest.width == 8 && widest.fixedPoint) all.push_back(widest);
    return all;
}

// The panel run with every instruction set, on rows A and B (resized here to
// be readable a whole vector past n), with their fixed-point rows where the
// instruction set reads them, each without and with the rows' peaks.
std::vector<double> panelForms(double v0, double x, std::vector<double> A, std::vector<double> B,
                               int n, int skip1, int skip2, double threshold)
{
    A.resize((n + 7) / 8 * 8, 0.5);
    B.resize(A.size(), -0.5);
    const int rest = (n + 63) / 64 * 64;
    std::vector<std::int16_t> Aq(2 * rest, 7), Bq(2 * rest, -7);
    const bool aboveA = fixedPanelRow(widestIsa(), A.data(), n, Aq.data(), rest);
    const bool above = fixedPanelRow(widestIsa(), B.data(), n, Bq.data(), rest) && aboveA;
    const FixedRows fq = above ? FixedRows{} : FixedRows{Aq.data(), Bq.data(), rest};
    std::vector<double> peaksA(rest / 64), peaksB(rest / 64);
    stretchPeaks(A.data(), n, skip1, peaksA.data());
    stretchPeaks(B.data(), n, skip2, peaksB.data());
    std::vector<double> got;
    for (const Isa isa : everyIsa())
        for (const Peaks peaks : {Peaks{}, Peaks{peaksA.data(), peaksB.data()}})
            got.push_back(offerPanel(isa, v0, x, A.data(), B.data(), isa.fixedPoint ? fq : FixedRows{},
                                     peaks, n, skip1, skip2, threshold));
    return got;
}

// The first-order coefficients given c of every pair of corr, as the
// third-order sweep forms them before taking them in place of the
// correlation: magnitudes above 1, infinities and not-a-number wherever corr
// is not a correlation matrix or c copies a variable; the cells of c and the
// diagonal 0.
Matrix firstOrderGiven(const Matrix& corr, int c)
{
    const int V = static_cast<int>(corr.rows());
    Matrix F(V, V, 0.0);
    for (int a = 0; a < V; ++a)
        for (int b = a + 1; b < V; ++b)
            if (a != c && b != c) F[a][b] = F[b][a] = partialStep(corr[a][b], corr[a][c], corr[b][c]);
    return F;
}

}  // namespace

TEST(OfferRun, EveryWidthGivesTheLiteralBits)
{
    std::mt19937_64 gen(7);
    std::uniform_real_distribution<double> coef(-1, 1), small(-0.3, 0.3);
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
        // A pair's first run: its value still its correlation.
        double v0 = round % 17 == 0 ? nan : round % 6 == 2 ? x : coef(gen);
        double threshold = round % 4 == 0 ? nan : std::fabs(small(gen));
        const int w0 = static_cast<int>(gen() % n), i = static_cast<int>(gen() % (n + 2)) - 1,
                  j = static_cast<int>(gen() % (n + 2)) - 1;
        // Stored values tied with the smallest offer, or within a few units
        // of the last place of it, or just outside the block test's margin;
        // no pruning then, so the decision on that lane is the result.
        if (round % 3 == 1) {
            double least = nan;
            for (int w = 0; w < n; ++w) {
                const double r = partialStep(x, A[w], B[w]);
                if (w != i && w != j && std::isfinite(r) && !(std::fabs(r) >= std::fabs(least))) least = r;
            }
            const double nudge[] = {0, 0x1p-52, -0x1p-52, 0x1p-50, -0x1p-50, 0x1p-31, 0x1p-29, -0x1p-29};
            if (!std::isnan(least)) v0 = least * (1 + nudge[gen() % 8]);
            threshold = nan;
        }
        // Panel rows: every lane from 0, or from w0 (lanes of i and j then
        // shifted, or outside the run); read up to a whole vector past n.
        const double wantPanel = literalRun(v0, x, A.data(), B.data(), 0, n, i, j, threshold);
        for (const double panel : panelForms(v0, x, A, B, n, i, j, threshold))
            ASSERT_EQ(std::bit_cast<unsigned long long>(panel), std::bit_cast<unsigned long long>(wantPanel))
                << "panel, round " << round;
        const double want = literalRun(v0, x, A.data(), B.data(), w0, n, i, j, threshold);
        const std::vector<double> tailA(A.begin() + w0, A.end()), tailB(B.begin() + w0, B.end());
        for (const double got : panelForms(v0, x, tailA, tailB, n - w0, i - w0, j - w0, threshold)) {
            ASSERT_EQ(std::bit_cast<unsigned long long>(got), std::bit_cast<unsigned long long>(want))
                << "panel from " << w0 << ", round " << round;
            ++checked;
        }
    }
    EXPECT_GT(checked, 4000);
}

// Panel runs decide whole stretches of lanes against the value each stretch
// starts with: of equal magnitudes (opposite signs, or a lane equal to the
// stored value) the first must still stay, and the first lane below the
// threshold must end the run even when smaller offers follow it.
TEST(OfferRun, PanelRunsKeepTheFirstOfEqualMagnitudes)
{
    const int n = 100;
    const double mirrored = 0.3 * 0.5 / std::sqrt((1 - 0.3 * 0.3) * (1 - 0.5 * 0.5));
    for (int tie = 0; tie < 4; ++tie) {
        for (int at : {3, 40, 63, 64, 90}) {
            // Every lane offers -0.5625 (x = 0, a = b = 0.6), far below v0.
            std::vector<double> A(104, 0.6), B(104, 0.6);
            A[at] = 0.3, B[at] = 0.5;                  // -mirrored
            A[at + 1] = -0.3, B[at + 1] = 0.5;         // +mirrored
            if (tie >= 2) A[at + 5] = 0.3, B[at + 5] = 0.5;  // -mirrored again
            if (tie == 3) A[at + 3] = 0.1, B[at + 3] = 0.1;  // smaller still
            const double v0 = tie == 1 ? mirrored : 0.9;
            const double threshold = tie == 3 ? 0.5 : std::nan("");
            const double want = literalRun(v0, 0, A.data(), B.data(), 0, n, -1, -1, threshold);
            for (const double got : panelForms(v0, 0, A, B, n, -1, -1, threshold))
                EXPECT_EQ(std::bit_cast<unsigned long long>(got),
                          std::bit_cast<unsigned long long>(want))
                    << "tie " << tie << " at " << at;
        }
    }
}

// Offers a hair below the stored value, from coefficients that sit half a
// unit of 2^-15 from a multiple of it, where rounding to fixed point errs the
// most: every such offer must replace.
TEST(OfferRun, PanelOffersJustBelowTheStoredValueReplaceWhateverTheirRounding)
{
    std::mt19937_64 gen(5);
    std::uniform_int_distribution<int> unit(-30000, 30000);
    std::uniform_real_distribution<double> jitter(-0x1p-22, 0x1p-22);
    auto halfUnit = [&] { return (unit(gen) + 0.5) * 0x1p-15 + jitter(gen); };
    for (int round = 0; round < 20000; ++round) {
        const double x = halfUnit(), a = halfUnit(), b = halfUnit();
        const double r = partialStep(x, a, b);
        if (!(std::fabs(r) < 0.99)) continue;
        // Lanes other than 5 offer x itself, not below the stored value.
        std::vector<double> A(64, 0.0), B(64, 0.0);
        A[5] = a, B[5] = b;
        const double v0 = std::copysign(std::fabs(r) * (1 + 0x1p-40), r);
        if (std::fabs(x) < std::fabs(v0)) continue;
        for (const double got : panelForms(v0, x, A, B, 64, -1, -1, std::nan("")))
            ASSERT_EQ(got, r) << "round " << round;
    }
}

// A stretch is passed over when its peaks show that no coefficient in it can
// replace: a lane with a = b at the peak and x of that sign offers exactly
// the bound (x - a^2) / (1 - a^2), so stored values and thresholds a few
// units of the last place on either side of it must still be decided by the
// lane itself.
TEST(OfferRun, PanelRunsPassOverOnlyStretchesThatCannotReplace)
{
    std::mt19937_64 gen(11);
    std::uniform_real_distribution<double> unit(0, 1);
    const double nudge[] = {0, 0x1p-52, -0x1p-52, 0x1p-45, -0x1p-45, 0x1p-30, -0x1p-30, 0x1p-20};
    int decided = 0;
    for (int round = 0; round < 20000; ++round) {
        const int n = 64 + static_cast<int>(gen() % 100), at = static_cast<int>(gen() % n);
        const double peak = unit(gen) * (round % 5 ? 1 : 0x1p-10);
        const double x = (round % 2 ? 1 : -1) * (peak * peak + (1 - peak * peak) * unit(gen));
        const double a = round % 2 ? peak : -peak, r = partialStep(x, a, a);
        // Every other lane below the peak in magnitude, offering more than r.
        std::vector<double> A(n), B(n);
        for (int w = 0; w < n; ++w) {
            A[w] = peak * unit(gen) * 0.5;
            B[w] = -peak * unit(gen) * 0.5;
        }
        A[at] = B[at] = a;
        const double m = std::fabs(r) * (1 + nudge[gen() % 8]);
        const bool firstRun = round % 3 == 0;
        // A first run looks for a lane below the threshold; a later one for
        // one below its stored value.
        const double v0 = firstRun ? x : std::copysign(m, x);
        const double threshold = firstRun ? m : std::nan("");
        const double want = literalRun(v0, x, A.data(), B.data(), 0, n, -1, -1, threshold);
        decided += want != v0;
        for (const double got : panelForms(v0, x, A, B, n, -1, -1, threshold))
            ASSERT_EQ(std::bit_cast<unsigned long long>(got), std::bit_cast<unsigned long long>(want))
                << "round " << round << ", peak " << peak << ", x " << x;
    }
    EXPECT_GT(decided, 5000);
}

TEST(OfferRun, FixedPanelRowsHoldEachLaneAndItsRestInUnits)
{
    std::mt19937_64 gen(3);
    std::uniform_real_distribution<double> coef(-1, 1);
    std::vector<double> row(45);
    for (double& a : row) a = coef(gen);
    const double edges[] = {1, -1, std::nextafter(1.0, 2.0), -1.5, std::nan(""), 0, -0.0,
                            0.5 + 0x1p-16, -(0.5 + 0x1p-16), 0x1p-16, 1 - 0x1p-17};
    std::copy(std::begin(edges), std::end(edges), row.begin() + 3);
    for (const Isa isa : everyIsa())
        for (int n : {45, 7, 16}) {
            const int rest = 64;
            std::vector<std::int16_t> out(2 * rest, 99);
            const bool above = fixedPanelRow(isa, row.data(), n, out.data(), rest);
            bool wantAbove = false;
            for (int k = 0; k < n; ++k) {
                const double a = row[k];
                const bool fits = std::fabs(a) <= 1;
                wantAbove |= std::fabs(a) > 1;
                auto units = [](double u) { return std::min(std::lrint(u * 0x1p15), 32767L); };
                EXPECT_EQ(out[k], fits ? units(a) : 0) << "lane " << k << " of " << n;
                EXPECT_EQ(out[rest + k], fits ? units(std::sqrt(1 - a * a)) : 0)
                    << "lane " << k << " of " << n;
            }
            EXPECT_EQ(above, wantAbove) << n;
            EXPECT_EQ(out[n], 99);
        }
}

TEST(OfferRun, PanelPairPrunedByTheLastLaneOfAStretchTakesNoMoreOffers)
{
    // Lanes 0..62 offer 0.31 (sure not to replace 0.3), lane 63 offers 1/15,
    // below the threshold; lanes 64..99 offer 0.
    std::vector<double> A(104, 0.5), B(104, 0.6);
    for (int w = 0; w < 63; ++w) A[w] = 0.1, B[w] = -0.1;
    B[63] = 0.5;
    const double want = partialStep(0.3, 0.5, 0.5);
    for (const double got : panelForms(0.3, 0.3, A, B, 100, -1, -1, 0.2)) EXPECT_EQ(got, want);
}

TEST(OfferRun, StoredValueEqualToTheThresholdIsRefined)
{
    const double threshold = thresholdFor(128, 1.96, 1);
    std::vector<double> A(16, 0.5), B(16, 0.5);
    // Each offer is (x - 0.25) / 0.75, far below the threshold.
    for (const double got : panelForms(threshold, 0.3, A, B, 16, -1, -1, threshold))
        EXPECT_EQ(got, (0.3 - 0.25) / std::sqrt(0.75 * 0.75));
    const double below = std::nextafter(threshold, 0.0);
    for (const double got : panelForms(below, 0.3, A, B, 16, -1, -1, threshold)) EXPECT_EQ(got, below);
}

TEST(OfferFirstOrder, EveryWidthGivesTheLiteralOffersAndListsTheOpenPairs)
{
    std::mt19937_64 gen(11);
    std::uniform_real_distribution<double> coef(-1, 1);
    const double nan = std::nan("");
    int nearKept = 0, nearReplaced = 0;
    for (int round = 0; round < 400; ++round) {
        const int V = 2 + static_cast<int>(gen() % (round % 2 ? 60 : 150));
        // Weak correlations: coefficients within a few units of 2^-14 of
        // their numerators, the margin of the fixed-point test.
        const bool weak = round % 8 == 3;
        Matrix corr(V, V);
        for (int a = 0; a < V; ++a) {
            corr[a][a] = 1;
            for (int b = a + 1; b < V; ++b)
                corr[a][b] = corr[b][a] = round % 9 == 0 && b == 1 ? nan : (weak ? 0.06 : 1) * coef(gen);
        }
        if (round % 11 == 0 && V > 3) corr[2][3] = corr[3][2] = 1;  // |a| = 1 for c = 2 or 3
        if (round % 10 == 7) corr = firstOrderGiven(corr, static_cast<int>(gen() % V));
        const int i = static_cast<int>(gen() % V), c0 = static_cast<int>(gen() % V);
        const int c1 = std::min(V, c0 + 1 + static_cast<int>(gen() % (round % 3 ? 8 : 40)));
        double threshold = round % 5 == 0 ? nan : 0.1 + 0.3 * std::fabs(coef(gen));
        std::vector<double> start(V);
        for (double& v : start) v = round % 3 ? 0.5 * coef(gen) : coef(gen);
        // Now and then stored values at or just above the smallest offer of
        // their pair, every pair pruned: the closest decisions.
        if (round % 4 == 2) {
            threshold = 2;
            for (int j = i + 1; j < V; ++j) {
                double m = std::numeric_limits<double>::infinity();
                for (int c = c0; c < c1; ++c)
                    if (c != i && c != j) m = std::fmin(m, std::fabs(partialStep(corr[i][j], corr[i][c], corr[j][c])));
                if (!std::isfinite(m)) continue;
                const double near[] = {m, -m, m * (1 + 0x1p-12), -m * (1 + 0x1p-9), std::nextafter(m, 2.0)};
                start[j] = near[gen() % 5];
            }
        }
        // Or stored values within a few units of 2^-14 of the numerator
        // x - a * b of one offer, every pair pruned.
        if (weak) {
            threshold = 2;
            for (int j = i + 1; j < V; ++j) {
                const int c = c0 + static_cast<int>(gen() % (c1 - c0));
                if (c == i || c == j) continue;
                const double num = corr[i][j] - corr[i][c] * corr[j][c];
                const double v = std::fabs(num) + static_cast<int>(gen() % 17 - 6) * 0x1p-16;
                start[j] = gen() % 2 ? v : -v;
            }
        }
        // A pair left out, now and then one of those the row holds.
        const int skip = round % 3 == 1 ? i + 1 + static_cast<int>(gen() % V) : -1;
        // The literal offers: per pruned pair, each c in order.
        std::vector<double> want = start;
        std::vector<int> wantOpen;
        for (int j = i + 1; j < V; ++j) {
            if (j == skip) continue;
            if (!pruned(want[j], threshold)) {
                wantOpen.push_back(j);
                continue;
            }
            for (int c = c0; c < c1; ++c)
                if (c != i && c != j) offer(want[j], partialStep(corr[i][j], corr[i][c], corr[j][c]));
            if (weak) (want[j] == start[j] ? nearKept : nearReplaced) += 1;
        }
        const CorrRows rows{&corr, nullptr, V};
        BatchRows batch;
        SingleRows scratch;
        for (const Isa isa : everyIsa()) {
            prepareBatch(isa, V, rows, c0, c1, batch);
            std::vector<double> row = start;
            std::vector<int> open;
            scratch.forget();
            offerFirstOrder(isa, row.data(), rows, batch, scratch, i, i + 1, V, skip, threshold, open);
            EXPECT_EQ(open, wantOpen) << "width " << isa.width << " round " << round;
            for (int j = i + 1; j < V; ++j)
                ASSERT_EQ(std::bit_cast<unsigned long long>(row[j]),
                          std::bit_cast<unsigned long long>(want[j]))
                    << "width " << isa.width << " fixed point " << isa.fixedPoint << " round " << round
                    << " j " << j;
        }
    }
    EXPECT_GT(nearKept, 60);
    EXPECT_GT(nearReplaced, 60);
}

namespace {

// The first-order coefficient of {a, b} given c as the literal sweep forms it.
double firstOrder(const Matrix& corr, int a, int b, int c)
{
    if (a > b) std::swap(a, b);
    return partialStep(corr[a][b], corr[a][c], corr[b][c]);
}

// A correlation matrix of V variables from N random observations driven by a
// few shared factors; with `degenerate`, variable 1 copies variable 0 and the
// last one is constant.
Matrix sampleCorrelation(std::mt19937_64& gen, int V, int N, double strength, bool degenerate)
{
    std::normal_distribution<double> normal;
    Matrix obs(N, V, 0.0);
    std::vector<double> load(3 * V);
    for (double& l : load) l = strength * normal(gen);
    for (int k = 0; k < N; ++k) {
        const double f[3] = {normal(gen), normal(gen), normal(gen)};
        for (int a = 0; a < V; ++a)
            obs[k][a] = normal(gen) + load[3 * a] * f[0] + load[3 * a + 1] * f[1] + load[3 * a + 2] * f[2];
        if (degenerate && V >= 4) {
            obs[k][1] = obs[k][0];
            obs[k][V - 1] = 2;
        }
    }
    Matrix corr(V, V);
    std::vector<double> means(V, 0.0);
    getCorrStore(V, N, corr, obs, means);
    for (int a = 0; a < V; ++a)
        for (int b = a + 1; b < V; ++b) corr[a][b] = corr[b][a];
    return corr;
}

}  // namespace

TEST(OfferSecondOrder, EveryWidthGivesTheLiteralOffersOfAPairOverABatch)
{
    // Pairs with c in a batch: the first-order offer, then while not pruned
    // the second-order ones given (c, w), w > c. Rows long enough for whole
    // and partial stretches of 64 lanes; stored values that tie an offer.
    std::mt19937_64 gen(23);
    const double nan = std::nan("");
    int checked = 0, replaced = 0;
    for (int round = 0; round < 240; ++round) {
        const int V = 3 + static_cast<int>(gen() % (round % 2 ? 40 : 200));
        const double strength = round % 3 == 0 ? 0.3 : round % 3 == 1 ? 1.0 : 3.0;
        const Matrix sample = sampleCorrelation(gen, V, 8 + static_cast<int>(gen() % 120), strength,
                                                round % 4 == 1);
        // Now and then first-order coefficients in place of the correlation.
        const Matrix corr = round % 6 == 5 ? firstOrderGiven(sample, static_cast<int>(gen() % V)) : sample;
        const int c0 = static_cast<int>(gen() % V);
        const int c1 = std::min(V, c0 + 1 + static_cast<int>(gen() % 33));
        int i = static_cast<int>(gen() % V), j = static_cast<int>(gen() % V);
        if (i == j) j = (i + 1) % V;
        if (i > j) std::swap(i, j);
        double threshold = round % 5 == 0 ? nan : 0.05 + 0.25 * (gen() % 1000) / 1000.0;
        double v0 = corr[i][j];
        if (round % 7 == 3) v0 = nan;
        // Now and then a stored value at or just above the smallest offer of
        // the batch, with no pruning: the closest decisions.
        if (round % 3 == 2) {
            double m = std::numeric_limits<double>::infinity();
            for (int c = c0; c < c1; ++c) {
                if (c == i || c == j) continue;
                const double x = firstOrder(corr, i, j, c);
                for (int w = c + 1; w < V; ++w)
                    if (w != i && w != j)
                        m = std::fmin(m, std::fabs(partialStep(x, firstOrder(corr, i, w, c), firstOrder(corr, j, w, c))));
            }
            if (std::isfinite(m)) {
                const double near[] = {m, -m, m * (1 + 0x1p-12), -m * (1 + 0x1p-9), std::nextafter(m, 2.0)};
                v0 = near[gen() % 5];
                threshold = nan;
            }
        }
        double want = v0;
        for (int c = c0; c < c1; ++c) {
            if (c == i || c == j) continue;
            const double x = firstOrder(corr, i, j, c);
            offer(want, x);
            for (int w = c + 1; w < V; ++w) {
                if (w == i || w == j) continue;
                if (pruned(want, threshold)) break;
                offer(want, partialStep(x, firstOrder(corr, i, w, c), firstOrder(corr, j, w, c)));
            }
        }
        const CorrRows rows{&corr, nullptr, V};
        BatchRows batch;
        SingleRows scratch;
        // Each instruction set without and with the peaks of i and j.
        for (const Isa isa : everyIsa())
            for (const bool peaks : {false, true}) {
                prepareBatch(isa, V, rows, c0, c1, batch);
                sizeBatchPeaks(isa, V, batch);
                for (const int r : {i, j})
                    if (peaks) prepareBatchPeaks(V, rows, r, batch);
                    else batch.peaksOf[r] = -1;
                scratch.forget();
                const double got = offerSecondOrder(isa, v0, rows, batch, scratch, i, j, threshold);
                ASSERT_EQ(std::bit_cast<unsigned long long>(got), std::bit_cast<unsigned long long>(want))
                    << "width " << isa.width << (peaks ? " with peaks" : "") << " round " << round
                    << " V " << V << " pair " << i << "," << j;
                ++checked;
            }
        replaced += std::bit_cast<unsigned long long>(want) != std::bit_cast<unsigned long long>(v0);
    }
    EXPECT_GT(checked, 240);
    EXPECT_GT(replaced, 60);
}

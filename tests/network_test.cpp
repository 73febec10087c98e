// network(): every layout of the caller's matrix gives the same bits, the
// missing-value policies and the refusals say what they drop or why, a run
// can be cancelled, and two runs at once on two threads do not disturb each
// other.
#include "assocnet/assocnet.h"
#include "matrix.h"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace {

const assocnet::Table& example()
{
    static const assocnet::Table t = assocnet::readTable(ASSOCNET_SOURCE_DIR "/examples/data.txt");
    return t;
}

assocnet::Options optionsOf(int order, assocnet::Method method = assocnet::Method::pearson)
{
    assocnet::Options o;
    o.order = order;
    o.method = method;
    o.coefficients = true;
    return o;
}

// The edges and coefficients of two results, bit for bit.
void expectSameBits(const assocnet::Result& a, const assocnet::Result& b)
{
    ASSERT_EQ(a.genes, b.genes);
    ASSERT_EQ(a.edges.size(), b.edges.size());
    for (size_t k = 0; k < a.edges.size(); ++k) {
        const assocnet::Edge &x = a.edges[k], &y = b.edges[k];
        EXPECT_TRUE(x.i == y.i && x.j == y.j && x.level == y.level) << k;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(x.r), std::bit_cast<std::uint64_t>(y.r)) << k;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(x.p), std::bit_cast<std::uint64_t>(y.p)) << k;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(x.q), std::bit_cast<std::uint64_t>(y.q)) << k;
    }
    ASSERT_EQ(a.coefficients.size(), b.coefficients.size());
    const long V = a.coefficients.size();
    for (long i = 0; i < V; ++i)
        for (long j = 0; j < V; ++j)
            EXPECT_EQ(std::bit_cast<std::uint64_t>(a.coefficients.at(i, j)),
                      std::bit_cast<std::uint64_t>(b.coefficients.at(i, j)));
}

std::string errorOf(const assocnet::Data& d, const assocnet::Options& o)
{
    try {
        assocnet::network(d, o);
    } catch (const assocnet::Error& e) {
        return e.what();
    }
    return "";
}

TEST(Network, EveryLayoutOfTheMatrixGivesTheSameBits)
{
    const assocnet::Table& t = example();
    const long G = static_cast<long>(t.genes.size()), S = static_cast<long>(t.samples.size());
    std::vector<double> transposed(t.values.size());
    for (long g = 0; g < G; ++g)
        for (long s = 0; s < S; ++s) transposed[s * G + g] = t.values[g * S + s];
    for (int order = 0; order <= 3; ++order) {
        const assocnet::Result byGene = assocnet::network(t.data(), optionsOf(order));
        assocnet::Data bySample = assocnet::Data::samplesInRows(transposed.data(), S, G);
        bySample.geneNames = t.genes;
        expectSameBits(byGene, assocnet::network(bySample, optionsOf(order)));
        EXPECT_GT(byGene.edges.size(), 10u);
        // The kept coefficient of every edge is the one the matrix holds.
        for (const assocnet::Edge& e : byGene.edges)
            EXPECT_EQ(e.r, byGene.coefficients.at(e.j, e.i));
        EXPECT_EQ(byGene.coefficients.at(3, 3), 1.0);
    }
}

TEST(Network, MissingValuesAreRefusedOrDroppedAsAsked)
{
    const assocnet::Table& t = example();
    const long S = static_cast<long>(t.samples.size());
    std::vector<double> values = t.values;
    values[2 * S + 5] = std::nan("");  // gene 2, sample 5
    values[7 * S + 5] = std::nan("");  // gene 7, sample 5
    assocnet::Data d = t.data();
    d.values = values.data();
    d.source = "data.txt";
    assocnet::Options o = optionsOf(1);
    EXPECT_EQ(errorOf(d, o), "data.txt: 2 missing values (not a number); the first is gene \"" +
                                 t.genes[2] + "\", sample \"" + t.samples[5] +
                                 "\"; drop the genes or the samples that hold them")
        << "the source is named as given";

    o.missing = assocnet::Missing::dropGenes;
    const assocnet::Result genes = assocnet::network(d, o);
    ASSERT_EQ(genes.genes.size(), t.genes.size() - 2);
    ASSERT_EQ(genes.droppedGenes.size(), 2u);
    EXPECT_EQ(genes.droppedGenes[1].name, t.genes[7]);
    EXPECT_EQ(genes.dropped.front(), "2 genes with missing values: " + t.genes[2] + ", " + t.genes[7]);

    o.missing = assocnet::Missing::dropSamples;
    const assocnet::Result samples = assocnet::network(d, o);
    EXPECT_EQ(samples.samples.size(), t.samples.size() - 1);
    EXPECT_EQ(samples.droppedSamples, std::vector<std::string>{t.samples[5]});

    values[7 * S + 5] = INFINITY;
    EXPECT_NE(errorOf(d, o).find("sample \"" + t.samples[5] + "\": the value is infinite"), std::string::npos);
}

TEST(Network, TooFewSamplesAndNoVarianceAreSaid)
{
    // Three genes, the last constant.
    std::vector<double> v = {1, 2, 3, 4, 5, 2, 1, 4, 3, 5, 7, 7, 7, 7, 7};
    assocnet::Data d = assocnet::Data::genesInRows(v.data(), 3, 5);
    assocnet::Options o = optionsOf(1);
    for (long samples : {0L, 1L, 4L}) {
        d.samples = samples;
        const std::string n = std::to_string(samples);
        EXPECT_EQ(errorOf(d, o), n + (samples == 1 ? " sample is" : " samples are") +
                                     " too few for order 1: it needs at least 5");
    }
    d.samples = 5;
    d.geneNames = {"A", "B", "C"};
    std::vector<std::string> warnings;
    assocnet::Callbacks c;
    c.warning = [&](std::string_view w) { warnings.emplace_back(w); };
    o.order = 0;
    const assocnet::Result dropped = assocnet::network(d, o, c);
    EXPECT_EQ(dropped.genes, (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(warnings, std::vector<std::string>{"dropped 1 constant gene (variance 0): C"});
    o.profile = "pearson0th";
    const assocnet::Result kept = assocnet::network(d, o, c);
    EXPECT_EQ(kept.genes.size(), 3u);
    EXPECT_TRUE(std::isnan(kept.coefficients.at(0, 2)));
    d.geneNames = {"A", "A", "C"};
    d.values = v.data();
    o.profile.clear();
    EXPECT_EQ(assocnet::network(d, o).genes, (std::vector<std::string>{"A", "A.1"}));
}

TEST(Network, ValuesTheCovarianceCannotCarryAreRefusedUnlessRankedOrUnderAProfile)
{
    std::vector<double> v = {1, 2, 3, 4, 5, 2e200, 1e200, 4e200, 3e200, 5e200, 1, 3, 2, NAN, 4};
    assocnet::Data d = assocnet::Data::genesInRows(v.data(), 3, 5);
    d.geneNames = {"A", "B", "C"};
    assocnet::Options o = optionsOf(0);
    o.missing = assocnet::Missing::dropSamples;  // the sample of the NaN is no part of the check
    EXPECT_EQ(errorOf(d, o), "gene \"B\" has values from 1e+200 to 5e+200: products of such values "
                             "overflow a double in the covariance; divide the values by a power of "
                             "ten, or use --method spearman");
    // Ranks have no such products: the bits of the values without the scale.
    o.method = assocnet::Method::spearman;
    const assocnet::Result ranked = assocnet::network(d, o);
    std::vector<double> unscaled = v;
    for (int s = 5; s < 10; ++s) unscaled[s] /= 1e200;
    expectSameBits(ranked, assocnet::network(assocnet::Data{unscaled.data(), 3, 5, 5, 1, d.geneNames, {}, ""}, o));
    // Under a program's profile, only said.
    std::vector<std::string> warnings;
    assocnet::Callbacks c;
    c.warning = [&](std::string_view w) { warnings.emplace_back(w); };
    o.method = assocnet::Method::pearson;
    o.profile = "pearson0th";
    assocnet::network(d, o, c);
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_EQ(warnings[1].substr(warnings[1].size() - 32), "; kept, as pearson0th keeps them");
}

TEST(Network, LevelsAreCheckedAndSortedLoosestFirst)
{
    assocnet::Options o;
    o.alpha = {0.001, 0.01};
    const std::vector<assocnet::Level> levels = assocnet::levelsOf(o);
    ASSERT_EQ(levels.size(), 2u);
    EXPECT_EQ(levels[0].name, "0.01");
    EXPECT_NEAR(levels[0].z, 2.5758293035489004, 1e-15);
    o.fdr = true;
    EXPECT_EQ(assocnet::levelsOf(o)[1].name, "q0.001");
    for (const std::vector<double>& bad : {std::vector<double>{0}, {1.5}, {0.01, 0.01}, {}}) {
        o.alpha = bad;
        EXPECT_THROW(assocnet::levelsOf(o), assocnet::Error);
    }
    o.fdr = false;
    o.alpha = {0.1};
    EXPECT_THROW(assocnet::levelsOf(o), assocnet::Error) << "looser than the pruning level";
    o.order = 0;
    EXPECT_NO_THROW(assocnet::levelsOf(o));
}

TEST(Network, ACancelledRunThrowsCancelled)
{
    std::atomic<bool> cancel{false};
    assocnet::Callbacks c;
    c.cancel = &cancel;
    int calls = 0;
    c.progress = [&](std::string_view stage, double) {
        if (stage.rfind("partial", 0) == 0 && ++calls == 2) cancel = true;
    };
    EXPECT_THROW(assocnet::network(example().data(), optionsOf(3), c), assocnet::Cancelled);
    EXPECT_EQ(calls, 2) << "the run stops at the report after the flag is set";
    EXPECT_THROW(assocnet::network(example().data(), optionsOf(0), c), assocnet::Cancelled);
}

TEST(Network, TwoRunsAtOnceOnTheirOwnThreadsGiveTheBitsOfOne)
{
    const assocnet::Result alone = assocnet::network(example().data(), optionsOf(2));
    const assocnet::Result spearman =
        assocnet::network(example().data(), optionsOf(1, assocnet::Method::spearman));
    assocnet::Result a, b;
    std::thread first([&] {
        assocnet::Options o = optionsOf(2);
        o.threads = 1;
        a = assocnet::network(example().data(), o);
    });
    std::thread second([&] {
        assocnet::Options o = optionsOf(1, assocnet::Method::spearman);
        o.threads = 2;
        b = assocnet::network(example().data(), o);
    });
    first.join();
    second.join();
    expectSameBits(alone, a);
    expectSameBits(spearman, b);
}

}  // namespace

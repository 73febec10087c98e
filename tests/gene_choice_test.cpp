// The genes a run keeps: names keep the file's order and pick every gene of
// that name, unknown names are refused with the list, the most variable are
// ranked with ties going to the name that sorts first.
#include "assocnet/assocnet.h"
#include "gene_choice.h"

#include <gtest/gtest.h>

namespace {

const Names kNames = {"B", "A", "C", "A", "D", "E"};
const std::vector<double> kVariance = {2, 5, 2, 1, 9, 2};

GeneChoice choose(const std::vector<std::string>& wanted, long top,
                  const std::vector<char>& dropped = {})
{
    return chooseGenes(
        kNames, dropped, wanted, top, [] { return kVariance; }, "t.h5ad: ");
}

TEST(GeneChoice, NamesKeepTheFileOrderAndPickEveryGeneOfTheName)
{
    const GeneChoice c = choose({"D", "A", "D"}, 0);
    EXPECT_EQ(c.genes, (std::vector<long>{1, 3, 4}));
    EXPECT_EQ(c.text, "3 named of 6 genes");
    EXPECT_EQ(choose({"A"}, 0, {0, 1, 0, 0, 0, 0}).genes, (std::vector<long>{3}));
    EXPECT_TRUE(choose({}, 0).text.empty());
    EXPECT_EQ(choose({}, 0, {1, 0, 0, 0, 0, 0}).genes.size(), 5u);
}

TEST(GeneChoice, UnknownNamesAreRefusedWithAFewOfThem)
{
    try {
        choose({"A", "X", "Y", "X", "Z1", "Z2", "Z3", "Z4"}, 0);
        FAIL() << "unknown names were taken";
    } catch (const assocnet::Error& e) {
        EXPECT_STREQ(e.what(),
                     "t.h5ad: 6 genes asked for are not in the file: X, Y, Z1, Z2, Z3 and 1 more");
    }
    EXPECT_THROW(choose({"a"}, 0), assocnet::Error);
}

TEST(GeneChoice, TheMostVariableGoFirstWithTiesToTheFirstName)
{
    // Variances 9 (D), 5 (A), then three of 2: B and C before E.
    GeneChoice c = choose({}, 4);
    EXPECT_EQ(c.genes, (std::vector<long>{0, 1, 2, 4}));
    EXPECT_EQ(c.varianceCut, 2);
    EXPECT_EQ(c.text, "the 4 most variable of 6 genes (variance at least 2)");
    c = choose({"E", "A", "C"}, 2);
    EXPECT_EQ(c.genes, (std::vector<long>{1, 2}));
    EXPECT_EQ(c.text, "the 2 most variable of the 4 named of 6 genes (variance at least 2)");
    EXPECT_EQ(choose({}, 100).genes.size(), 6u);
}

}  // namespace

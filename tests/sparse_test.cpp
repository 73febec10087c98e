// The sparse matrix of single-cell files: its values kept as floats until one
// needs a double; the same variances, bit for bit, and the same dense rows
// from a matrix compressed by gene, by cell, and from its dense rows; a
// matrix from a file checked and sorted; missing and infinite values found.
#include "gene_choice.h"
#include "sparse.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Genes x cells, with zeros, a -0 and values no float holds.
const std::vector<std::vector<double>> kRows = {
    {0, 1.5, 0, 0, 2, 0.1},
    {0, 0, 0, 0, 0, 0},
    {-0.0, 3, 3, 0, 0, 1e-300},
    {7, 0, 0.25, 4, 0, 0},
};

SparseMatrix compressed(const std::vector<std::vector<double>>& rows, bool byGene)
{
    SparseMatrix m;
    m.genes = static_cast<long>(rows.size());
    m.cells = static_cast<long>(rows[0].size());
    m.byGene = byGene;
    m.starts.push_back(0);
    for (long a = 0; a < m.majors(); ++a) {
        for (long b = 0; b < m.minors(); ++b) {
            const double x = byGene ? rows[a][b] : rows[b][a];
            if (isZero(x)) continue;
            m.indices.push_back(static_cast<int32_t>(b));
            m.values.push(x);
        }
        m.starts.push_back(static_cast<int64_t>(m.indices.size()));
    }
    return m;
}

std::vector<double> flat(const std::vector<std::vector<double>>& rows)
{
    std::vector<double> v;
    for (const auto& r : rows) v.insert(v.end(), r.begin(), r.end());
    return v;
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

SparseTable named(SparseMatrix m)
{
    SparseTable t;
    // Appended (g++ 12 warns, wrongly, of "G" + std::to_string(g)).
    for (long g = 0; g < m.genes; ++g) t.genes.emplace_back("G").append(std::to_string(g));
    for (long c = 0; c < m.cells; ++c) t.cells.emplace_back("c").append(std::to_string(c));
    t.matrix = std::move(m);
    return t;
}

TEST(StoredValues, StayFloatsUntilAValueNeedsADouble)
{
    StoredValues v;
    v.push(3);
    v.push(-0.25);
    v.push(kNaN);
    EXPECT_FALSE(v.wide());
    v.push(0.1);
    v.push(1e300);
    EXPECT_TRUE(v.wide());
    ASSERT_EQ(v.size(), 5u);
    EXPECT_EQ(v[0], 3);
    EXPECT_EQ(v[1], -0.25);
    EXPECT_TRUE(std::isnan(v[2]));
    EXPECT_EQ(v[3], 0.1);
    EXPECT_EQ(v[4], 1e300);
}

TEST(SparseMatrix, VariancesAreTheBitsOfTheDenseRowsWhateverTheCompression)
{
    const std::vector<double> dense = rowVariances(flat(kRows).data(), 4, 6);
    EXPECT_TRUE(sameBits(geneVariances(compressed(kRows, true), {}), dense));
    EXPECT_TRUE(sameBits(geneVariances(compressed(kRows, false), {}), dense));
    EXPECT_EQ(dense[1], 0);
    EXPECT_DOUBLE_EQ(dense[3], 8.79375);

    // Cells left out count neither as values nor as zeros.
    const std::vector<char> out = {0, 1, 0, 0, 1, 0};
    std::vector<std::vector<double>> kept;
    for (const auto& r : kRows) kept.push_back({r[0], r[2], r[3], r[5]});
    const std::vector<double> fewer = rowVariances(flat(kept).data(), 4, 4);
    EXPECT_TRUE(sameBits(geneVariances(compressed(kRows, true), out), fewer));
    EXPECT_TRUE(sameBits(geneVariances(compressed(kRows, false), out), fewer));
}

TEST(SparseMatrix, DenseRowsHoldTheChosenGenesOverTheKeptCells)
{
    const std::vector<long> genes = {0, 2, 3}, cells = {0, 2, 5};
    std::vector<double> expected;
    for (long g : genes)
        for (long c : cells) expected.push_back(kRows[g][c]);
    EXPECT_TRUE(sameBits(denseRows(compressed(kRows, true), genes, cells), expected));
    EXPECT_TRUE(sameBits(denseRows(compressed(kRows, false), genes, cells), expected));
}

TEST(SparseMatrix, SettleSortsEachCellAndRefusesWhatNoMatrixHolds)
{
    SparseMatrix m;
    m.genes = 3;
    m.cells = 2;
    m.starts = {0, 3, 4};
    m.indices = {2, 0, 1, 1};
    for (double x : {5.0, 6.0, 7.0, 8.0}) m.values.push(x);
    SparseTable t = named(m);
    ASSERT_EQ(settle(t), "");
    EXPECT_EQ(t.matrix.indices, (std::vector<int32_t>{0, 1, 2, 1}));
    EXPECT_EQ(t.matrix.values[0], 6);
    EXPECT_EQ(t.matrix.values[2], 5);

    t = named(m);
    t.matrix.indices = {2, 0, 2, 1};
    EXPECT_EQ(settle(t), "gene \"G2\", cell \"c0\": two values are stored for it");
    t = named(m);
    t.matrix.indices[1] = 3;
    EXPECT_EQ(settle(t), "an index of 3 where there are 3 genes");
    t = named(m);
    t.matrix.starts = {0, 5, 4};
    EXPECT_EQ(settle(t), "the offsets of the cells fall at cell \"c1\"");
    t = named(m);
    t.matrix.starts = {0, 3, 3};
    EXPECT_EQ(settle(t), "the offsets of the cells do not run from 0 to the 4 values");
    t = named(m);
    t.genes.pop_back();
    EXPECT_EQ(settle(t), "3 genes in the matrix but 2 gene names");
}

TEST(SparseMatrix, MissingValuesAreFoundFirstByGeneThenCell)
{
    std::vector<std::vector<double>> rows = kRows;
    rows[3][1] = kNaN;
    rows[2][4] = kNaN;
    rows[2][5] = kNaN;
    rows[1][3] = -std::numeric_limits<double>::infinity();
    for (bool byGene : {true, false}) {
        const MissingCells f = findMissing(compressed(rows, byGene));
        EXPECT_EQ(f.count, 3);
        EXPECT_EQ(f.firstGene, 2);
        EXPECT_EQ(f.firstCell, 4);
        EXPECT_EQ(f.genes, (std::vector<char>{0, 0, 1, 1}));
        EXPECT_EQ(f.cells, (std::vector<char>{0, 1, 0, 0, 1, 1}));
        EXPECT_EQ(f.infiniteGene, 1);
        EXPECT_EQ(f.infiniteCell, 3);
    }
}

}  // namespace

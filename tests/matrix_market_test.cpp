// The Matrix Market reader: a file sorted by column and the same entries in
// any order give one matrix compressed by cell; pattern files hold ones;
// what is no usable coordinate file is refused with its line and cause.
#include "matrix_market.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

std::string read(const std::string& text, SparseMatrix& m, long long rows = -1, long long cols = -1)
{
    size_t at = 0;
    const ReadBytes bytes = [&](char* buffer, size_t size, std::string&) -> long {
        const size_t n = std::min({size, text.size() - at, size_t{5}});  // small pieces
        std::memcpy(buffer, text.data() + at, n);
        at += n;
        return static_cast<long>(n);
    };
    const CheckSize check = [&](long long r, long long c, long long) -> std::string {
        return (rows >= 0 && r != rows) || (cols >= 0 && c != cols) ? "not the expected size" : "";
    };
    return readMatrixMarket(bytes, check, m);
}

std::string problem(const std::string& text, long long rows = -1, long long cols = -1)
{
    SparseMatrix m;
    return read(text, m, rows, cols);
}

const std::string kBanner = "%%MatrixMarket matrix coordinate integer general\n";

TEST(MatrixMarket, EntriesInAnyOrderGiveTheMatrixByCell)
{
    SparseMatrix sorted, shuffled;
    ASSERT_EQ(
        read(kBanner + "% made by hand\n3 4 5\n1 1 3\n3 1 1\n2 2 7\n1 4 2\n3 4 1.5\n", sorted), "");
    ASSERT_EQ(read(kBanner + "3 4 5\r\n3 4 1.5\r\n2 2 7\r\n1 1 3\r\n1 4 2\r\n3 1 1", shuffled), "");
    for (const SparseMatrix* m : {&sorted, &shuffled}) {
        EXPECT_EQ(m->genes, 3);
        EXPECT_EQ(m->cells, 4);
        EXPECT_FALSE(m->byGene);
        EXPECT_EQ(m->starts, (std::vector<int64_t>{0, 2, 3, 3, 5}));
        EXPECT_EQ(m->values[4] + m->values[3], 3.5);
    }
    EXPECT_EQ(sorted.indices, (std::vector<int32_t>{0, 2, 1, 0, 2}));
    EXPECT_EQ(shuffled.indices, (std::vector<int32_t>{0, 2, 1, 2, 0}));

    SparseMatrix ones;
    ASSERT_EQ(read("%%matrixmarket MATRIX Coordinate pattern general\n2 2 2\n2 1\n1 2\n", ones),
              "");
    EXPECT_EQ(ones.values[0], 1);
    EXPECT_EQ(ones.values[1], 1);
}

TEST(MatrixMarket, WhatCannotBeReadIsNamedWithItsLine)
{
    EXPECT_EQ(problem(""), "the file is empty");
    EXPECT_EQ(problem("3 4 5\n"),
              "line 1: not a Matrix Market file: it does not start with %%MatrixMarket");
    EXPECT_EQ(
        problem("%%MatrixMarket matrix array real general\n2 2\n"),
        "line 1: a Matrix Market file of the array format; only the coordinate format (a line per "
        "stored value) is read");
    EXPECT_EQ(problem("%%MatrixMarket matrix coordinate complex general\n"),
              "line 1: values of the complex field; expected real, integer or pattern");
    EXPECT_EQ(problem("%%MatrixMarket matrix coordinate real symmetric\n"),
              "line 1: a symmetric matrix; an expression matrix is general");
    EXPECT_EQ(problem(kBanner + "% only comments\n"),
              "the file ends before its size line (rows, columns, entries)");
    EXPECT_EQ(problem(kBanner + "3 4\n"),
              "line 2: expected the size line: the numbers of rows, columns and entries");
    EXPECT_EQ(problem(kBanner + "3 4 1\n", 3, 5), "line 2: not the expected size");
    EXPECT_EQ(problem(kBanner + "3 4 2\n1 1 1\n"), "the file ends after 1 of its 2 entries");
    EXPECT_EQ(problem(kBanner + "3 4 1\n1 1 1\n2 2 2\n"),
              "line 4: more entries than the 1 of the size line");
    EXPECT_EQ(problem(kBanner + "3 4 1\n4 1 1\n"), "line 3: row 4 is not a number from 1 to 3");
    EXPECT_EQ(problem(kBanner + "3 4 1\n1 0 1\n"), "line 3: column 0 is not a number from 1 to 4");
    EXPECT_EQ(problem(kBanner + "3 4 1\n1 1\n"),
              "line 3: expected 3 fields (row, column, value), found 2");
    EXPECT_EQ(problem(kBanner + "3 4 1\n1 1 NA\n"), "line 3: expected a number, found \"NA\"");
    EXPECT_EQ(problem(kBanner + "3 4 1\n1 1 " + std::string(70000, '1') + "\n"),
              "line 3: too long for a Matrix Market line");

    SparseMatrix m;
    const ReadBytes failing = [](char*, size_t, std::string& why) -> long {
        why = "not a complete gzip stream";
        return -1;
    };
    EXPECT_EQ(readMatrixMarket(
                  failing, [](long long, long long, long long) { return std::string(); }, m),
              "not a complete gzip stream");
}

}  // namespace

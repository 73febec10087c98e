// The matrix report, byte for byte: the mirrored and the full layout, the
// spreadsheet layout and its quoted names, the smallest reports, and large
// reports formatted on two threads.
#include "writers.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <string>
#include <vector>

TEST(MatrixReport, MirroredWorkedExampleReadsOnlyTheUpperTriangle)
{
    // Diagonal 0.999 and nan and the noise below it never reach the file.
    EXPECT_EQ(report(3, kNames3, workedMatrix(-0.7123456), true,
                     "COMBINED SECOND ORDER PEARSON CORRELATION MATRIX"),
              "COMBINED SECOND ORDER PEARSON CORRELATION MATRIX\n"
              "\n"
              "\tG1\tG2\tG3\t\n"
              "G1\t1\t0.8\t-0.1\t\n"
              "G2\t0.8\t1\t-0.712346\t\n"
              "G3\t-0.1\t-0.712346\t1\t\n");
}

TEST(MatrixReport, FullLayoutOfASymmetricMatrixGivesTheMirroredLines)
{
    const Matrix m = {{1, 0.8, -0.1}, {0.8, 1, -0.7123456}, {-0.1, -0.7123456, 1}};
    EXPECT_EQ(report(3, kNames3, m, false, "ZEROTH ORDER PEARSON CORRELATION MATRIX"),
              "ZEROTH ORDER PEARSON CORRELATION MATRIX\n"
              "\n"
              "\tG1\tG2\tG3\t\n"
              "G1\t1\t0.8\t-0.1\t\n"
              "G2\t0.8\t1\t-0.712346\t\n"
              "G3\t-0.1\t-0.712346\t1\t\n");
}

TEST(MatrixReport, FullLayoutPrintsEveryCellAsStored)
{
    // Not-a-number on the diagonal with either sign, a lower triangle that
    // differs from its mirror, and unpadded short numbers.
    const Matrix m = {{kNegNan, 0.5, 1e-7}, {-0.25, kNan, 0.999}, {3, -0.0, 0.999}};
    EXPECT_EQ(report(3, {"a", "b-c", "d"}, m, false),
              "TITLE\n"
              "\n"
              "\ta\tb-c\td\t\n"
              "a\t-nan\t0.5\t1e-07\t\n"
              "b-c\t-0.25\tnan\t0.999\t\n"
              "d\t3\t-0\t0.999\t\n");
}

TEST(MatrixReport, MirroredLayoutWritesShortNumbersUnpadded)
{
    const Matrix m = {{0, 0.5, 1e-7}, {0, 0, -0.25}, {0, 0, 0}};
    EXPECT_EQ(report(3, kNames3, m, true),
              "TITLE\n\n\tG1\tG2\tG3\t\n"
              "G1\t1\t0.5\t1e-07\t\n"
              "G2\t0.5\t1\t-0.25\t\n"
              "G3\t1e-07\t-0.25\t1\t\n");
}

TEST(MatrixReport, NoVariablesGiveTitleEmptyLineAndALoneTab)
{
    EXPECT_EQ(report(0, {}, {}, true), "TITLE\n\n\t\n");
    EXPECT_EQ(report(0, {}, {}, false), "TITLE\n\n\t\n");
}

TEST(MatrixReport, OneVariable)
{
    EXPECT_EQ(report(1, {"A"}, {{kNan}}, true), "TITLE\n\n\tA\t\nA\t1\t\n");
    EXPECT_EQ(report(1, {"A"}, {{0.999}}, true), "TITLE\n\n\tA\t\nA\t1\t\n");
    EXPECT_EQ(report(1, {"A"}, {{1}}, false), "TITLE\n\n\tA\t\nA\t1\t\n");
    EXPECT_EQ(report(1, {"A"}, {{kNegNan}}, false), "TITLE\n\n\tA\t\nA\t-nan\t\n");
}

TEST(MatrixReport, EveryTableLineHoldsVPlusOneTabs)
{
    const int V = 17;
    const std::string text = report(V, numberedNames(V), randomMatrix(V, 3), true);
    const std::vector<std::string> all = lines(text);
    ASSERT_EQ(all.size(), static_cast<size_t>(V + 3));
    EXPECT_EQ(all[0], "TITLE");
    EXPECT_EQ(all[1], "");
    for (size_t k = 2; k < all.size(); ++k) {
        EXPECT_EQ(std::count(all[k].begin(), all[k].end(), '\t'), V + 1) << "line " << k + 1;
        EXPECT_EQ(all[k].back(), '\t');
    }
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST(MatrixReport, SpreadsheetLayoutHasNoTitleAndNoTrailingTab)
{
    TextOut out;
    printStuff(3, kNames3, workedMatrix(-0.7123456), out, ReportLayout{"", true, false});
    EXPECT_EQ(text(out), "\tG1\tG2\tG3\n"
                         "G1\t1\t0.8\t-0.1\n"
                         "G2\t0.8\t1\t-0.712346\n"
                         "G3\t-0.1\t-0.712346\t1\n");
}

TEST(MatrixReport, NamesAreQuotedAsCsvQuotesThemUnlessTheLayoutIsLegacy)
{
    // Names with a quote, a tab or a line end, as pandas and R read them back.
    const Names names = {"a\"b", "t\tab", "two\r\nlines", "\"q\""};
    const Matrix m = {{1, 0.5, 0.25, 0.125}, {0, 1, 0.5, 0.25}, {0, 0, 1, 0.5}, {0, 0, 0, 1}};
    const std::string quoted[] = {"\"a\"\"b\"", "\"t\tab\"", "\"two\r\nlines\"", "\"\"\"q\"\"\""};
    TextOut out, legacy;
    printStuff(4, names, m, out, ReportLayout{"", true, false, true});
    printStuff(4, names, m, legacy, ReportLayout{"T", true});
    std::string want = "\t" + quoted[0] + "\t" + quoted[1] + "\t" + quoted[2] + "\t" + quoted[3] + "\n";
    want += quoted[0] + "\t1\t0.5\t0.25\t0.125\n" + quoted[1] + "\t0.5\t1\t0.5\t0.25\n";
    want += quoted[2] + "\t0.25\t0.5\t1\t0.5\n" + quoted[3] + "\t0.125\t0.25\t0.5\t1\n";
    EXPECT_EQ(text(out), want);
    EXPECT_EQ(std::string(text(legacy)).substr(0, 35), "T\n\n\ta\"b\tt\tab\ttwo\r\nlines\t\"q\"\t\na\"b\t1\t");
}

TEST(MatrixReport, LargeReportsFormattedOnTwoThreadsMatchTheLiteralText)
{
    // Large enough for rows formatted in chunks on every thread and written
    // in order; the literal output writes the same rows one by one.
    const int V = 2100;
    const Matrix m = randomMatrix(V, 17);
    const Names names = numberedNames(V);
    const int saved = omp_get_max_threads();
    for (bool mirrored : {false, true}) {
        TextOut literal;
        literal.literal = true;
        printStuff(V, names, m, literal, ReportLayout{"T", mirrored});
        for (int threads : {1, 2}) {
            omp_set_num_threads(threads);
            EXPECT_TRUE(report(V, names, m, mirrored, "T") == text(literal))
                << "mirrored " << mirrored << " threads " << threads;
        }
    }
    omp_set_num_threads(saved);
}

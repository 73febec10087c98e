// The seven programs' table reader: tokens follow the counts V and N, not
// the lines; only a line feed ends a line for the skips; the first "-" of a
// variable name goes. Then the checks this project adds: a value must be a
// whole decimal number within the range of a double, and a table shorter than
// the counts promise is reported with the line where it falls short.
#include "core.h"
#include "programs_table.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr double kUnread = -99;  // what the cells hold before the call

struct Table {
    Matrix obs;  // N rows of V
    Names vars, obsNames;
    std::string problem;
};

Table readTable(int V, int N, const std::string& text)
{
    Table t{Matrix(N, V, kUnread), Names(V), Names(N), {}};
    t.problem = getObsMat(V, N, t.obs, t.vars, t.obsNames, text);
    return t;
}

// The values of variable i, observation by observation.
std::vector<double> column(const Table& t, int i)
{
    std::vector<double> c;
    for (long k = 0; k < t.obs.rows(); ++k) c.push_back(t.obs[k][i]);
    return c;
}

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

}  // namespace

TEST(ReaderRules, ExactTokensFillEveryNameAndTheTransposedMatrix)
{
    const Table t = readTable(2, 3, "corner\to1\to2\to3\nv1\t1\t2\t3\nv2 4 5 6\n");
    ASSERT_EQ(t.problem, "");
    EXPECT_EQ(t.obsNames, (Names{"o1", "o2", "o3"}));
    EXPECT_EQ(t.vars, (Names{"v1", "v2"}));
    // The k-th value of the i-th variable line goes to row k, column i.
    EXPECT_EQ(column(t, 0), (std::vector<double>{1, 2, 3}));
    EXPECT_EQ(column(t, 1), (std::vector<double>{4, 5, 6}));

    // No final line feed is needed after the last value.
    const Table noEnd = readTable(1, 2, "c a b\nx 7 8");
    ASSERT_EQ(noEnd.problem, "");
    EXPECT_EQ(column(noEnd, 0), (std::vector<double>{7, 8}));

    // N = 0: variable lines carry only their names.
    const Table noObs = readTable(2, 0, "corner\nx\ny\n");
    ASSERT_EQ(noObs.problem, "");
    EXPECT_EQ(noObs.vars, (Names{"x", "y"}));
}

TEST(ReaderRules, ExtraColumnsAreSkipped)
{
    // Whatever follows the N-th name or value is skipped, even tokens that
    // are not numbers.
    const Table t = readTable(2, 2,
                              "c a b extra1 extra2\n"
                              "v1 1 2 NA junk 99\n"
                              "v2 3 4 5\n");
    ASSERT_EQ(t.problem, "");
    EXPECT_EQ(t.obsNames, (Names{"a", "b"}));
    EXPECT_EQ(t.vars, (Names{"v1", "v2"}));
    EXPECT_EQ(column(t, 0), (std::vector<double>{1, 2}));
    EXPECT_EQ(column(t, 1), (std::vector<double>{3, 4}));
}

TEST(ReaderRules, ExtraVariableLinesAreNeverRead)
{
    const Table t = readTable(1, 2, "c a b\nv1 1 2\nv2 NA not-a-number\n\x01\xff garbage\n");
    ASSERT_EQ(t.problem, "");
    EXPECT_EQ(t.vars, (Names{"v1"}));
    EXPECT_EQ(column(t, 0), (std::vector<double>{1, 2}));
}

TEST(ReaderRules, ShortNameLineTakesTheMissingNamesFromTheNextLine)
{
    // Three names wanted, two on the name line: the third is the first token
    // of the next line, the rest of that line is skipped, and the variables
    // start on the line after it.
    const Table t = readTable(1, 3, "corner a b\nc v0 9 9 9\nx 1 2 3\n");
    ASSERT_EQ(t.problem, "");
    EXPECT_EQ(t.obsNames, (Names{"a", "b", "c"}));
    EXPECT_EQ(t.vars, (Names{"x"}));
    EXPECT_EQ(column(t, 0), (std::vector<double>{1, 2, 3}));
}

TEST(ReaderRules, ShortVariableLineContinuesOnTheNextLine)
{
    // The missing value is the first token of the next line; when that token
    // is a number the read goes on, and the skip eats the rest of that line.
    const Table t = readTable(1, 2, "c a b\nv1 1\n2 3 4\n");
    ASSERT_EQ(t.problem, "");
    EXPECT_EQ(column(t, 0), (std::vector<double>{1, 2}));
}

TEST(ReaderRules, CrLfLineEndsReadLikeLf)
{
    const std::string lf = "c a b extra\nv1 1 2 extra\n\nv2 3 4\nv3 5 6\n";
    std::string crlf;
    for (char ch : lf) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    const Table a = readTable(2, 2, lf), b = readTable(2, 2, crlf);
    ASSERT_EQ(a.problem, "");
    ASSERT_EQ(b.problem, "");
    EXPECT_EQ(b.obsNames, (Names{"a", "b"})) << "no carriage return sticks to a name";
    EXPECT_EQ(b.vars, (Names{"v1", "v2"}));
    EXPECT_EQ(a.obsNames, b.obsNames);
    EXPECT_EQ(a.vars, b.vars);
    EXPECT_EQ(a.obs, b.obs);
    EXPECT_EQ(column(b, 1), (std::vector<double>{3, 4}));
}

TEST(ReaderRules, BlankAndWhitespaceOnlyLinesArePassedOver)
{
    const Table t = readTable(2, 2, "c a b\n\n   \t \n\nv1 1 2\n \n\t\n\nv2 3 4\n\n");
    ASSERT_EQ(t.problem, "");
    EXPECT_EQ(t.vars, (Names{"v1", "v2"}));
    EXPECT_EQ(column(t, 0), (std::vector<double>{1, 2}));
    EXPECT_EQ(column(t, 1), (std::vector<double>{3, 4}));
}

TEST(ReaderRules, OnlyTheFirstDashOfAVariableNameIsRemoved)
{
    const Table t = readTable(6, 3, "c o-1 -o --o-\nA-B-C 1 1 1\n-x 1 1 1\n--x 1 1 1\nx- 1 1 1\n"
                                    "plain 1 1 1\n- 1 1 1\n");
    ASSERT_EQ(t.problem, "");
    EXPECT_EQ(t.vars, (Names{"AB-C", "x", "-x", "x", "plain", ""}));
    EXPECT_EQ(t.obsNames, (Names{"o-1", "-o", "--o-"})) << "observation names keep every dash";
}

TEST(ReaderRules, CornerTokenMayBeANumberAndIsNotStored)
{
    for (const char* corner : {"3.14", "-5", "0", "NA", "x-y"}) {
        const Table t = readTable(1, 1, std::string(corner) + " a\nv 2\n");
        ASSERT_EQ(t.problem, "") << corner;
        EXPECT_EQ(t.obsNames, (Names{"a"})) << corner;
        EXPECT_EQ(t.obs[0][0], 2) << corner;
    }
}

TEST(ReaderRules, AcceptedNumberFormsHaveTheirValues)
{
    const std::string longForm =
        "0.1000000000000000000000000000000000000000000000000000000000000000000000001";
    const Table t = readTable(
        1, 12, "c o1 o2 o3 o4 o5 o6 o7 o8 o9 o10 o11 o12\nv +5 .5 5. -0 3.2e-4 1E5 1e+5 -.25 007 0.1 " +
                   longForm + " 1.7976931348623157e308\n");
    ASSERT_EQ(t.problem, "");
    const std::vector<double> c = column(t, 0);
    EXPECT_EQ(c[0], 5);
    EXPECT_EQ(c[1], 0.5);
    EXPECT_EQ(c[2], 5);
    EXPECT_EQ(c[3], 0);
    EXPECT_TRUE(std::signbit(c[3])) << "-0 keeps its sign bit";
    EXPECT_EQ(c[4], 3.2e-4);
    EXPECT_EQ(c[5], 1e5);
    EXPECT_EQ(c[6], 1e5);
    EXPECT_EQ(c[7], -0.25);
    EXPECT_EQ(c[8], 7);
    EXPECT_EQ(c[9], 0.1);
    EXPECT_EQ(c[10], 0.1) << "a token longer than any buffer is read whole";
    EXPECT_EQ(c[11], DBL_MAX);
}

TEST(ReaderRules, NumbersOnBothSidesOfTheShortPathAreCorrectlyRounded)
{
    // At most 15 significant digits scaled by at most 10^22 take a shorter
    // path than the rest; every value has the bits that strtod gives.
    for (const char* t : {"123456789012345", "1234567890123456", "9007199254740993", "4.35",
                          "0.000123456789012345", "0000000000000000000001.5", "1e22", "1e23",
                          "12345e-22", "12345e-23", "-0.0", "8.5e-5", "0.1e1", "3e-0",
                          "100000000000000000000000e-2", "1.7976931348623157e308"}) {
        double v = 0;
        ASSERT_EQ(parseNumber(t, v), "") << t;
        const double expected = std::strtod(t, nullptr);
        EXPECT_EQ(std::memcmp(&v, &expected, sizeof v), 0) << t;
    }
}

TEST(ReaderRules, UnderflowIsAcceptedAsZeroOrSubnormal)
{
    const Table t = readTable(1, 4, "c a b c d\nv 1e-400 -1e-400 2.5e-310 4.9406564584124654e-324\n");
    ASSERT_EQ(t.problem, "");
    const std::vector<double> c = column(t, 0);
    EXPECT_LT(std::fabs(c[0]), DBL_MIN);
    EXPECT_FALSE(std::signbit(c[0]));
    EXPECT_LT(std::fabs(c[1]), DBL_MIN);
    EXPECT_TRUE(std::signbit(c[1]));
    EXPECT_EQ(c[2], 2.5e-310) << "a subnormal in range is read exactly";
    EXPECT_EQ(c[3], DBL_TRUE_MIN);
}

TEST(ReaderRules, ValueThatIsNotAWholeDecimalNumberIsAnError)
{
    // Each bad token stands as the second value of variable "geneQ", on line 3.
    for (const char* bad : {"NA", "nan", "inf", "-inf", "Infinity", "1,5", "0x10", "3.2abc", "1e",
                            "1e+", "-", "+", ".", "+-1", "--1", "1.2.3", "e5", "1e5.5", "five"}) {
        const Table t = readTable(2, 2, std::string("c s1 s2\ng1 1 2\ngeneQ 4 ") + bad + " 7\n");
        EXPECT_NE(t.problem, "") << bad;
        EXPECT_TRUE(contains(t.problem, "line 3")) << bad << ": " << t.problem;
        EXPECT_TRUE(contains(t.problem, "geneQ")) << bad << ": " << t.problem;
        EXPECT_TRUE(contains(t.problem, "expected a number")) << bad << ": " << t.problem;
    }
    // The line number counts line feeds only, blank lines and CRLF included.
    const Table far = readTable(2, 2, "c s1 s2\r\n\r\ng1 1 2\r\n\r\ngeneQ 3 NA\r\n");
    EXPECT_TRUE(contains(far.problem, "line 5")) << far.problem;
    EXPECT_TRUE(contains(far.problem, "geneQ")) << far.problem;
    // A short line that takes the next variable's name as a value: the
    // problem is found on the line of that name, while reading the short one.
    const Table shortLine = readTable(2, 3, "c a b c\ng1 1 2\ng2 1 2 3\n");
    EXPECT_TRUE(contains(shortLine.problem, "line 3")) << shortLine.problem;
    EXPECT_TRUE(contains(shortLine.problem, "g1")) << shortLine.problem;
    EXPECT_TRUE(contains(shortLine.problem, "expected a number")) << shortLine.problem;
}

TEST(ReaderRules, ValueOutsideTheRangeOfADoubleIsAnError)
{
    for (const char* big : {"1e999", "-1e999", "1.8e308"}) {
        const Table t = readTable(1, 2, std::string("c a b\ngeneQ 1 ") + big + "\n");
        EXPECT_NE(t.problem, "") << big;
        EXPECT_TRUE(contains(t.problem, "line 2")) << big << ": " << t.problem;
        EXPECT_TRUE(contains(t.problem, "geneQ")) << big << ": " << t.problem;
        EXPECT_TRUE(contains(t.problem, "expected a number")) << big << ": " << t.problem;
    }
}

TEST(ReaderRules, TableShorterThanTheCountsNamesTheLine)
{
    EXPECT_EQ(readTable(1, 1, "").problem, "line 1: the file is empty; expected the name line");
    // Only white space is as empty as nothing.
    EXPECT_EQ(readTable(1, 1, " \n\t\r\n\n").problem,
              "line 1: the file is empty; expected the name line");

    const Table names = readTable(1, 3, "c a b");
    EXPECT_NE(names.problem, "");
    EXPECT_TRUE(contains(names.problem, "line 1")) << names.problem;

    // Two variable lines promised, one present: the second would be line 3.
    const Table lines = readTable(2, 1, "c a\nv1 1\n");
    EXPECT_NE(lines.problem, "");
    EXPECT_TRUE(contains(lines.problem, "line 3")) << lines.problem;

    // The file ends in the middle of a variable line.
    const Table values = readTable(1, 3, "c a b c\nv1 1 2");
    EXPECT_NE(values.problem, "");
    EXPECT_TRUE(contains(values.problem, "line 2")) << values.problem;
    EXPECT_TRUE(contains(values.problem, "v1")) << values.problem;

    // Nothing promised, nothing needed.
    EXPECT_EQ(readTable(0, 0, "").problem, "");
}

TEST(ReaderRules, CarriageReturnOnlyFileFailsBecauseTheFirstSkipEatsIt)
{
    const std::string crOnly = "c\ra\rb\rv1\r1\r2\r";
    const Table t = readTable(1, 2, crOnly);
    EXPECT_NE(t.problem, "");
    EXPECT_TRUE(contains(t.problem, "line 1")) << t.problem;
    EXPECT_EQ(t.obsNames, (Names{"a", "b"})) << "the names are read before the skip";
    // With no variable promised the same file is complete.
    EXPECT_EQ(readTable(0, 2, crOnly).problem, "");
}

TEST(ReaderRules, TokensFollowTheCountsNotTheLines)
{
    // Extra columns and lines are skipped, CRLF and blank lines read as plain
    // line ends, and a numeric corner token is ignored.
    const Table t = readTable(2, 2,
                              "7 s1 s2 s3\r\n\r\n  \nA-B-C 1 2 99\r\n\n--x -0 +5 junk\nnever 1 2\n");
    ASSERT_EQ(t.problem, "");
    EXPECT_EQ(t.obsNames, (Names{"s1", "s2"}));
    EXPECT_EQ(t.vars, (Names{"AB-C", "-x"}));
    EXPECT_EQ(t.obs[0][0], 1);
    EXPECT_EQ(t.obs[1][0], 2);
    EXPECT_TRUE(std::signbit(t.obs[0][1]) && t.obs[0][1] == 0);
    EXPECT_EQ(t.obs[1][1], 5);
}

TEST(ReaderRules, ShortNameLineBorrowsFromTheNextLine)
{
    // Three names wanted: the third is the first token of the next line, and
    // the rest of that line is skipped.
    const Table t = readTable(1, 3, "corner a-1 b\nc d e\nx- 1 .5 5.\n");
    ASSERT_EQ(t.problem, "");
    EXPECT_EQ(t.obsNames, (Names{"a-1", "b", "c"}));
    EXPECT_EQ(t.vars, (Names{"x"}));
    EXPECT_EQ(t.obs[1][0], 0.5);
    EXPECT_EQ(t.obs[2][0], 5);
}

TEST(ReaderRules, ValuesMustBeWholeDecimalTokens)
{
    for (const char* bad : {"NA", "nan", "inf", "1,5", "0x10", "3.2abc", "1e", "-", "."}) {
        const Table t = readTable(2, 2, std::string("c s1 s2\ng1 1 2\ng2 4 ") + bad + "\n");
        EXPECT_NE(t.problem.find("line 3: variable \"g2\" (number 2), value 2 of 2: expected a number"),
                  std::string::npos)
            << bad << ": " << t.problem;
    }
    const Table huge = readTable(1, 1, "c s\ng 1e999\n");
    EXPECT_NE(huge.problem.find("within the range of a double, found \"1e999\""), std::string::npos)
        << huge.problem;
    const Table tiny = readTable(1, 2, "c s t\ng 1e-400 3.2e-4\n");
    EXPECT_EQ(tiny.problem, "");
    EXPECT_EQ(tiny.obs[0][0], 0);
    EXPECT_EQ(tiny.obs[1][0], 3.2e-4);
    const Table upper = readTable(1, 1, "c s\ng 1E5\n");
    EXPECT_EQ(upper.obs[0][0], 1e5);
}

TEST(ReaderRules, ShortTablesNameTheLineWhereTheyEnd)
{
    EXPECT_EQ(readTable(1, 1, "").problem, "line 1: the file is empty; expected the name line");
    EXPECT_EQ(readTable(1, 3, "c s1 s2").problem,
              "line 1: the file ends after 2 of 3 observation names");
    EXPECT_EQ(readTable(3, 1, "c s\ng1 1\ng2 2\n").problem,
              "line 4: the file ends after 2 of 3 variable lines");
    // A short line takes the next variable's name as a value.
    EXPECT_NE(readTable(2, 3, "c a b c\ng1 1 2\ng2 1 2 3\n").problem.find("line 3: variable \"g1\""),
              std::string::npos);
    // Carriage returns alone end no line: the first skip eats the file.
    EXPECT_EQ(readTable(1, 1, "c s\rg 1\r").problem,
              "line 1: the file ends after 0 of 1 variable lines");
    EXPECT_EQ(readTable(0, 0, "").problem, "");
}

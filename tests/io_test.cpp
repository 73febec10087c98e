// The table reader, the number text and the three writers, bytes exact.
#include "core.h"
#include "output.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <sstream>

namespace {

struct Table {
    Matrix obs;
    Names vars, obsNames;
    std::string problem;
};

Table readTable(int V, int N, const std::string& text)
{
    Table t{Matrix(N, V, -99), Names(V), Names(N), {}};
    t.problem = getObsMat(V, N, t.obs, t.vars, t.obsNames, text);
    return t;
}

std::string streamText(double x)
{
    std::ostringstream os;
    os << x;
    return os.str();
}

std::string numberText(double x)
{
    TextOut out;
    putNumber(out, x);
    return std::string(text(out));
}

const Names kNames = {"G1", "G2", "G3"};

// Entries of the worked example; the diagonal and lower triangle hold noise.
Matrix workedMatrix()
{
    return {{0.999, 0.8, -0.1}, {42, std::nan(""), -0.7123456}, {7, 8, 9}};
}

}  // namespace

TEST(Reader, TokensFollowTheCountsNotTheLines)
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

TEST(Reader, ShortNameLineBorrowsFromTheNextLine)
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

TEST(Reader, ValuesMustBeWholeDecimalTokens)
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

TEST(Reader, ShortTablesNameTheLineWhereTheyEnd)
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

TEST(NumberText, MatchesTheStreamDefaultFormat)
{
    std::mt19937_64 gen(11);
    std::uniform_real_distribution<double> unit(-1, 1);
    std::vector<double> values = {0.5, -0.25, 1e-7, 1e-5, 1.5e-05, 1e6, 999999.5, 999999.4, 123456,
                                  1234567, 0.1234565, 9.999995e-5, 0.00012345650000000001, 1, -1,
                                  0.0, -0.0, 5e-324, 1.7976931348623157e308, INFINITY, -INFINITY,
                                  std::nan(""), -std::nan(""), 0.1, 1e-4, 99999.95,
                                  // decades of coefficients, and digits rounding up to the next
                                  0.01, 0.001, -0.001, 0.0999999, 0.09999996, -0.00999995,
                                  0.000999996, 0.99999951, 0.9999994, 0.1000005, 0.000100000,
                                  0.0123, -0.5, 0.25000049999999999};
    for (const double step : {0x1p-52, 0x1p-40, 1e-7})
        for (const double edge : {1e-4, 1e-3, 1e-2, 1e-1, 1.0})
            for (const double x : {edge * (1 - step), edge * (1 + step)}) values.push_back(x);
    for (int k = 0; k < 200000; ++k) {
        values.push_back(std::bit_cast<double>(gen()));
        const double u = unit(gen);
        values.push_back(u);
        values.push_back(u * std::pow(10.0, static_cast<int>(gen() % 12) - 5));
    }
    for (double x : values) ASSERT_EQ(numberText(x), streamText(x)) << std::hexfloat << x;
}

TEST(Report, MirroredLayoutReadsOnlyTheUpperTriangle)
{
    TextOut out;
    printStuff(3, kNames, workedMatrix(), out,
               {"COMBINED SECOND ORDER PEARSON CORRELATION MATRIX", true});
    EXPECT_EQ(text(out),
              "COMBINED SECOND ORDER PEARSON CORRELATION MATRIX\n\n\tG1\tG2\tG3\t\n"
              "G1\t1\t0.8\t-0.1\t\nG2\t0.8\t1\t-0.712346\t\nG3\t-0.1\t-0.712346\t1\t\n");
}

TEST(Report, FullLayoutPrintsEveryCellAsStored)
{
    TextOut out;
    const Matrix m = {{std::nan(""), 1e-7}, {-std::nan(""), 1}};
    printStuff(2, {"a", "b"}, m, out, {"ZEROTH ORDER PEARSON CORRELATION MATRIX", false});
    EXPECT_EQ(text(out), "ZEROTH ORDER PEARSON CORRELATION MATRIX\n\n\ta\tb\t\na\tnan\t1e-07\t\nb\t-nan\t1\t\n");
}

TEST(Report, EmptyAndSingleVariableReports)
{
    TextOut none, one;
    printStuff(0, {}, {}, none, {"T", true});
    EXPECT_EQ(text(none), "T\n\n\t\n");
    printStuff(1, {"x"}, {{0.3}}, one, {"T", true});
    EXPECT_EQ(text(one), "T\n\n\tx\t\nx\t1\t\n");
}

TEST(Networks, SifAndNetOfTheWorkedExample)
{
    // N = 20, z = 2.5758 puts the order-2 threshold at 0.581727: 0.8 and
    // -0.7123456 pass, -0.1 does not.
    TextOut sif, net;
    getCytoScapeInput(3, thresholdFor(20, 2.5758, 2), workedMatrix(), sif, kNames,
                      {" r2pos ", " r2neg "});
    getPajekInput(3, thresholdFor(20, 2.5758, 2), workedMatrix(), net, kNames);
    EXPECT_EQ(text(sif), "G1 r2pos G2\nG2 r2neg G3\n");
    EXPECT_EQ(text(net), "*Vertices 3\n1 \"G1\"\n2 \"G2\"\n3 \"G3\"\n*Edges\n1 2 0.8 c Red\n"
                       "2 3 -0.712346 c Blue\n");
}

// The levels written in one pass: each file as its level alone writes it,
// whatever the order of the thresholds, with equal ones, one that is not a
// number, values on a threshold and not-a-number cells; literal files too.
TEST(Networks, LevelsWrittenTogetherMatchEachLevelWrittenAlone)
{
    const int V = 40;
    std::mt19937_64 gen(3);
    std::uniform_real_distribution<double> coef(-1, 1);
    Matrix m(V, V, 0.0);
    Names names;
    for (int i = 0; i < V; ++i) names.push_back(std::string("g").append(std::to_string(i)));
    const double t1 = 0.3, t2 = 0.6;
    for (int i = 0; i < V; ++i)
        for (int j = i + 1; j < V; ++j) {
            const int pick = static_cast<int>(gen() % 20);
            m[i][j] = pick == 0 ? std::nan("") : pick == 1 ? -t1 : pick == 2 ? t2 : coef(gen);
        }
    const std::vector<std::vector<double>> levels = {
        {t1, 0.45, t2}, {t2, t1, std::nan("")}, {t1, t1, 0.9}, {std::nan(""), std::nan("")}};
    for (const auto& thresholds : levels)
        for (const bool literal : {false, true}) {
            std::vector<TextOut> sifs(thresholds.size()), nets(thresholds.size());
            std::vector<TextOut*> sifOuts, netOuts;
            for (size_t l = 0; l < thresholds.size(); ++l) {
                sifs[l].literal = nets[l].literal = literal;
                sifOuts.push_back(&sifs[l]);
                netOuts.push_back(&nets[l]);
            }
            getCytoScapeInputs(V, thresholds, m, sifOuts, names, {" pos ", " neg "});
            getPajekInputs(V, thresholds, m, netOuts, names);
            for (size_t l = 0; l < thresholds.size(); ++l) {
                TextOut sif, net;
                sif.literal = net.literal = literal;
                getCytoScapeInput(V, thresholds[l], m, sif, names, {" pos ", " neg "});
                getPajekInput(V, thresholds[l], m, net, names);
                EXPECT_EQ(text(sifs[l]), text(sif)) << "level " << l << " literal " << literal;
                EXPECT_EQ(text(nets[l]), text(net)) << "level " << l << " literal " << literal;
            }
        }
}

TEST(Networks, EdgesNeedAMagnitudeStrictlyAboveTheThreshold)
{
    const double t = thresholdFor(30, 3.2905, 1);
    const double nan = std::nan("");
    const Matrix m = {{0, t, -t, nan, std::nextafter(t, 1.0)},
                      {0, 0, 1, -0.6, 0},
                      {0, 0, 0, 0, 0},
                      {0, 0, 0, 0, -1},
                      {0, 0, 0, 0, 0}};
    const Names names = {"a", "b", "c", "d", "e"};
    TextOut sif, net;
    getCytoScapeInput(5, t, m, sif, names, {" r3pos ", " r3neg "});
    getPajekInput(5, t, m, net, names);
    EXPECT_EQ(text(sif), "a r3pos e\nb r3pos c\nb r3neg d\nd r3neg e\n");
    EXPECT_EQ(text(net).substr(text(net).find("*Edges")),
              "*Edges\n1 5 " + streamText(std::nextafter(t, 1.0)) +
                  " c Red\n2 3 1 c Red\n2 4 -0.6 c Blue\n4 5 -1 c Blue\n");
    // Too few observations: the threshold is not a number and no edge passes.
    TextOut none, emptyNet;
    getCytoScapeInput(5, thresholdFor(4, 2.5758, 1), m, none, names, {" r2pos ", " r2neg "});
    getPajekInput(0, thresholdFor(30, 2.5758, 1), {}, emptyNet, {});
    EXPECT_EQ(text(none), "");
    EXPECT_EQ(text(emptyNet), "*Vertices 0\n*Edges\n");
}

// The SIF and NET writers, byte for byte: the worked example, the threshold
// of each order, magnitudes on the threshold and not-a-number cells, the
// order of the lines, NET edges one to one with the SIF lines, and the same
// files from an edge list or from several levels written in one pass.
#include "writers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The edges of the pairs i < j of m whose magnitude exceeds t, row by row.
std::vector<Edge> edgesAbove(int V, const Matrix& m, double t)
{
    std::vector<Edge> edges;
    for (int i = 0; i < V; ++i)
        for (int j = i + 1; j < V; ++j)
            if (std::fabs(m[i][j]) > t) edges.push_back({i, j, m[i][j], 0.5, 0.5, 0});
    return edges;
}

}  // namespace

// --- SIF ------------------------------------------------------------------------------

TEST(SifWriter, WorkedExampleWithEachProgramsLabels)
{
    // N = 20, z = 2.5758: thresholds 0.581727 (order 2) and 0.596961 (order 3).
    EXPECT_EQ(sif(3, 20, 2.5758, workedMatrix(-0.7), kNames3, 2, kR2),
              "G1 r2pos G2\nG2 r2neg G3\n");
    EXPECT_EQ(sif(3, 20, 2.5758, workedMatrix(-0.7), kNames3, 3, kR3),
              "G1 r3pos G2\nG2 r3neg G3\n");
    EXPECT_EQ(sif(3, 20, 1.96, workedMatrix(-0.7), kNames3, 0, {" r0pos ", " r0neg "}),
              "G1 r0pos G2\nG2 r0neg G3\n");
}

TEST(SifWriter, OrderChoosesTheThreshold)
{
    // 0.59 lies above the order-2 threshold 0.581727 and below the order-3
    // one 0.596961 (N = 20, z = 2.5758); 0.56 only above order 0's 0.554408.
    const Matrix m = {{0, 0.59, -0.56}, {0, 0, 0}, {0, 0, 0}};
    EXPECT_EQ(sif(3, 20, 2.5758, m, kNames3, 0), "G1 r2pos G2\nG1 r2neg G3\n");
    EXPECT_EQ(sif(3, 20, 2.5758, m, kNames3, 1), "G1 r2pos G2\n");
    EXPECT_EQ(sif(3, 20, 2.5758, m, kNames3, 2), "G1 r2pos G2\n");
    EXPECT_EQ(sif(3, 20, 2.5758, m, kNames3, 3), "");
}

TEST(SifWriter, MagnitudeEqualToTheThresholdGivesNoLine)
{
    const double t = thresholdFor(30, 3.2905, 1);
    const double above = std::nextafter(t, 2.0);
    const Names names = {"a", "b", "c", "d"};
    const Matrix m = {{0, t, -t, above}, {0, 0, -above, 0.0}, {0, 0, 0, -0.9}, {0, 0, 0, 0}};
    EXPECT_EQ(sif(4, 30, 3.2905, m, names, 1), "a r2pos d\nb r2neg c\nc r2neg d\n");
}

TEST(SifWriter, NotANumberNeverGivesALine)
{
    const Matrix m = {{0, kNan, kNegNan}, {0, 0, 0.99}, {0, 0, 0}};
    EXPECT_EQ(sif(3, 100, 1.96, m, kNames3, 0), "G2 r2pos G3\n");
}

TEST(SifWriter, TooFewObservationsForTheOrderGiveAnEmptyFile)
{
    const double inf = std::numeric_limits<double>::infinity();
    const Matrix m = {{0, 0.999, -0.999}, {0, 0, inf}, {0, 0, 0}};
    EXPECT_EQ(sif(3, 5, 1.96, m, kNames3, 2), "");   // N - 3 - k = 0
    EXPECT_EQ(sif(3, 4, 1.96, m, kNames3, 2), "");   // negative
    EXPECT_EQ(sif(3, 3, 1.96, m, kNames3, 0), "");
    EXPECT_EQ(sif(3, 0, 1.96, m, kNames3, 3), "");
    EXPECT_EQ(sif(3, 5, 1.96, m, kNames3, 1), "G1 r2pos G2\nG1 r2neg G3\nG2 r2pos G3\n");
}

TEST(SifWriter, NoLinesForNoneOrOneVariable)
{
    EXPECT_EQ(sif(0, 20, 1.96, {}, {}, 0), "");
    EXPECT_EQ(sif(1, 20, 1.96, {{1.0}}, {"A"}, 0), "");
}

TEST(SifWriter, DiagonalAndLowerTriangleHaveNoEffect)
{
    const int V = 12;
    Matrix m = randomMatrix(V, 11);
    const std::string before = sif(V, 25, 2.5758, m, numberedNames(V), 1);
    for (int i = 0; i < V; ++i)
        for (int j = 0; j <= i; ++j) m[i][j] = (i + j) % 2 ? 0.99 : kNan;
    EXPECT_EQ(sif(V, 25, 2.5758, m, numberedNames(V), 1), before);
    EXPECT_NE(before, "");
}

TEST(SifWriter, LinesFollowTheUpperTriangleRowByRow)
{
    const int V = 30, N = 40;
    const Matrix m = randomMatrix(V, 5);
    const Names names = numberedNames(V);
    const double t = thresholdFor(N, 2.5758, 2);
    std::string want;
    for (int i = 0; i < V; ++i)
        for (int j = i + 1; j < V; ++j)
            if (std::fabs(m[i][j]) > t)
                want += names[i] + (m[i][j] > 0 ? " r2pos " : " r2neg ") + names[j] + "\n";
    EXPECT_EQ(sif(V, N, 2.5758, m, names, 2), want);
}

TEST(SifWriter, LargerZGivesASubsetInTheSameOrder)
{
    const int V = 40, N = 30;
    const Matrix m = randomMatrix(V, 9);
    const Names names = numberedNames(V);
    std::vector<std::vector<std::string>> levels;
    for (double z : {1.96, 2.5758, 3.2905, 3.8906}) levels.push_back(lines(sif(V, N, z, m, names, 3)));
    for (size_t k = 1; k < levels.size(); ++k) {
        EXPECT_LT(levels[k].size(), levels[k - 1].size());
        size_t at = 0;  // levels[k] must be a subsequence of levels[k - 1]
        for (const std::string& line : levels[k]) {
            while (at < levels[k - 1].size() && levels[k - 1][at] != line) ++at;
            ASSERT_LT(at, levels[k - 1].size()) << line;
            ++at;
        }
    }
    EXPECT_FALSE(levels.back().empty());
}

TEST(SifWriter, LinesHoldNoTabAndNamesAsStored)
{
    const Names names = {"AB-C", "x\"y", "-z"};
    const Matrix m = {{0, 0.99, -0.99}, {0, 0, 0.99}, {0, 0, 0}};
    const std::string text = sif(3, 50, 1.96, m, names, 0, {" r0pos ", " r0neg "});
    EXPECT_EQ(text, "AB-C r0pos x\"y\nAB-C r0neg -z\nx\"y r0pos -z\n");
    EXPECT_EQ(text.find('\t'), std::string::npos);
}

// --- NET ------------------------------------------------------------------------------

TEST(NetWriter, NoVariablesGiveTwoLines)
{
    EXPECT_EQ(net(0, 20, 1.96, {}, {}, 0), "*Vertices 0\n*Edges\n");
}

TEST(NetWriter, OneVariableGivesThreeLines)
{
    EXPECT_EQ(net(1, 20, 1.96, {{1.0}}, {"A"}, 1), "*Vertices 1\n1 \"A\"\n*Edges\n");
}

TEST(NetWriter, WorkedExampleGivesSevenLines)
{
    EXPECT_EQ(net(3, 20, 2.5758, workedMatrix(-0.7123456), kNames3, 2),
              "*Vertices 3\n"
              "1 \"G1\"\n"
              "2 \"G2\"\n"
              "3 \"G3\"\n"
              "*Edges\n"
              "1 2 0.8 c Red\n"
              "2 3 -0.712346 c Blue\n");
}

TEST(NetWriter, WeightsAndVertexNumbers)
{
    // Vertex numbers count from 1 and run past one digit; the edge between the
    // first and the last variable reads 1 12; 1 and -0.5 are unpadded.
    const int V = 12;
    Matrix m(V, V, 0.0);
    m[0][11] = 1;
    m[1][2] = -0.5;
    m[9][10] = 0.923456789;
    m[10][11] = -1;
    const Names names = numberedNames(V);
    std::string want = "*Vertices 12\n";
    for (int i = 0; i < V; ++i) want += std::to_string(i + 1) + " \"v" + std::to_string(i + 1) + "\"\n";
    const std::string vertices = want;
    want += "*Edges\n1 12 1 c Red\n2 3 -0.5 c Blue\n10 11 0.923457 c Red\n11 12 -1 c Blue\n";
    EXPECT_EQ(net(V, 200, 1.96, m, names, 0), want);
    // No pair qualifies: every vertex is still listed and the file ends at *Edges.
    EXPECT_EQ(net(V, 5, 1.96, m, names, 2), vertices + "*Edges\n");
}

TEST(NetWriter, EqualToTheThresholdOrNotANumberGivesNoEdge)
{
    const double t = thresholdFor(30, 2.5758, 3);
    const Names names = {"a", "b", "c", "d"};
    const Matrix m = {{0, t, -t, kNan}, {0, 0, std::nextafter(-t, -2.0), kNegNan}, {0, 0, 0, 0.0},
                      {0, 0, 0, 0}};
    const std::string text = net(4, 30, 2.5758, m, names, 3);
    EXPECT_EQ(text.substr(text.find("*Edges\n")), "*Edges\n2 3 " + streamText(std::nextafter(-t, -2.0)) +
                                                   " c Blue\n");
}

TEST(NetWriter, EdgesCorrespondToTheSifLinesOneToOne)
{
    const int V = 35, N = 26;
    const Matrix m = randomMatrix(V, 21);
    const Names names = numberedNames(V);
    for (double z : {2.5758, 3.2905, 3.8906})
        for (int order = 0; order <= 3; ++order) {
            const std::vector<std::string> sifLines = lines(sif(V, N, z, m, names, order));
            const std::vector<std::string> netLines = lines(net(V, N, z, m, names, order));
            ASSERT_EQ(netLines.size(), static_cast<size_t>(V) + 2 + sifLines.size());
            for (size_t k = 0; k < sifLines.size(); ++k) {
                std::istringstream s(sifLines[k]), e(netLines[V + 2 + k]);
                std::string a, label, b, weight, c, colour;
                int i = 0, j = 0;
                s >> a >> label >> b;
                e >> i >> j >> weight >> c >> colour;
                EXPECT_EQ(names[i - 1], a);
                EXPECT_EQ(names[j - 1], b);
                EXPECT_EQ(weight, streamText(m[i - 1][j - 1]));
                EXPECT_EQ(colour, label == "r2pos" ? "Red" : "Blue");
            }
        }
}

// --- edge lists and levels written together -------------------------------------------

TEST(EdgeListWriters, GiveTheThresholdFormsBytesInTheOrderGiven)
{
    const int V = 30, N = 40;
    const Matrix m = randomMatrix(V, 13);
    const Names names = numberedNames(V);
    std::vector<Edge> edges = edgesAbove(V, m, thresholdFor(N, 2.5758, 2));
    ASSERT_GT(edges.size(), 5u);
    TextOut s, n;
    writeSif(names, EdgeVector(edges), 0, kR3, s);
    writePajek(names, EdgeVector(edges), 0, n);
    EXPECT_EQ(text(s), sif(V, N, 2.5758, m, names, 2, kR3));
    EXPECT_EQ(text(n), net(V, N, 2.5758, m, names, 2));
    // Reversed: the same lines, last first.
    std::reverse(edges.begin(), edges.end());
    TextOut r;
    writeSif(names, EdgeVector(edges), 0, kR3, r);
    std::vector<std::string> want = lines(std::string(text(s)));
    std::reverse(want.begin(), want.end());
    EXPECT_EQ(lines(std::string(text(r))), want);
}

// The levels written in one pass: each file as its level alone writes it,
// whatever the order of the thresholds, with equal ones, one that is not a
// number, values on a threshold and not-a-number cells; literal files too.
TEST(EdgeListWriters, LevelsWrittenTogetherMatchEachLevelWrittenAlone)
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

TEST(EdgeListWriters, EdgesNeedAMagnitudeStrictlyAboveTheThreshold)
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

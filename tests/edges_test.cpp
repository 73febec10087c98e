// The edge table: its header, shortest round-trip numbers and level names.
#include "writers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(EdgeTable, HeaderThenShortestNumbersAndLevelNames)
{
    const std::vector<Edge> edges = {{0, 1, 0.8, 1e-7, 2.5e-5, 2},
                                     {1, 2, -0.71234567, 0.1 + 0.2, 5e-324, 0}};
    const std::vector<std::string> levels = {"0.01", "0.001", "0.0001"};
    TextOut out, none;
    writeEdgeTable({"G1", "x\"y", "G3"}, EdgeVector(edges), levels, out);
    EXPECT_EQ(text(out), "source\ttarget\tr\tp\tq\tlevel\n"
                         "G1\t\"x\"\"y\"\t0.8\t1e-07\t2.5e-05\t0.0001\n"
                         "\"x\"\"y\"\tG3\t-0.71234567\t0.30000000000000004\t5e-324\t0.01\n");
    writeEdgeTable(kNames3, EdgeVector({}), levels, none);
    EXPECT_EQ(text(none), "source\ttarget\tr\tp\tq\tlevel\n");
}

// The HTML report's text: the run's data in one JSON script element that no
// name can leave, numbers in shortest round-trip form, the same bytes for the
// same run. The page itself is checked in a browser (report_browser_test.sh).
#include "output.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace {

const std::string kDataStart = "<script type=\"application/json\" id=\"run-data\">\n";

RunFacts facts()
{
    RunFacts run;
    run.table = "study <1>.txt";
    run.version = "1.0.0";
    run.method = "Pearson";
    run.order = 1;
    run.pruneAlpha = 0.05;
    run.genes = 3;
    run.samples = 12;
    run.dropped = {"G5: constant"};
    run.levels = {{"0.01", "p < 0.01 (|r| > 0.7079)", 2, 0.7079},
                  {"q0.05", "q <= 0.05", 1, std::numeric_limits<double>::quiet_NaN()}};
    run.seconds = 0.25;
    return run;
}

std::string report(const RunFacts& run, const Names& names, const std::vector<Edge>& edges)
{
    TextOut out;
    writeHtmlReport(run, names, EdgeVector(edges), Histogram{-1, 0.5, {0, 1, 2, 0}}, out);
    return std::string(text(out));
}

// The text of the data element, from its start tag to the first "</script" after it.
std::string data(const std::string& page)
{
    const size_t from = page.find(kDataStart);
    EXPECT_NE(from, std::string::npos);
    const size_t begin = from + kDataStart.size();
    return page.substr(begin, page.find("</script", begin) - begin);
}

}  // namespace

TEST(HtmlReport, DataStayInTheirElementWhateverTheNames)
{
    const Names names = {"TP53", "a\"b\\c</script><!--&\xc3\xa9\n\t\x01", "\"38355_at\""};
    const std::vector<Edge> edges = {{0, 1, 0.1, 1e-300, 0.5, 0},
                                     {1, 2, -0.75, 2.5e-7, std::numeric_limits<double>::quiet_NaN(), 1}};
    const std::string page = report(facts(), names, edges);
    EXPECT_EQ(page.rfind("<!DOCTYPE html>\n", 0), 0u);
    EXPECT_TRUE(page.ends_with("</html>\n"));
    EXPECT_EQ(page, report(facts(), names, edges));

    const std::string json = data(page);
    // The whole of the data: the last edge closes them, before the element's end.
    EXPECT_TRUE(json.ends_with("[1,2,-0.75,2.5e-07,null,1]\n]}\n")) << json;
    EXPECT_EQ(json.find_first_of("<>&"), std::string::npos);
    EXPECT_NE(json.find("\n\"a\\\"b\\\\c\\u003c/script\\u003e\\u003c!--\\u0026\xc3\xa9\\u000a\\u0009\\u0001\",\n"),
              std::string::npos) << json;
    EXPECT_NE(json.find("\n\"\\\"38355_at\\\"\"\n]"), std::string::npos);
    EXPECT_NE(json.find("\"table\":\"study \\u003c1\\u003e.txt\""), std::string::npos);
    EXPECT_NE(json.find("\n[0,1,0.1,1e-300,0.5,0],\n"), std::string::npos);
    EXPECT_NE(json.find("\"threshold\":0.7079}"), std::string::npos);
    EXPECT_NE(json.find("\"threshold\":null}"), std::string::npos);
    EXPECT_NE(json.find("\"counts\":[0,1,2,0]"), std::string::npos);
}

TEST(HtmlReport, EveryEdgeGoesInWithTheCapOfTheView)
{
    Names names;
    for (int k = 0; k < 200; ++k) names.push_back(std::string("G").append(std::to_string(k)));
    std::vector<Edge> edges;
    for (int i = 0; i < 200 && edges.size() < 6000; ++i)
        for (int j = i + 1; j < 200 && edges.size() < 6000; ++j)
            edges.push_back({i, j, 0.5, 0.001, 0.01, 0});
    const std::string json = data(report(facts(), names, edges));
    EXPECT_NE(json.find("\"maxDrawn\":" + std::to_string(kMaxDrawnEdges) + ","), std::string::npos);
    size_t lines = 0;
    for (size_t at = json.find("\n[", 0); at != std::string::npos; at = json.find("\n[", at + 1)) ++lines;
    EXPECT_EQ(lines, 6000u);
}

// Pajek NET file: the vertex section lists every variable (numbered from 1),
// the edge section one weighted edge per pair, red when positive. The
// threshold form selects the pairs of a matrix as the SIF writer does; the
// edge-list form writes the edges it is given.
#include "output.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace {

void putVertices(int V, const Names& names, TextOut& out)
{
    put(out, "*Vertices ");
    putInt(out, V);
    endLine(out);
    for (int i = 0; i < V; ++i) {
        putInt(out, i + 1);
        put(out, " \"");
        put(out, names[i]);
        put(out, "\"");
        endLine(out);
    }
    put(out, "*Edges");
    endLine(out);
}

void edgeLine(TextOut& out, int i, int j, double r)
{
    putInt(out, i + 1);
    put(out, " ");
    putInt(out, j + 1);
    put(out, " ");
    putNumber(out, r);
    put(out, r > 0 ? " c Red" : " c Blue");
    endLine(out);
}

}  // namespace

void getPajekInput(int V, double threshold, const Matrix& m, TextOut& out, const Names& names)
{
    putVertices(V, names, out);
    for (int i = 0; i < V; ++i)
        for (int j = i + 1; j < V; ++j) {
            const double x = m[i][j];
            if (!(std::fabs(x) > threshold)) continue;
            edgeLine(out, i, j, x);
        }
}

void getPajekInputs(int V, const std::vector<double>& thresholds, const Matrix& m,
                    const std::vector<TextOut*>& outs, const Names& names)
{
    for (TextOut* out : outs) putVertices(V, names, *out);
    // A literal file forms its numbers as the stream does: each file alone.
    const bool literal =
        std::any_of(outs.begin(), outs.end(), [](const TextOut* o) { return o->literal; });
    const double loosest = loosestThreshold(thresholds);
    char line[96];  // two counts (11 characters each), a number (32) and a colour
    for (int i = 0; i < V; ++i)
        for (int j = i + 1; j < V; ++j) {
            const double x = m[i][j], magnitude = std::fabs(x);
            if (!(magnitude > loosest)) continue;
            char* end = line;
            if (!literal) {
                end = std::to_chars(end, end + 11, i + 1).ptr;
                *end++ = ' ';
                end = std::to_chars(end, end + 11, j + 1).ptr;
                *end++ = ' ';
                end = formatNumber(end, end + 32, x);
                const std::string_view colour = x > 0 ? " c Red" : " c Blue";
                end = std::copy(colour.begin(), colour.end(), end);
            }
            for (size_t l = 0; l < outs.size(); ++l) {
                if (!(magnitude > thresholds[l])) continue;
                if (literal) {
                    edgeLine(*outs[l], i, j, x);
                    continue;
                }
                put(*outs[l], std::string_view(line, static_cast<size_t>(end - line)));
                endLine(*outs[l]);
            }
        }
}

void writePajek(const Names& names, const std::vector<Edge>& edges, TextOut& out)
{
    putVertices(static_cast<int>(names.size()), names, out);
    for (const Edge& e : edges) edgeLine(out, e.i, e.j, e.r);
}

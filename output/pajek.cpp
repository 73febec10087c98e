// Pajek NET file: the vertex section lists every variable (numbered from 1),
// the edge section one weighted edge per pair, red when positive. The
// threshold form selects the pairs of a matrix as the SIF writer does; the
// edge-list form writes the edges it is given.
#include "output.h"

#include <algorithm>
#include <charconv>

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

// Room for an edge's text: two counts (11 characters each), a number (32)
// and a colour.
constexpr int kEdgeText = 96;

// The text of an edge's line, its line end left out, from line on; returns
// its end.
char* edgeText(char* line, int i, int j, double r, bool literal)
{
    char* end = std::to_chars(line, line + 11, i + 1).ptr;
    *end++ = ' ';
    end = std::to_chars(end, end + 11, j + 1).ptr;
    *end++ = ' ';
    end = numberText(end, r, literal);
    const std::string_view colour = r > 0 ? " c Red" : " c Blue";
    return std::copy(colour.begin(), colour.end(), end);
}

void edgeLine(TextOut& out, int i, int j, double r)
{
    char line[kEdgeText];
    const char* end = edgeText(line, i, j, r, out.literal);
    put(out, std::string_view(line, static_cast<size_t>(end - line)));
    endLine(out);
}

}  // namespace

void getPajekInput(int V, double threshold, const Matrix& m, TextOut& out, const Names& names)
{
    getPajekInputs(V, {threshold}, m, {&out}, names);
}

void getPajekInputs(int V, const std::vector<double>& thresholds, const Matrix& m,
                    const std::vector<TextOut*>& outs, const Names& names)
{
    for (TextOut* out : outs) putVertices(V, names, *out);
    const bool literal = !outs.empty() && outs.front()->literal;
    char line[kEdgeText];
    forEachEdge(V, loosestThreshold(thresholds), m, 0, V, [&](int i, int j, double x) {
        const char* end = edgeText(line, i, j, x, literal);
        const std::string_view text(line, static_cast<size_t>(end - line));
        for (size_t l = 0; l < outs.size(); ++l)
            if (passes(x, thresholds[l])) {
                put(*outs[l], text);
                endLine(*outs[l]);
            }
    });
}

void writePajek(const Names& names, const EdgeList& edges, int level, TextOut& out)
{
    putVertices(static_cast<int>(names.size()), names, out);
    edges.forEachText(
        level, false,
        [&](std::span<const Edge> batch, std::string& lines) {
            thread_local TextOut o;  // its room kept from batch to batch
            o.used = 0;
            o.literal = out.literal;
            for (const Edge& e : batch) edgeLine(o, e.i, e.j, e.r);
            lines += text(o);
        },
        [&](std::string_view lines) { putLines(out, lines); });
}

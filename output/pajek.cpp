// Pajek NET file: the vertex section lists every variable (numbered from 1),
// the edge section one weighted edge per pair, red when positive. The
// threshold form selects the pairs of a matrix as the SIF writer does; the
// edge-list form writes the edges it is given.
#include "output.h"

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

void writePajek(const Names& names, const std::vector<Edge>& edges, TextOut& out)
{
    putVertices(static_cast<int>(names.size()), names, out);
    for (const Edge& e : edges) edgeLine(out, e.i, e.j, e.r);
}

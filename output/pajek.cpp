// Pajek NET file: the vertex section lists every variable (numbered from 1),
// the edge section one weighted edge per selected pair, red when positive.
#include "output.h"

#include <cmath>

void getPajekInput(int V, int N, double z, const Matrix& m, TextOut& out, const Names& names,
                   int order)
{
    const double t = thresholdFor(N, z, order);
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
    for (int i = 0; i < V; ++i)
        for (int j = i + 1; j < V; ++j) {
            const double x = m[i][j];
            if (!(std::fabs(x) > t)) continue;
            putInt(out, i + 1);
            put(out, " ");
            putInt(out, j + 1);
            put(out, " ");
            putNumber(out, x);
            put(out, x > 0 ? " c Red" : " c Blue");
            endLine(out);
        }
}

// SIF network file: "name label name" per edge, the lower-numbered variable
// first, in row-major order of the upper triangle.
#include "output.h"

#include <cmath>

void getCytoScapeInput(int V, int N, double z, const Matrix& m, TextOut& out, const Names& names,
                       int order, SifLabels labels)
{
    const double t = thresholdFor(N, z, order);
    for (int i = 0; i < V; ++i)
        for (int j = i + 1; j < V; ++j) {
            const double x = m[i][j];
            if (!(std::fabs(x) > t)) continue;
            put(out, names[i]);
            put(out, x > 0 ? labels.positive : labels.negative);
            put(out, names[j]);
            endLine(out);
        }
}

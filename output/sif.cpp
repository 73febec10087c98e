// SIF network file: "name label name" per edge. The threshold form selects the
// pairs of a matrix, the lower-numbered variable first, in row-major order of
// the upper triangle; the edge-list form writes the edges it is given.
#include "output.h"

namespace {

// One line: positive coefficients take the positive label, all others the negative.
void sifLine(TextOut& out, const Names& names, int i, int j, double r, SifLabels labels)
{
    put(out, names[i]);
    put(out, r > 0 ? labels.positive : labels.negative);
    put(out, names[j]);
    endLine(out);
}

}  // namespace

void getCytoScapeInput(int V, double threshold, const Matrix& m, TextOut& out, const Names& names,
                       SifLabels labels)
{
    getCytoScapeInputs(V, {threshold}, m, {&out}, names, labels);
}

void getCytoScapeInputs(int V, const std::vector<double>& thresholds, const Matrix& m,
                        const std::vector<TextOut*>& outs, const Names& names, SifLabels labels)
{
    forEachEdge(V, loosestThreshold(thresholds), m, 0, V, [&](int i, int j, double x) {
        for (size_t l = 0; l < outs.size(); ++l)
            if (passes(x, thresholds[l])) sifLine(*outs[l], names, i, j, x, labels);
    });
}

void writeSif(const Names& names, const EdgeList& edges, int level, SifLabels labels, TextOut& out)
{
    edges.forEachText(
        level, false,
        [&](std::span<const Edge> batch, std::string& lines) {
            thread_local TextOut o;  // its room kept from batch to batch
            o.used = 0;
            for (const Edge& e : batch) sifLine(o, names, e.i, e.j, e.r, labels);
            lines += text(o);
        },
        [&](std::string_view lines) { putLines(out, lines); });
}

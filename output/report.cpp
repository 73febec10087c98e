// The matrix report: title and empty line (unless the title is empty), a
// header of names after an empty corner cell, one line per row; fields are
// separated by tabs, and the legacy layout ends every line with one more.
#include "output.h"

void printStuff(int V, const Names& names, const Matrix& m, TextOut& out, ReportLayout layout)
{
    if (!layout.title.empty()) {
        put(out, layout.title);
        endLine(out);
        endLine(out);
    }
    for (int j = 0; j < V; ++j) {
        put(out, "\t");
        put(out, names[j]);
    }
    if (layout.trailingTab) put(out, "\t");
    endLine(out);
    for (int i = 0; i < V; ++i) {
        put(out, names[i]);
        for (int j = 0; j < V; ++j) {
            put(out, "\t");
            if (!layout.mirrored)
                putNumber(out, m[i][j]);
            else if (i == j)
                put(out, "1");
            else
                putNumber(out, i < j ? m[i][j] : m[j][i]);
        }
        if (layout.trailingTab) put(out, "\t");
        endLine(out);
    }
}

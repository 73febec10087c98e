// The matrix report: title, empty line, header of names, one line per row;
// every header and data field is followed by a tab.
#include "output.h"

void printStuff(int V, const Names& names, const Matrix& m, TextOut& out, ReportLayout layout)
{
    put(out, layout.title);
    endLine(out);
    endLine(out);
    put(out, "\t");
    for (int j = 0; j < V; ++j) {
        put(out, names[j]);
        put(out, "\t");
    }
    endLine(out);
    for (int i = 0; i < V; ++i) {
        put(out, names[i]);
        put(out, "\t");
        for (int j = 0; j < V; ++j) {
            if (!layout.mirrored)
                putNumber(out, m[i][j]);
            else if (i == j)
                put(out, "1");
            else
                putNumber(out, i < j ? m[i][j] : m[j][i]);
            put(out, "\t");
        }
        endLine(out);
    }
}

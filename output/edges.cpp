// The edge table: a tab-separated header, then one line per edge with the two
// names (quoted where they hold a quote, a tab or a line end), r, p, q
// (shortest round-trip text) and the name of its level; no trailing tab.
#include "output.h"

void writeEdgeTable(const Names& names, const std::vector<Edge>& edges,
                    const std::vector<std::string>& levelNames, TextOut& out)
{
    put(out, "source\ttarget\tr\tp\tq\tlevel");
    endLine(out);
    for (const Edge& e : edges) {
        putField(out, names[e.i]);
        put(out, "\t");
        putField(out, names[e.j]);
        put(out, "\t");
        putShortest(out, e.r);
        put(out, "\t");
        putShortest(out, e.p);
        put(out, "\t");
        putShortest(out, e.q);
        put(out, "\t");
        put(out, levelNames[e.level]);
        endLine(out);
    }
}

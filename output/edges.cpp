// The edge table: a tab-separated header, then one line per edge with the two
// names (quoted where they hold a quote, a tab or a line end), r, p, q
// (shortest round-trip text) and the name of its level; no trailing tab.
#include "output.h"

void writeEdgeTable(const Names& names, const EdgeList& edges,
                    const std::vector<std::string>& levelNames, TextOut& out)
{
    put(out, "source\ttarget\tr\tp\tq\tlevel");
    endLine(out);
    // Each name as a field once, not once per edge.
    std::vector<std::string> fields(names.size());
    for (size_t k = 0; k < names.size(); ++k) {
        TextOut field;
        putField(field, names[k]);
        fields[k] = text(field);
    }
    edges.forEachText(
        0, true,
        [&](std::span<const Edge> batch, std::string& lines) {
            thread_local TextOut o;  // its room kept from batch to batch
            o.used = 0;
            for (const Edge& e : batch) {
                put(o, fields[e.i]);
                put(o, "\t");
                put(o, fields[e.j]);
                put(o, "\t");
                putShortest(o, e.r);
                put(o, "\t");
                putShortest(o, e.p);
                put(o, "\t");
                putShortest(o, e.q);
                put(o, "\t");
                put(o, levelNames[e.level]);
                endLine(o);
            }
            lines += text(o);
        },
        [&](std::string_view lines) { putLines(out, lines); });
}

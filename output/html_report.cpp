// The HTML report of a run: the page made from web/ at build time (its
// scripts and style inlined), with the run's data as JSON in the script
// element the page reads them from.
//   putJsonString  appends a string as JSON, markup characters escaped
//   putJsonNumber  appends a double in its shortest round-trip text, or null
//   writeHtmlReport  the page before the data, the data, the page after them
#include "output.h"

#include <charconv>
#include <cmath>
#include <cstddef>

// The page, from the source that web/embed.cmake writes: its bytes, and where
// in them the data go.
extern const unsigned char kReportPage[];
extern const std::size_t kReportPageSize;
extern const std::size_t kReportPageDataAt;

namespace {

// Appends s as a JSON string. Besides the quote, the backslash and the control
// characters, <, > and & are written as \u escapes, so that nothing in a name
// can end the script element or start markup. Other bytes pass unchanged.
void putJsonString(TextOut& out, std::string_view s)
{
    static constexpr char kHex[] = "0123456789abcdef";
    put(out, "\"");
    size_t plain = 0;
    for (size_t k = 0; k < s.size(); ++k) {
        const unsigned char c = static_cast<unsigned char>(s[k]);
        if (c >= 0x20 && c != '"' && c != '\\' && c != '<' && c != '>' && c != '&') continue;
        put(out, s.substr(plain, k - plain));
        plain = k + 1;
        if (c == '"' || c == '\\') {
            const char escaped[2] = {'\\', static_cast<char>(c)};
            put(out, {escaped, 2});
        } else {
            const char escaped[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
            put(out, {escaped, 6});
        }
    }
    put(out, s.substr(plain));
    put(out, "\"");
}

// Appends x in the shortest text that reads back as the same double; JSON
// has no not-a-number or infinity, so those are null.
void putJsonNumber(TextOut& out, double x)
{
    if (!std::isfinite(x)) {
        put(out, "null");
        return;
    }
    char* at = room(out, 32);
    out.used = static_cast<size_t>(std::to_chars(at, at + 32, x).ptr - out.buf.data());
}

void putKey(TextOut& out, std::string_view key)
{
    putJsonString(out, key);
    put(out, ":");
}

// Appends the items as a JSON array on one line, putItem writing each.
template <class Items, class PutItem>
void putJsonArray(TextOut& out, const Items& items, PutItem putItem)
{
    put(out, "[");
    for (size_t k = 0; k < items.size(); ++k) {
        if (k > 0) put(out, ",");
        putItem(items[k]);
    }
    put(out, "]");
}

}  // namespace

void writeHtmlReport(const RunFacts& run, const Names& names, const EdgeList& edges,
                     const Histogram& kept, TextOut& out)
{
    const char* page = reinterpret_cast<const char*>(kReportPage);
    put(out, {page, kReportPageDataAt});

    // The facts, then one line per level, name and edge.
    put(out, "{");
    putKey(out, "table");
    putJsonString(out, run.table);
    put(out, ",");
    putKey(out, "version");
    putJsonString(out, run.version);
    put(out, ",");
    putKey(out, "method");
    putJsonString(out, run.method);
    put(out, ",");
    putKey(out, "order");
    putInt(out, run.order);
    put(out, ",");
    putKey(out, "pruneAlpha");
    putJsonNumber(out, run.pruneAlpha);
    put(out, ",");
    putKey(out, "genes");
    putInt(out, run.genes);
    put(out, ",");
    putKey(out, "samples");
    putInt(out, run.samples);
    put(out, ",");
    putKey(out, "seconds");
    putJsonNumber(out, run.seconds);
    put(out, ",");
    putKey(out, "maxDrawn");
    putInt(out, kMaxDrawnEdges);
    put(out, ",");
    endLine(out);

    putKey(out, "dropped");
    putJsonArray(out, run.dropped, [&](const std::string& line) { putJsonString(out, line); });
    put(out, ",");
    endLine(out);

    putKey(out, "levels");
    put(out, "[");
    endLine(out);
    for (size_t k = 0; k < run.levels.size(); ++k) {
        const ReportLevel& level = run.levels[k];
        put(out, "{");
        putKey(out, "name");
        putJsonString(out, level.name);
        put(out, ",");
        putKey(out, "rule");
        putJsonString(out, level.rule);
        put(out, ",");
        putKey(out, "edges");
        putInt(out, level.edges);
        put(out, ",");
        putKey(out, "threshold");
        putJsonNumber(out, level.threshold);
        put(out, k + 1 < run.levels.size() ? "}," : "}");
        endLine(out);
    }
    put(out, "],");
    endLine(out);

    putKey(out, "histogram");
    put(out, "{");
    putKey(out, "from");
    putJsonNumber(out, kept.from);
    put(out, ",");
    putKey(out, "width");
    putJsonNumber(out, kept.width);
    put(out, ",");
    putKey(out, "counts");
    putJsonArray(out, kept.counts, [&](auto count) { putInt(out, count); });
    put(out, "},");
    endLine(out);

    putKey(out, "names");
    put(out, "[");
    endLine(out);
    for (size_t k = 0; k < names.size(); ++k) {
        putJsonString(out, names[k]);
        if (k + 1 < names.size()) put(out, ",");
        endLine(out);
    }
    put(out, "],");
    endLine(out);

    // [i, j, r, p, q, strictest level passed]
    putKey(out, "edges");
    put(out, "[");
    endLine(out);
    // Each edge's line is ended when the next begins, with the comma between.
    bool first = true;
    edges.forEach(0, true, [&](std::span<const Edge> batch) {
        for (const Edge& e : batch) {
            if (!first) {
                put(out, ",");
                endLine(out);
            }
            first = false;
            put(out, "[");
            putInt(out, e.i);
            put(out, ",");
            putInt(out, e.j);
            put(out, ",");
            putJsonNumber(out, e.r);
            put(out, ",");
            putJsonNumber(out, e.p);
            put(out, ",");
            putJsonNumber(out, e.q);
            put(out, ",");
            putInt(out, e.level);
            put(out, "]");
        }
    });
    if (!first) endLine(out);
    put(out, "]}");
    endLine(out);

    put(out, {page + kReportPageDataAt, kReportPageSize - kReportPageDataAt});
}

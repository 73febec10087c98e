// The matrix report: title and empty line (unless the title is empty), a
// header of names after an empty corner cell, one line per row; fields are
// separated by tabs, and the legacy layout ends every line with one more and
// writes the names as they are.
//
//   formatRows  appends rows [r0, r1) of the table to out
//   printStuff  the whole report; one of 2000 rows or more has its rows
//               formatted in chunks on every thread and written in order
#include "output.h"
#include "parallel.h"

#include <algorithm>

namespace {

// Below this many rows the copies of the chunks cost more than the second
// thread saves.
constexpr int kChunkedFrom = 2000;

void putName(TextOut& out, std::string_view name, ReportLayout layout)
{
    if (layout.quotedNames)
        putField(out, name);
    else
        put(out, name);
}

void formatRows(int V, const Names& names, const Matrix& m, TextOut& out, ReportLayout layout,
                int r0, int r1)
{
    for (int i = r0; i < r1; ++i) {
        putName(out, names[i], layout);
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

// Chunks of rows formatted on the worker threads, appended to out in order.
void formatInChunks(int V, const Names& names, const Matrix& m, TextOut& out, ReportLayout layout,
                    int workers)
{
    const int rows = std::max(1, (1 << 19) / std::max(V, 1));  // about 4 MiB of text
    const int chunks = (V + rows - 1) / rows;
    const size_t room = static_cast<size_t>(rows) * (V + 1) * 14;
    produceInOrder<TextOut>(
        chunks, workers,
        [&](int k, TextOut& chunk) {
            if (chunk.buf.size() < room) chunk.buf.resize(room);  // sized once per slot
            chunk.used = 0;
            formatRows(V, names, m, chunk, layout, k * rows, std::min(V, (k + 1) * rows));
        },
        [&](int, TextOut& chunk) {
            put(out, text(chunk));
            flushOut(out);
        });
}

}  // namespace

void printStuff(int V, const Names& names, const Matrix& m, TextOut& out, ReportLayout layout)
{
    if (!layout.title.empty()) {
        put(out, layout.title);
        endLine(out);
        endLine(out);
    }
    for (int j = 0; j < V; ++j) {
        put(out, "\t");
        putName(out, names[j], layout);
    }
    if (layout.trailingTab) put(out, "\t");
    endLine(out);
    const int workers = threadCount();
    if (out.literal || workers < 2 || V < kChunkedFrom)
        formatRows(V, names, m, out, layout, 0, V);
    else
        formatInChunks(V, names, m, out, layout, workers);
}

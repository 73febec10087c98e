// The matrix report: title, empty line, header of names, one line per row;
// every header and data field is followed by a tab.
//
//   formatRows  appends rows [r0, r1) of the table to out
//   printStuff  the whole report; one of 2000 rows or more has its rows
//               formatted in chunks on every thread and written in order
#include "output.h"
#include "parallel.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Below this many rows the copies of the chunks cost more than the second
// thread saves.
constexpr int kChunkedFrom = 2000;

void formatRows(int V, const Names& names, const Matrix& m, TextOut& out, ReportLayout layout,
                int r0, int r1)
{
    for (int i = r0; i < r1; ++i) {
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

// Chunks of rows formatted by worker threads into a ring of buffers, twice as
// many as workers; the calling thread appends them to out in order.
void formatInChunks(int V, const Names& names, const Matrix& m, TextOut& out, ReportLayout layout,
                    int workers)
{
    const int rows = std::max(1, (1 << 19) / std::max(V, 1));  // about 4 MiB of text
    const int chunks = (V + rows - 1) / rows;
    const int slots = 2 * workers;
    std::vector<TextOut> ring(slots);
    for (TextOut& chunk : ring) chunk.buf.resize(static_cast<size_t>(rows) * (V + 1) * 14);
    std::vector<int> filled(slots, -1);  // the chunk a slot holds, ready to write
    std::mutex lock;
    std::condition_variable changed;
    int claimed = 0, written = 0;
    auto work = [&] {
        for (;;) {
            int k;
            {
                std::unique_lock<std::mutex> hold(lock);
                if (claimed == chunks) return;
                k = claimed++;
                changed.wait(hold, [&] { return k - written < slots; });
            }
            TextOut& chunk = ring[k % slots];
            chunk.used = 0;
            formatRows(V, names, m, chunk, layout, k * rows, std::min(V, (k + 1) * rows));
            {
                std::lock_guard<std::mutex> hold(lock);
                filled[k % slots] = k;
            }
            changed.notify_all();
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < workers; ++t) threads.emplace_back(work);
    for (int k = 0; k < chunks; ++k) {
        {
            std::unique_lock<std::mutex> hold(lock);
            changed.wait(hold, [&] { return filled[k % slots] == k; });
        }
        put(out, text(ring[k % slots]));
        flushOut(out);
        {
            std::lock_guard<std::mutex> hold(lock);
            written = k + 1;
        }
        changed.notify_all();
    }
    for (std::thread& t : threads) t.join();
}

}  // namespace

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
    const int workers = threadCount();
    if (out.literal || workers < 2 || V < kChunkedFrom)
        formatRows(V, names, m, out, layout, 0, V);
    else
        formatInChunks(V, names, m, out, layout, workers);
}

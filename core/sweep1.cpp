// First-order sweep: each pair offered its correlation, then its coefficient
// given each other variable c in ascending order; every pass prunes.
#include "parallel.h"
#include "sweep.h"

#include <algorithm>
#include <charconv>

const std::string& timeNow(Progress& p)
{
    const std::time_t now = std::time(nullptr);
    if (now != p.shown) {
        p.shown = now;
        const char* text = std::ctime(&now);
        p.timeText = text ? text : "?\n";
    }
    return p.timeText;
}

void writeTime(Progress& p) { *p.out << timeNow(p); }

void appendProgressLines(std::string& lines, std::string_view head, int from, int to,
                         std::string_view closing, const std::string& time)
{
    if (from >= to) return;
    const size_t most = head.size() + 11 + closing.size() + time.size();
    size_t at = lines.size();
    lines.resize(at + most * static_cast<size_t>(to - from));
    char* const out = lines.data();
    for (int n = from; n < to; ++n) {
        head.copy(out + at, head.size());
        at += head.size();
        at = std::to_chars(out + at, out + at + 11, n).ptr - out;
        closing.copy(out + at, closing.size());
        at += closing.size();
        time.copy(out + at, time.size());
        at += time.size();
    }
    lines.resize(at);
}

void initCombined(int V, Matrix& combined, const Matrix& corr)
{
    for (int i = 0; i + 1 < V; ++i)
        for (int j = i + 1; j < V; ++j) combined[i][j] = corr[i][j];
}

namespace {

void progressLine1(Progress& p, int c)
{
    if (!p.out) return;
    *p.out << "Controlled for gene " << c + 1 << " at time = ";
    writeTime(p);
}

}  // namespace

void getPartCorrMat1Literal(int V, int N, double pruneZ, Matrix& combined, const Matrix& corr, Progress& p)
{
    const double threshold = thresholdFor(N, pruneZ, 1);
    initCombined(V, combined, corr);
    for (int c = 0; c < V; ++c) {
        for (int i = 0; i < V; ++i) {
            if (i == c) continue;
            for (int j = i + 1; j < V; ++j) {
                if (j == c) continue;
                if (pruned(combined[i][j], threshold)) continue;
                offer(combined[i][j], partialStep(corr[i][j], corr[i][c], corr[j][c]));
            }
        }
        progressLine1(p, c);
        reportDone(p, (c + 1.0) / V);
    }
}

// A pair's value depends only on its own offers, so pairs are independent:
// each runs through the controlling variables of a block in ascending order,
// block after block, and meets its offers in the order of the literal loops.
// The coefficients of i and of j with every c are rows i and j of corr.
void getPartCorrMat1(int V, int N, double pruneZ, Matrix& combined, const Matrix& corr, Progress& p)
{
    const double threshold = thresholdFor(N, pruneZ, 1);
    initCombined(V, combined, corr);
    const int block = 256;
    std::string lines;
    for (int c0 = 0; c0 < V; c0 += block) {
        const int c1 = std::min(V, c0 + block);
        parallelFor(0, V, 0.5 * V * V * (c1 - c0), [&](long il) {
            const int i = static_cast<int>(il);
            double* row = combined[i];
            for (int j = i + 1; j < V; ++j)
                if (!pruned(row[j], threshold))
                    row[j] = offerRun(row[j], corr[i][j], corr[i], corr[j], c0, c1,
                                      i, j, threshold);
        });
        reportDone(p, static_cast<double>(c1) / V);
        if (!p.out) continue;
        lines.clear();
        const std::string& time = timeNow(p);
        appendProgressLines(lines, "Controlled for gene ", c0 + 1, c1 + 1, " at time = ", time);
        *p.out << lines;
    }
}

void getPartCorrMat1InPlace(int V, int N, double pruneZ, Matrix& store, Progress& p)
{
    const Matrix corr = store;
    getPartCorrMat1(V, N, pruneZ, store, corr, p);
}

// Report and network output: the matrix report, the SIF and the NET network
// files, the edge table, GraphML and the HTML report of a run. Every line
// ends in a single line feed; numbers are written as a default-formatted
// stream writes a double (six significant digits), except in the edge table,
// GraphML and the report's data, which write the
// shortest text that reads back as the same double.
#pragma once

#include "core.h"
#include "selection.h"

#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// --- text output ---------------------------------------------------------------

// Bytes in memory that start at a page boundary, so that whole blocks of them
// can go to a file with direct I/O. Grows as a string does; bytes past the old
// size are left unset.
class TextBuffer {
public:
    static constexpr size_t kAlign = 4096;
    TextBuffer() = default;
    explicit TextBuffer(size_t n);
    TextBuffer(TextBuffer&& other) noexcept { swap(other); }
    TextBuffer& operator=(TextBuffer&& other) noexcept
    {
        swap(other);
        return *this;
    }
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    ~TextBuffer();
    char* data() { return data_; }
    const char* data() const { return data_; }
    size_t size() const { return size_; }
    // Keeps the first min(n, size()) bytes.
    void resize(size_t n);
    void swap(TextBuffer& other) noexcept
    {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
    }

private:
    char* data_ = nullptr;
    size_t size_ = 0;
};

// The blocks of a file written in large pieces beside the caller (textout.cpp).
struct BlockWrites;
struct BlockWritesEnd {
    void operator()(BlockWrites* blocks) const;  // waits for the write under way
};

// A file written in large blocks. The literal output (of the reference
// programs) writes every line as it ends and formats numbers through printf's
// %g; any other writes its text once 64 KiB have gathered at a line end, so the
// file holds only whole lines. From directFrom bytes on, a regular file is
// instead written past the page cache (O_DIRECT) in blocks of a few MiB, each
// on a thread of its own while the next one is formatted; a block ends at an
// aligned offset, mid-line as a rule, and finishOut writes the last, partial
// one. A file system that refuses direct I/O gets the same blocks through the
// page cache. fd < 0 collects the text in buf only.
struct TextOut {
    int fd = -1;
    bool literal = false;
    long long directFrom = 0;  // 0: never direct
    TextBuffer buf;   // buf[0, used) is the text gathered, the rest room for more
    size_t used = 0;
    size_t flushAt = 1 << 16;  // endLine writes once this much is gathered
    // Bytes of whole lines in the file; the length a failed write cuts the file
    // back to. Written in blocks, the file may hold part of the next line too.
    long long written = 0;
    int error = 0;  // errno of the first failed write; later writes are dropped
    std::unique_ptr<BlockWrites, BlockWritesEnd> blocks;  // once written in blocks
};
// The text gathered and not yet written.
inline std::string_view text(const TextOut& out) { return {out.buf.data(), out.used}; }
// Makes room for n more bytes after the text.
void growOut(TextOut& out, size_t n);
// Room for n more bytes after the text; the caller advances used.
inline char* room(TextOut& out, size_t n)
{
    if (out.buf.size() - out.used < n) growOut(out, n);
    return out.buf.data() + out.used;
}
// Appends text.
inline void put(TextOut& out, std::string_view text)
{
    text.copy(room(out, text.size()), text.size());
    out.used += text.size();
}
// Writes x as a default-formatted stream writes a double (six significant
// digits) into at least 32 bytes at first; the fast form and the direct one
// give the same text.
char* formatNumber(char* first, char* last, double x);
char* formatNumberPrecise(char* first, char* last, double x);
// Appends a double in the stream's default format ("0.5", "1e-07", "nan", "-nan").
void putNumber(TextOut& out, double x);
// The text putNumber appends, into at least 32 bytes from first, for a
// literal output or another; returns its end.
char* numberText(char* first, double x, bool literal);
// Appends a whole number in plain decimal.
void putInt(TextOut& out, long long n);
// Appends a name as a field of a tab-separated file: as it is, or between
// double quotes with its quotes doubled (as CSV quotes a field) when it holds
// a double quote, a tab or a line end.
void putField(TextOut& out, std::string_view name);
// Writes whatever is gathered (it ends at a line end) to the file; written in
// blocks, all but the bytes past the last aligned offset.
void flushOut(TextOut& out);
// Writes the rest of the text and waits for every write: after it the file
// holds exactly the text, and written is its length (unless a write failed).
void finishOut(TextOut& out);
// Appends whole lines (text ends at a line end); once the block is large,
// writes it to the file.
void putLines(TextOut& out, std::string_view text);
// Ends a line; once the block is large, writes it to the file.
inline void endLine(TextOut& out)
{
    *room(out, 1) = '\n';
    ++out.used;
    if (out.literal || out.used >= out.flushAt) flushOut(out);
}

// --- writers -------------------------------------------------------------------

// Report settings of a program: its title (empty: no title line and no empty
// line after it), whether the table is mirrored from the upper triangle with
// 1 on the diagonal or is the full matrix as stored, whether every line
// ends with a tab (the legacy layout) or the last field ends it, and whether
// names are written as fields (putField) or as they are (the legacy layout).
struct ReportLayout {
    std::string_view title;
    bool mirrored;
    bool trailingTab = true;
    bool quotedNames = false;
};
// Writes the matrix report of m (V x V) with the names (V) to out.
void printStuff(int V, const Names& names, const Matrix& m, TextOut& out, ReportLayout layout);

// Edge labels of a program's SIF files (seven bytes each, spaces included).
struct SifLabels {
    std::string_view positive, negative;
};
// Writes one SIF line per pair i < j whose |m[i][j]| exceeds the threshold
// (not-a-number selects nothing); reads only the strict upper triangle.
void getCytoScapeInput(int V, double threshold, const Matrix& m, TextOut& out, const Names& names,
                       SifLabels labels);
// Writes the NET file: every variable as a vertex, then one weighted,
// coloured edge per pair selected as in getCytoScapeInput.
void getPajekInput(int V, double threshold, const Matrix& m, TextOut& out, const Names& names);
// The smallest of the thresholds that are numbers (infinity when none is): a
// pair is above one of the thresholds exactly when it is above this one.
inline double loosestThreshold(const std::vector<double>& thresholds)
{
    double loosest = std::numeric_limits<double>::infinity();
    for (const double t : thresholds)
        if (t < loosest) loosest = t;
    return loosest;
}
// The files of several levels in one pass over the triangle: *outs[l] gets
// what getCytoScapeInput (getPajekInput) writes at thresholds[l], and an
// edge's line is formed once for all the levels it passes (outs all literal,
// or none).
void getCytoScapeInputs(int V, const std::vector<double>& thresholds, const Matrix& m,
                        const std::vector<TextOut*>& outs, const Names& names, SifLabels labels);
void getPajekInputs(int V, const std::vector<double>& thresholds, const Matrix& m,
                    const std::vector<TextOut*>& outs, const Names& names);

// --- edge lists ------------------------------------------------------------------

// Appends the shortest text that reads back as x ("0.1", "1e-07", "nan", "inf").
void putShortest(TextOut& out, double x);
// Writes one SIF line per edge of the list at level or a stricter one, in
// the list's order, as getCytoScapeInput does.
void writeSif(const Names& names, const EdgeList& edges, int level, SifLabels labels, TextOut& out);
// Writes the NET file: every name as a vertex, then one line per edge of the
// list at level or a stricter one, as getPajekInput does.
void writePajek(const Names& names, const EdgeList& edges, int level, TextOut& out);
// Writes the edge table: a header line "source target r p q level" (tab
// separated), then per edge the two names (as fields, putField), r, p, q in
// shortest form and the name of its level, levelNames[edge.level].
void writeEdgeTable(const Names& names, const EdgeList& edges,
                    const std::vector<std::string>& levelNames, TextOut& out);
// Writes an undirected GraphML 1.0 graph: every name a node ("n0", "n1", ...)
// with its name and its degree among the edges given, then every edge with
// its r, p and q in shortest form (subnormal numbers as zero, for readers
// that refuse them). Names must be UTF-8 without control characters, which
// XML 1.0 cannot hold.
void writeGraphml(const Names& names, const EdgeList& edges, TextOut& out);

// --- the HTML report -----------------------------------------------------------

// A level of the networks as the report names and explains it.
struct ReportLevel {
    std::string name;        // as in the file names: "0.01", "0.001" or for FDR levels "q0.05"
    std::string rule;        // what selects its edges, for people: "p < 0.01 (|r| > 0.2289)" or "q <= 0.05"
    long long edges;         // edges at this level
    double threshold;        // the |r| an edge must exceed; NaN for FDR levels
};
// What the report tells about the run besides the network.
struct RunFacts {
    std::string table;       // the table's file name as given ("-" for standard input)
    std::string version;     // assocnet's version
    std::string method;      // "Pearson" or "Spearman"
    int order;               // 0..3
    double pruneAlpha;       // pruning level of the sweeps (unused at order 0)
    int genes, samples;      // used
    std::vector<std::string> dropped;  // one line per dropped gene or sample, with why ("G5: constant")
    std::vector<ReportLevel> levels;   // loosest first
    double seconds;          // run time
};
// The most edges the page draws at one level: the strongest by |r|.
inline constexpr long long kMaxDrawnEdges = 5000;
// Writes the report, one HTML file that needs nothing else: the page (its
// scripts and style inlined) with the run's data as JSON: the facts, all
// names, the edges of the loosest level (every one), the histogram. The same
// arguments give the same bytes.
void writeHtmlReport(const RunFacts& run, const Names& names, const EdgeList& edges,
                     const Histogram& kept, TextOut& out);

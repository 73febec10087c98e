// Report and network output: the matrix report, the SIF and the NET network
// files. Every line ends in a single line feed; numbers are written as a
// default-formatted stream writes a double (six significant digits).
#pragma once

#include "../core/core.h"

#include <string>
#include <string_view>

// --- text output ---------------------------------------------------------------

// A file written in large blocks that always end at a line end, so the file
// never holds a partial line. The literal output (of the reference programs)
// writes every line as it ends and formats numbers through printf's %g.
// fd < 0 collects the text in buf only.
struct TextOut {
    int fd = -1;
    bool literal = false;
    std::string buf;  // buf[0, used) is the text gathered, the rest room for more
    size_t used = 0;
    long long written = 0;  // bytes in the file, always up to a line end
    int error = 0;  // errno of the first failed write; later writes are dropped
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
// Appends a whole number in plain decimal.
void putInt(TextOut& out, long long n);
// Writes whatever is gathered (it ends at a line end) to the file.
void flushOut(TextOut& out);
// Ends a line; once the block is large, writes it to the file.
inline void endLine(TextOut& out)
{
    *room(out, 1) = '\n';
    ++out.used;
    if (out.literal || out.used >= (1u << 16)) flushOut(out);
}

// --- writers -------------------------------------------------------------------

// Report settings of a program: its title and whether the table is mirrored
// from the upper triangle with 1 on the diagonal, or the full matrix as stored.
struct ReportLayout {
    std::string_view title;
    bool mirrored;
};
// Writes the matrix report of m (V x V) with the names (V) to out.
void printStuff(int V, const Names& names, const Matrix& m, TextOut& out, ReportLayout layout);

// Edge labels of a program's SIF files (seven bytes each, spaces included).
struct SifLabels {
    std::string_view positive, negative;
};
// Writes one SIF line per pair i < j whose |m[i][j]| exceeds the threshold of
// the given order for N and z; reads only the strict upper triangle.
void getCytoScapeInput(int V, int N, double z, const Matrix& m, TextOut& out, const Names& names,
                       int order, SifLabels labels);
// Writes the NET file: every variable as a vertex, then one weighted,
// coloured edge per pair selected as in getCytoScapeInput.
void getPajekInput(int V, int N, double z, const Matrix& m, TextOut& out, const Names& names,
                   int order);

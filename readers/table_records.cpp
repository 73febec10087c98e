// A table's text cut into lines, records and fields.
#include "table_records.h"

#include <algorithm>
#include <cstring>

namespace {

// How far the text is searched for control bytes.
constexpr size_t kSniffBytes = 64 * 1024;

// Offset of the first c at or after from, or text.size().
size_t findByte(std::string_view text, char c, size_t from)
{
    if (from >= text.size()) return text.size();
    const void* p = std::memchr(text.data() + from, c, text.size() - from);
    return p ? static_cast<size_t>(static_cast<const char*>(p) - text.data()) : text.size();
}

// True when the CR at offset k ends a line by itself (no LF follows).
bool loneCr(std::string_view text, size_t k)
{
    return text[k] == '\r' && (k + 1 == text.size() || text[k + 1] != '\n');
}

// Number of line ends (LF, CRLF, lone CR) in text[from, to).
size_t lineEndsIn(std::string_view text, size_t from, size_t to)
{
    size_t n = 0;
    for (size_t k = from; k < to; ++k) n += text[k] == '\n' || loneCr(text, k);
    return n;
}

// True when the first bytes hold a NUL in every second position, and not only
// NULs: UTF-16 text without a byte-order mark.
bool halfNul(std::string_view text)
{
    const size_t n = std::min<size_t>(text.size(), 64) & ~size_t{1};
    if (n < 2) return false;
    bool evenNul = true, oddNul = true;
    for (size_t k = 0; k < n; k += 2) {
        evenNul = evenNul && text[k] == '\0';
        oddNul = oddNul && text[k + 1] == '\0';
    }
    return evenNul != oddNul;
}

bool atEnd(const Lines& l) { return l.pos >= l.text.size(); }

// Moves to the line after the line end at offset end.
void pastLineEnd(Lines& l, size_t end)
{
    l.pos = end + 1;
    if (end < l.text.size() && l.text[end] == '\r' && l.pos < l.text.size() && l.text[l.pos] == '\n')
        ++l.pos;
    ++l.line;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\f' || c == '\v'; }

bool isComment(std::string_view line) { return !line.empty() && (line[0] == '#' || line[0] == '!'); }

// True for the line that ends the table of a GEO series matrix.
bool isTableEnd(std::string_view line)
{
    constexpr std::string_view kEnd = "!series_matrix_table_end";
    if (line.substr(0, kEnd.size()) != kEnd) return false;
    return std::all_of(line.begin() + kEnd.size(), line.end(), isBlank);
}

// True for a line of blanks only (or of blanks and delimiters, in a CSV table).
bool isEmptyLine(std::string_view line, char delimiter)
{
    for (char c : line)
        if (!isBlank(c) && c != delimiter) return false;
    return true;
}

}  // namespace

std::string atLine(size_t line) { return "line " + std::to_string(line) + ": "; }

std::string notText(std::string_view text)
{
    const auto startsWith = [&](std::string_view p) { return text.substr(0, p.size()) == p; };
    if (startsWith("\x1f\x8b")) return atLine(1) + "is gzip-compressed; inflate it first";
    if (startsWith("\xff\xfe") || startsWith("\xfe\xff") || halfNul(text))
        return atLine(1) + "looks like UTF-16 text; save it as UTF-8";
    if (startsWith("PK\x03\x04"))
        return atLine(1) +
               "looks like a zip archive (a spreadsheet workbook?); save it as tab-separated or CSV text";
    const size_t n = std::min(text.size(), kSniffBytes);
    for (size_t k = 0; k < n; ++k) {
        const unsigned char c = static_cast<unsigned char>(text[k]);
        if ((c < 32 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != '\v') || c == 127)
            return atLine(1 + lineEndsIn(text, 0, k)) + "looks like binary data, not a text table";
    }
    return "";
}

Lines linesFrom(std::string_view text, size_t pos)
{
    return Lines{text, pos, 1, findByte(text, '\n', pos), findByte(text, '\r', pos)};
}

size_t lineEnd(Lines& l)
{
    if (l.lf < l.pos) l.lf = findByte(l.text, '\n', l.pos);
    if (l.cr < l.pos) l.cr = findByte(l.text, '\r', l.pos);
    return std::min(l.lf, l.cr);
}

bool toRecord(Lines& l, char delimiter, bool comments, bool& sawComment)
{
    while (!atEnd(l)) {
        const size_t end = lineEnd(l);
        const std::string_view line = l.text.substr(l.pos, end - l.pos);
        if (comments && isComment(line))
            sawComment = true;
        else if (!isEmptyLine(line, delimiter) && !isTableEnd(line))
            return true;
        pastLineEnd(l, end);
    }
    return false;
}

char delimiterOf(std::string_view line)
{
    if (line.find('\t') != kNone) return '\t';
    size_t commas = 0, semicolons = 0;
    bool quoted = false;
    for (char c : line) {
        quoted = quoted != (c == '"');
        commas += !quoted && c == ',';
        semicolons += !quoted && c == ';';
    }
    return semicolons > commas ? ';' : commas > 0 ? ',' : ' ';
}

std::string nextRecord(Lines& l, char delimiter, Record& rec)
{
    const std::string_view text = l.text;
    size_t k = lineEnd(l);
    rec.begin = l.pos;
    rec.line = l.line;
    if (quotes(delimiter) && text.substr(l.pos, k - l.pos).find('"') != kNone) {
        // Fields that start with a quote run to the closing quote.
        for (k = l.pos;;) {
            if (k < text.size() && text[k] == '"') {
                const size_t openLine = l.line;
                for (++k;;) {
                    const size_t q = findByte(text, '"', k);
                    if (q == text.size()) return atLine(openLine) + "a quoted field is not closed";
                    l.line += lineEndsIn(text, k, q);
                    k = q + 1;
                    if (k == text.size() || text[k] != '"') break;
                    ++k;
                }
            }
            while (k < text.size() && text[k] != delimiter && text[k] != '\n' && text[k] != '\r') ++k;
            if (k == text.size() || text[k] != delimiter) break;
            ++k;
        }
    }
    rec.end = k;
    pastLineEnd(l, k);
    return "";
}

void splitFields(std::string_view rec, char delimiter, std::vector<std::string_view>& fields)
{
    fields.clear();
    const size_t n = rec.size();
    if (delimiter == ' ') {
        for (size_t k = 0;;) {
            while (k < n && isBlank(rec[k])) ++k;
            if (k == n) break;
            const size_t start = k;
            while (k < n && !isBlank(rec[k])) ++k;
            fields.push_back(rec.substr(start, k - start));
        }
        return;
    }
    for (size_t k = 0;;) {
        const size_t start = k;
        if (quotes(delimiter) && k < n && rec[k] == '"') {
            for (++k; k < n; ++k) {  // to the closing quote; "" stays inside
                if (rec[k] != '"') continue;
                if (k + 1 == n || rec[k + 1] != '"') break;
                ++k;
            }
        }
        while (k < n && rec[k] != delimiter) ++k;
        fields.push_back(rec.substr(start, k - start));
        if (k == n) break;
        ++k;
    }
}

std::string_view unquoted(std::string_view f)
{
    return f.size() >= 2 && f.front() == '"' && f.back() == '"' ? f.substr(1, f.size() - 2) : f;
}

std::string_view csvContent(std::string_view f, std::string& scratch)
{
    if (f.empty() || f[0] != '"') return f;
    if (f.find('"', 1) == f.size() - 1) return f.substr(1, f.size() - 2);
    scratch.clear();
    for (size_t k = 1;;) {
        const size_t q = f.find('"', k);
        scratch.append(f.substr(k, q == kNone ? kNone : q - k));
        if (q == kNone) break;
        if (q + 1 < f.size() && f[q + 1] == '"') {
            scratch += '"';
            k = q + 2;
            continue;
        }
        scratch.append(f.substr(q + 1));
        break;
    }
    return scratch;
}

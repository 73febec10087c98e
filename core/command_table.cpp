// The reader of the expression tables that assocnet and the API take:
// refuses bytes that are no text table, finds the name line and the
// delimiter, then the records (the lines, or for CSV the lines joined where a
// quoted field holds a line end), sets aside the separators that end every
// line, decides whether the first line is the name line, splits the records
// into fields, reads the values (blocks of records in parallel, each into its
// own cells), lays the cells out gene-major and applies the missing-value
// policy. Fields stay views of the text; only names are copied. Also the
// checks of names and values that any table passes before its statistics.
#include "table.h"

#include "parallel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {

constexpr size_t kNone = std::string_view::npos;
// How far the text is searched for control bytes.
constexpr size_t kSniffBytes = 64 * 1024;
// What a missing cell holds until the policy has been applied; parseNumber
// never yields it.
constexpr double kMissing = std::numeric_limits<double>::quiet_NaN();

std::string at(size_t line) { return "line " + std::to_string(line) + ": "; }

// A token as it may stand in a message: about 40 bytes, characters as they
// are (UTF-8 included), control bytes and bytes that are not UTF-8 as \xNN.
std::string shown(std::string_view token)
{
    std::string s;
    size_t k = 0;
    while (k < token.size() && k < 40) {
        const unsigned char c = static_cast<unsigned char>(token[k]);
        const size_t n = c >= 0x80 ? utf8Sequence(token, k) : c >= 32 && c < 127 ? 1 : 0;
        if (n > 0) {
            s.append(token.substr(k, n));
            k += n;
            continue;
        }
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02x", c);
        s += hex;
        ++k;
    }
    if (k < token.size()) s += "...";
    return s;
}

bool isUtf8(std::string_view text)
{
    for (size_t k = 0; k < text.size();) {
        const size_t n = static_cast<unsigned char>(text[k]) < 0x80 ? 1 : utf8Sequence(text, k);
        if (n == 0) return false;
        k += n;
    }
    return true;
}

// The characters of Windows-1252 at 0x80 to 0x9f; its five unused bytes
// stand for the control characters of ISO-8859-1 there.
constexpr char16_t kCp1252[32] = {
    0x20ac, 0x0081, 0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021, 0x02c6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008d, 0x017d, 0x008f, 0x0090, 0x2018, 0x2019, 0x201c, 0x201d, 0x2022,
    0x2013, 0x2014, 0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0x009d, 0x017e, 0x0178};

// Text in ISO-8859-1 or Windows-1252 as UTF-8.
std::string toUtf8(std::string_view text, NameEncoding from)
{
    std::string s;
    for (char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        const bool windows = from == NameEncoding::cp1252 && c >= 0x80 && c < 0xa0;
        const unsigned u = windows ? kCp1252[c - 0x80] : c;
        if (u < 0x80) {
            s += ch;
        } else if (u < 0x800) {
            s += static_cast<char>(0xc0 | u >> 6);
            s += static_cast<char>(0x80 | (u & 0x3f));
        } else {
            s += static_cast<char>(0xe0 | u >> 12);
            s += static_cast<char>(0x80 | (u >> 6 & 0x3f));
            s += static_cast<char>(0x80 | (u & 0x3f));
        }
    }
    return s;
}

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

// Why the bytes are no text table (compressed, UTF-16, a zip archive or
// binary), or "".
std::string notText(std::string_view text)
{
    const auto startsWith = [&](std::string_view p) { return text.substr(0, p.size()) == p; };
    if (startsWith("\x1f\x8b")) return at(1) + "is gzip-compressed; inflate it first";
    if (startsWith("\xff\xfe") || startsWith("\xfe\xff") || halfNul(text))
        return at(1) + "looks like UTF-16 text; save it as UTF-8";
    if (startsWith("PK\x03\x04"))
        return at(1) +
               "looks like a zip archive (a spreadsheet workbook?); save it as tab-separated or CSV text";
    const size_t n = std::min(text.size(), kSniffBytes);
    for (size_t k = 0; k < n; ++k) {
        const unsigned char c = static_cast<unsigned char>(text[k]);
        if ((c < 32 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != '\v') || c == 127)
            return at(1 + lineEndsIn(text, 0, k)) + "looks like binary data, not a text table";
    }
    return "";
}

// The text walked line by line; a line ends in LF, CRLF or a lone CR.
struct Lines {
    std::string_view text;
    size_t pos = 0;         // start of the current line
    size_t line = 1;        // its number
    size_t lf = 0, cr = 0;  // the next LF and CR at or after pos (text.size(): none)
};

Lines linesFrom(std::string_view text, size_t pos)
{
    return Lines{text, pos, 1, findByte(text, '\n', pos), findByte(text, '\r', pos)};
}

bool atEnd(const Lines& l) { return l.pos >= l.text.size(); }

// Offset of the end of the current line: its line-end byte or text.size().
size_t lineEnd(Lines& l)
{
    if (l.lf < l.pos) l.lf = findByte(l.text, '\n', l.pos);
    if (l.cr < l.pos) l.cr = findByte(l.text, '\r', l.pos);
    return std::min(l.lf, l.cr);
}

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

// Moves to the next line that holds part of the table, passing over empty
// lines, GEO's closing line and, while comments is set, comment lines
// (setting sawComment); false at the end of the text.
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

// The delimiter that the name line uses: tab, else semicolon or comma,
// whichever stands more often outside double quotes, else blanks.
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

// True for the delimiters of CSV, whose fields may be quoted.
bool quotes(char delimiter) { return delimiter == ',' || delimiter == ';'; }

// A record: the text of a table line (for CSV, of the lines that quotes
// join) without its line end, and the number of the line it starts on.
struct Record {
    size_t begin = 0, end = 0;
    size_t line = 0;
};

// Fills rec with the record at the current line (toRecord stopped there) and
// moves past it; "" or why it cannot be a record (an unclosed quote).
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
                    if (q == text.size()) return at(openLine) + "a quoted field is not closed";
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

// Fills fields with the raw fields of a record (views of it).
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

// The field without one pair of surrounding double quotes.
std::string_view unquoted(std::string_view f)
{
    return f.size() >= 2 && f.front() == '"' && f.back() == '"' ? f.substr(1, f.size() - 2) : f;
}

// What a CSV field stands for: a quoted field loses its quotes, "" inside it
// is one quote, and whatever follows the closing quote is kept as it is.
// Decoded text goes to scratch when it differs from a part of the field.
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

// The tokens of missing values besides the empty one, compared in any case.
constexpr std::string_view kMissingWords[] = {"na", "nan", "null", "n/a", "#n/a", "none"};

// True when t is word in any case (word in lower case).
bool sameWord(std::string_view t, std::string_view word)
{
    if (t.size() != word.size()) return false;
    for (size_t k = 0; k < t.size(); ++k) {
        const char c = t[k] >= 'A' && t[k] <= 'Z' ? static_cast<char>(t[k] - 'A' + 'a') : t[k];
        if (c != word[k]) return false;
    }
    return true;
}

std::string lowerCase(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// How a number of a ';' table was written: with a decimal comma, a decimal
// point, or neither.
enum class Decimal { none, comma, point };

bool allDigits(std::string_view t)
{
    return !t.empty() && std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// How the fields of this table are read; one per thread (scratch).
struct Reading {
    const TableOptions& options;
    char delimiter;
    const Names& naValues;  // options.naValues in lower case
    std::string scratch;    // a decoded CSV field
    std::string number;     // a number with its decimal comma as a point

    // The text of a field as a value.
    std::string_view content(std::string_view f)
    {
        return quotes(delimiter) ? csvContent(f, scratch) : unquoted(f);
    }
    bool isMissing(std::string_view t) const
    {
        if (t.empty()) return true;
        if (t.size() <= 4)
            for (std::string_view w : kMissingWords)
                if (sameWord(t, w)) return true;
        for (const std::string& w : naValues)
            if (sameWord(t, w)) return true;
        return false;
    }
    // Reads a value into x: "" or why it is no number. In a ';' table a
    // number may have a decimal comma instead of a point (how tells which).
    std::string value(std::string_view t, double& x, Decimal& how)
    {
        how = Decimal::none;
        const size_t comma = delimiter == ';' ? t.find(',') : kNone;
        if (comma == kNone) {
            if (delimiter == ';' && t.find('.') != kNone) how = Decimal::point;
            return parseNumber(t, x);
        }
        how = Decimal::comma;
        if (t.find_first_of(".,", comma + 1) != kNone || t.substr(0, comma).find('.') != kNone)
            return "expected a number with one decimal comma (the table is separated by ';')";
        number.assign(t);
        number[comma] = '.';
        return parseNumber(number, x);
    }
    // A field as a gene or sample name.
    std::string name(std::string_view f, bool gene)
    {
        std::string s;
        if (!options.legacyNames) {
            s = content(f);
        } else {
            s = f;
            const size_t dash = s.find('-');
            if (gene && dash != kNone) s.erase(dash, 1);
        }
        return options.encoding == NameEncoding::utf8 ? s : toUtf8(s, options.encoding);
    }
};

std::string plural(long long n, const char* word)
{
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// The data lines as read: a name per line and its cells, gene-major.
struct Rows {
    const std::vector<Record>& records;
    const Names& columns;  // the names of the value columns
    size_t width;          // fields per line
    bool genes;            // the lines are genes (else samples)
    Names names;
    std::vector<double> values;  // missing cells hold kMissing
};

// A cell of the data lines: its row (kNone: none) and value column.
struct Cell {
    size_t row = kNone, column = 0;
};

// What reading a run of lines found: its first problem, its missing cells,
// and in a ';' table its first number with a decimal comma and its first
// with a decimal point.
struct Findings {
    std::string problem;
    size_t problemRow = kNone;
    long long missing = 0;
    Cell firstMissing, firstComma, firstPoint;
};

// Where a cell stands, for a message: "line L: gene "G", sample "S" (column C): ".
std::string cellAt(const Rows& rows, const Cell& cell)
{
    const std::string& gene = rows.genes ? rows.names[cell.row] : rows.columns[cell.column];
    const std::string& sample = rows.genes ? rows.columns[cell.column] : rows.names[cell.row];
    return at(rows.records[cell.row].line) + "gene \"" + shown(gene) + "\", sample \"" +
           shown(sample) + "\" (column " + std::to_string(cell.column + 2) + "): ";
}

// Reads the lines [first, last) into rows; stops at the first problem.
void readRows(std::string_view text, Reading r, Rows& rows, size_t first, size_t last, Findings& f)
{
    std::vector<std::string_view> fields;
    fields.reserve(rows.width);
    const size_t columns = rows.width - 1, count = rows.records.size();
    for (size_t row = first; row < last; ++row) {
        const Record& rec = rows.records[row];
        const auto where = [&] { return at(rec.line); };
        splitFields(text.substr(rec.begin, rec.end - rec.begin), r.delimiter, fields);
        if (fields.size() != rows.width) {
            f.problemRow = row;
            f.problem = where() + std::to_string(fields.size()) + " fields, expected " +
                        std::to_string(rows.width) + " (a " + (rows.genes ? "gene" : "sample") +
                        " name and " + plural(static_cast<long long>(columns), "value") + ")";
            return;
        }
        rows.names[row] = r.name(fields[0], rows.genes);
        if (rows.genes && rows.names[row].empty()) {
            f.problemRow = row;
            f.problem = where() + "the gene name (column 1) is empty";
            return;
        }
        if (columns == 0) continue;
        double* cell = rows.values.data() + (rows.genes ? row * columns : row);
        const size_t step = rows.genes ? 1 : count;
        for (size_t c = 0; c < columns; ++c, cell += step) {
            const std::string_view t = r.content(fields[c + 1]);
            Decimal how;
            if (r.isMissing(t)) {
                *cell = kMissing;
                if (f.missing++ == 0) f.firstMissing = {row, c};
            } else if (std::string why = r.value(t, *cell, how); !why.empty()) {
                f.problemRow = row;
                f.problem = cellAt(rows, {row, c}) + why + ", found \"" + shown(t) + "\"";
                return;
            } else if (how == Decimal::comma && f.firstComma.row == kNone) {
                f.firstComma = {row, c};
            } else if (how == Decimal::point && f.firstPoint.row == kNone) {
                f.firstPoint = {row, c};
            }
        }
    }
}

// Leaves out every gene with a missing cell, listing it in droppedGenes.
void dropGenes(Table& t)
{
    const size_t S = t.samples.size();
    size_t kept = 0;
    for (size_t g = 0; g < t.genes.size(); ++g) {
        const double* row = t.values.data() + g * S;
        if (std::any_of(row, row + S, [](double x) { return std::isnan(x); })) {
            t.droppedGenes.push_back(std::move(t.genes[g]));
            continue;
        }
        if (kept != g) {
            std::copy_n(row, S, t.values.data() + kept * S);
            t.genes[kept] = std::move(t.genes[g]);
        }
        ++kept;
    }
    t.genes.resize(kept);
    t.values.resize(kept * S);
}

// Leaves out every sample with a missing cell, listing it in droppedSamples.
void dropSamples(Table& t)
{
    const size_t S = t.samples.size();
    std::vector<char> gone(S, 0);
    for (size_t k = 0; k < t.values.size(); ++k)
        if (std::isnan(t.values[k])) gone[k % S] = 1;
    size_t out = 0;
    for (size_t g = 0; g < t.genes.size(); ++g)
        for (size_t s = 0; s < S; ++s)
            if (!gone[s]) t.values[out++] = t.values[g * S + s];
    t.values.resize(out);
    Names kept;
    for (size_t s = 0; s < S; ++s)
        (gone[s] ? t.droppedSamples : kept).push_back(std::move(t.samples[s]));
    t.samples.swap(kept);
}

// What the first line says of itself when it is as wide as the data lines.
enum class FirstLine {
    names,    // it holds text (or quoted fields): the name line
    ids,      // distinct whole numbers: the name line unless the values are all whole numbers too
    numbers,  // numbers (or missing values) that could as well be a data line's
};

FirstLine firstLine(Reading& r, const std::vector<std::string_view>& fields)
{
    // An empty first field is an empty corner, as spreadsheets and R write it.
    if (fields.size() < 2 || r.content(fields[0]).empty()) return FirstLine::names;
    bool ids = true, leadingZero = false;
    std::vector<std::string> tokens;
    for (size_t k = 1; k < fields.size(); ++k) {
        if (fields[k].size() >= 2 && fields[k].front() == '"') return FirstLine::names;
        const std::string_view t = r.content(fields[k]);
        double x;
        Decimal how;
        if (r.isMissing(t)) {
            ids = false;
            continue;
        }
        if (!r.value(t, x, how).empty()) return FirstLine::names;
        ids = ids && allDigits(t);
        leadingZero = leadingZero || (t.size() > 1 && t[0] == '0');
        tokens.emplace_back(t);
    }
    std::sort(tokens.begin(), tokens.end());
    if (!ids || std::adjacent_find(tokens.begin(), tokens.end()) != tokens.end())
        return FirstLine::numbers;
    // No number is written with a leading zero: those are IDs.
    return leadingZero ? FirstLine::names : FirstLine::ids;
}

std::string readInto(std::string_view text, const TableOptions& options, Table& table)
{
    if (std::string why = notText(text); !why.empty()) return why;
    const size_t bom = text.substr(0, 3) == "\xef\xbb\xbf" ? 3 : 0;
    Lines l = linesFrom(text, bom);
    bool sawComment = false;
    if (!toRecord(l, ' ', true, sawComment))
        return at(1) + (sawComment ? "the file holds no table: only comment lines"
                                   : "the file is empty; expected the name line");

    // The name line decides the delimiter.
    const char delimiter = delimiterOf(text.substr(l.pos, lineEnd(l) - l.pos));
    table.delimiter = delimiter;
    Names naValues;
    for (const std::string& w : options.naValues) naValues.push_back(lowerCase(w));
    Reading r{options, delimiter, naValues, {}, {}};
    const bool genes = !options.samplesInRows;  // the data lines are genes
    const std::string lineWord = genes ? "gene" : "sample";
    const bool header = options.header != HeaderRule::absent;

    // Every record; comments only before the first. A problem in finding
    // them counts after those of the records before it.
    std::vector<Record> records;
    std::string late;
    for (Record rec; toRecord(l, delimiter, records.empty(), sawComment);) {
        late = nextRecord(l, delimiter, rec);
        if (!late.empty()) break;
        records.push_back(rec);
    }
    const auto fieldsOf = [&](const Record& rec) {
        std::vector<std::string_view> f;
        splitFields(text.substr(rec.begin, rec.end - rec.begin), delimiter, f);
        return f;
    };
    if (records.empty()) return !late.empty() ? late : at(1) + "the file is empty; expected the name line";
    if (header && records.size() == 1)
        return !late.empty() ? late
                             : at(records[0].line) + "no " + lineWord + " lines after the name line";

    // Separators that end every line stand before no column: a column empty
    // on every line, the name line included, then one that only the data
    // lines have beyond the names, or only the name line beyond the data.
    const auto trails = [&](const Record& rec) {
        return delimiter != ' ' && rec.end > rec.begin && text[rec.end - 1] == delimiter;
    };
    const auto dataTrail = [&] { return std::all_of(records.begin() + header, records.end(), trails); };
    const auto dropData = [&] {
        for (auto it = records.begin() + header; it != records.end(); ++it) --it->end;
    };
    size_t everyLine = 0, dataOnly = 0, nameOnly = 0;
    if (!header) {
        for (; dataTrail(); ++everyLine) dropData();
    } else {
        for (; trails(records[0]) && dataTrail(); ++everyLine) --records[0].end, dropData();
        size_t named = fieldsOf(records[0]).size(), width = fieldsOf(records[1]).size();
        for (; width > named && dataTrail(); ++dataOnly) --width, dropData();
        for (; named >= width && trails(records[0]); ++nameOnly) --named, --records[0].end;
    }
    const std::string separator = delimiter == '\t' ? "tab" : delimiter == ',' ? "comma" : "semicolon";
    const auto separators = [&](size_t n) {
        return n == 1 ? "a " + separator : std::to_string(n) + " " + separator + "s";
    };
    if (everyLine > 0)
        table.warnings.push_back("every line ends with " + separators(everyLine) +
                                 (everyLine > 1 ? ": the empty columns after them are ignored"
                                                : ": the empty column after it is ignored"));
    if (dataOnly > 0)
        table.warnings.push_back("every " + lineWord + " line ends with " + separators(dataOnly) +
                                 " that the name line does not have: ignored");
    if (nameOnly > 0)
        table.warnings.push_back("the name line ends with " + separators(nameOnly) + " that the " +
                                 lineWord + " lines do not have: ignored");

    const Record head = records[0];
    const size_t width = fieldsOf(records[header]).size();
    Names columns;
    bool unlessWhole = false;  // a name line of IDs, unless every value is a whole number
    const std::string ambiguous =
        "the first line could be the name line or a " + lineWord + " line: ";
    const std::string sayWhich = "; say which with --header or --no-header";
    if (!header) {
        table.nameLine = false;
        for (size_t k = 1; k < width; ++k) columns.push_back(std::to_string(k));
    } else {
        const std::vector<std::string_view> names = fieldsOf(head);
        if (names.size() == width && options.header == HeaderRule::detect) {
            const FirstLine kind = firstLine(r, names);
            if (kind == FirstLine::numbers)
                return at(head.line) + ambiguous +
                       "every field after the first is a number (or a missing value)" + sayWhich;
            unlessWhole = kind == FirstLine::ids;
        }
        if (names.size() != width && names.size() + 1 != width) {
            const std::string b = std::to_string(width);
            return at(head.line) + "the name line has " + std::to_string(names.size()) +
                   " fields but the " + lineWord + " lines have " + b + "; expected " + b + " or " +
                   std::to_string(width - 1);
        }
        table.cornerToken = names.size() == width;
        for (size_t k = table.cornerToken; k < names.size(); ++k) {
            columns.push_back(r.name(names[k], !genes));
            if (!genes && columns.back().empty())
                return at(head.line) + "the gene name in column " +
                       std::to_string(k + 1 + !table.cornerToken) + " is empty";
        }
        records.erase(records.begin());
    }

    // The data lines, in blocks that threads read independently.
    Rows rows{records, columns, width, genes, Names(records.size()), {}};
    rows.values.resize(records.size() * columns.size());
    constexpr size_t kBlock = 32;
    const size_t blocks = (records.size() + kBlock - 1) / kBlock;
    std::vector<Findings> found(blocks);
    parallelFor(0, static_cast<long>(blocks), 30.0 * static_cast<double>(rows.values.size()),
                [&](long b) {
                    const size_t from = static_cast<size_t>(b) * kBlock;
                    readRows(text, r, rows, from, std::min(from + kBlock, records.size()), found[b]);
                });
    long long missing = 0;
    Findings first;  // the first cell of each kind
    const auto keep = [](Cell& cell, const Cell& seen) {
        if (cell.row == kNone) cell = seen;
    };
    for (const Findings& f : found) {
        if (!f.problem.empty()) return f.problem;
        keep(first.firstMissing, f.firstMissing);
        keep(first.firstComma, f.firstComma);
        keep(first.firstPoint, f.firstPoint);
        missing += f.missing;
    }
    if (!late.empty()) return late;
    if (unlessWhole && std::all_of(rows.values.begin(), rows.values.end(),
                                   [](double x) { return std::isnan(x) || std::floor(x) == x; }))
        return at(head.line) + ambiguous + "its fields after the first are distinct whole numbers, " +
               "and so are the values" + sayWhich;
    if (first.firstComma.row != kNone && first.firstPoint.row != kNone) {
        const auto token = [&](const Cell& cell) {
            return shown(r.content(fieldsOf(records[cell.row])[cell.column + 1]));
        };
        return cellAt(rows, first.firstPoint) + "expected a number with a decimal comma, as \"" +
               token(first.firstComma) + "\" on line " +
               std::to_string(records[first.firstComma.row].line) +
               " (the table is separated by ';'), found \"" + token(first.firstPoint) + "\"";
    }
    table.decimalComma = first.firstComma.row != kNone;

    table.values.swap(rows.values);
    (genes ? table.genes : table.samples).swap(rows.names);
    (genes ? table.samples : table.genes).swap(columns);
    table.missingValues = missing;
    if (missing == 0) return "";
    switch (options.missing) {
    case MissingPolicy::refuse: {
        const size_t row = first.firstMissing.row, column = first.firstMissing.column;
        const std::string& gene = genes ? table.genes[row] : table.genes[column];
        const std::string& sample = genes ? table.samples[column] : table.samples[row];
        return at(records[row].line) + plural(missing, "missing value") +
               " (empty, NA, NaN, null, N/A, #N/A or None); the first is gene \"" + shown(gene) +
               "\", sample \"" + shown(sample) +
               "\"; use --missing drop-genes or --missing drop-samples";
    }
    case MissingPolicy::dropGenes: dropGenes(table); break;
    case MissingPolicy::dropSamples: dropSamples(table); break;
    }
    return "";
}

}  // namespace

std::string readTable(std::string_view text, const TableOptions& options, Table& table)
{
    table = Table{};
    std::string why = readInto(text, options, table);
    if (!why.empty()) table = Table{};
    return why;
}

size_t utf8Sequence(std::string_view text, size_t k)
{
    const auto byte = [&](size_t m) { return static_cast<unsigned char>(text[k + m]); };
    const unsigned char c = byte(0);
    const size_t more = c >= 0xc2 && c <= 0xdf   ? 1
                        : c >= 0xe0 && c <= 0xef ? 2
                        : c >= 0xf0 && c <= 0xf4 ? 3
                                                 : 0;
    if (more == 0 || text.size() - k <= more) return 0;
    for (size_t m = 1; m <= more; ++m)
        if ((byte(m) & 0xc0) != 0x80) return 0;
    // No overlong forms, no surrogates, nothing past U+10FFFF.
    const unsigned char second = byte(1);
    if ((c == 0xe0 && second < 0xa0) || (c == 0xed && second >= 0xa0) ||
        (c == 0xf0 && second < 0x90) || (c == 0xf4 && second >= 0x90))
        return 0;
    return more + 1;
}

std::string namesNotUtf8(const Names& genes, const Names& samples)
{
    constexpr size_t kShown = 3;
    size_t count = 0;
    std::string some;
    const auto look = [&](const Names& names, const char* what) {
        for (const std::string& name : names) {
            if (isUtf8(name)) continue;
            if (++count <= kShown)
                some += (count > 1 ? ", " : "") + std::string(what) + " \"" + shown(name) + "\"";
        }
    };
    look(genes, "gene");
    look(samples, "sample");
    if (count == 0) return "";
    return plural(static_cast<long long>(count), "name") + (count == 1 ? " is" : " are") +
           " not UTF-8 text: " + some + (count > kShown ? " and more" : "") +
           "; convert the table with iconv -f WINDOWS-1252 -t UTF-8 (or from its own encoding), "
           "or read it with --encoding cp1252 or --encoding latin1";
}

// The spread of a gene's values (largest minus smallest) within which the
// covariance's sums of products, and the product of two variances, stay
// normal doubles for any number of samples: a variance lies between the
// squared spread over 2(N - 1) and half the squared spread.
constexpr double kWidestSpread = 1e75, kNarrowestSpread = 1e-70;

std::string valuesOutOfRange(const double* values, long geneStride, long sampleStride,
                             const Names& genes, const Names& samples)
{
    const size_t S = samples.size();
    if (S == 0) return "";
    // The sum of a gene's values, for its mean, stays finite below this.
    const double largest = std::numeric_limits<double>::max() / static_cast<double>(S);
    size_t count = 0;
    std::string first;  // the first gene out of range and its values
    bool wide = false;
    for (size_t g = 0; g < genes.size(); ++g) {
        const double* v = values + static_cast<long>(g) * geneStride;
        double low = v[0], high = v[0];
        for (size_t s = 1; s < S; ++s) {
            low = std::min(low, v[static_cast<long>(s) * sampleStride]);
            high = std::max(high, v[static_cast<long>(s) * sampleStride]);
        }
        const double spread = high - low;
        const bool tooWide = !(spread <= kWidestSpread) || std::max(-low, high) > largest;
        const bool tooNarrow = spread > 0 && spread < kNarrowestSpread;
        if ((!tooWide && !tooNarrow) || count++ > 0) continue;
        char range[96];
        std::snprintf(range, sizeof range, "from %g to %g", low, high);
        first = "gene \"" + shown(genes[g]) + "\" has values " + range;
        wide = tooWide;
    }
    if (count == 0) return "";
    const std::string more =
        count > 1 ? " (and " + plural(static_cast<long long>(count - 1), "more gene") + " like it)" : "";
    return first + more +
           (wide ? ": products of such values overflow a double in the covariance; divide the "
                   "values by a power of ten"
                 : ", which differ by less than 1e-70: products of their differences underflow a "
                   "double in the covariance; multiply the values by a power of ten");
}

// The reader of expression tables: refuses bytes that are no text table,
// finds the name line and the delimiter, then the records (the lines, or for
// CSV the lines joined where a quoted field holds a line end), splits them
// into fields, reads the values (blocks of records in parallel, each into its
// own cells), lays the cells out gene-major and applies the missing-value
// policy. Fields stay views of the text; only names are copied.
#include "table.h"

#include "parallel.h"

#include <algorithm>
#include <cmath>
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

// A token as it may stand in a message: at most 40 bytes, unprintable bytes as '?'.
std::string shown(std::string_view token)
{
    std::string s;
    for (char ch : token.substr(0, 40)) s += (ch >= 32 && ch < 127) ? ch : '?';
    if (token.size() > 40) s += "...";
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

// True for a line of blanks only (or of blanks and commas, in a CSV table).
bool isEmptyLine(std::string_view line, char delimiter)
{
    for (char c : line)
        if (!isBlank(c) && !(c == ',' && delimiter == ',')) return false;
    return true;
}

// Moves to the next line that holds part of the table, passing over empty
// lines and comments (and setting sawComment); false at the end of the text.
bool toRecord(Lines& l, char delimiter, bool& sawComment)
{
    while (!atEnd(l)) {
        const size_t end = lineEnd(l);
        const std::string_view line = l.text.substr(l.pos, end - l.pos);
        if (isComment(line))
            sawComment = true;
        else if (!isEmptyLine(line, delimiter))
            return true;
        pastLineEnd(l, end);
    }
    return false;
}

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
    if (delimiter == ',' && text.substr(l.pos, k - l.pos).find('"') != kNone) {
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
            while (k < text.size() && text[k] != ',' && text[k] != '\n' && text[k] != '\r') ++k;
            if (k == text.size() || text[k] != ',') break;
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
        if (delimiter == ',' && k < n && rec[k] == '"') {
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

bool isMissing(std::string_view t)
{
    return t.empty() || t == "NA" || t == "NaN" || t == "nan" || t == "null" || t == "N/A";
}

// How the fields of this table are read; one per thread (scratch).
struct Reading {
    const TableOptions& options;
    char delimiter;
    std::string scratch;  // a decoded CSV field

    // The text of a field as a value.
    std::string_view content(std::string_view f)
    {
        return delimiter == ',' ? csvContent(f, scratch) : unquoted(f);
    }
    // A field as a gene or sample name.
    std::string name(std::string_view f, bool gene)
    {
        if (!options.legacyNames) return std::string(content(f));
        std::string s(f);
        const size_t dash = s.find('-');
        if (gene && dash != kNone) s.erase(dash, 1);
        return s;
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

// What reading a run of lines found: its first problem and its missing cells.
struct Findings {
    std::string problem;
    size_t problemRow = kNone;
    long long missing = 0;
    size_t missingRow = kNone, missingColumn = 0;
};

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
        if (columns == 0) continue;
        double* cell = rows.values.data() + (rows.genes ? row * columns : row);
        const size_t step = rows.genes ? 1 : count;
        for (size_t c = 0; c < columns; ++c, cell += step) {
            const std::string_view t = r.content(fields[c + 1]);
            if (isMissing(t)) {
                *cell = kMissing;
                if (f.missing++ == 0) f.missingRow = row, f.missingColumn = c;
            } else if (std::string why = parseNumber(t, *cell); !why.empty()) {
                const std::string& gene = rows.genes ? rows.names[row] : rows.columns[c];
                const std::string& sample = rows.genes ? rows.columns[c] : rows.names[row];
                f.problemRow = row;
                f.problem = where() + "gene \"" + shown(gene) + "\", sample \"" + shown(sample) +
                            "\" (column " + std::to_string(c + 2) + "): " + why + ", found \"" +
                            shown(t) + "\"";
                return;
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

std::string readInto(std::string_view text, const TableOptions& options, Table& table)
{
    if (std::string why = notText(text); !why.empty()) return why;
    const size_t bom = text.substr(0, 3) == "\xef\xbb\xbf" ? 3 : 0;
    Lines l = linesFrom(text, bom);
    bool sawComment = false;
    if (!toRecord(l, ' ', sawComment))
        return at(1) + (sawComment ? "the file holds no table: only comment lines"
                                   : "the file is empty; expected the name line");

    // The name line decides the delimiter.
    const std::string_view first = text.substr(l.pos, lineEnd(l) - l.pos);
    const char delimiter = first.find('\t') != kNone ? '\t' : first.find(',') != kNone ? ',' : ' ';
    table.delimiter = delimiter;
    Reading r{options, delimiter, {}};
    const bool genes = !options.samplesInRows;  // the data lines are genes
    const std::string lineWord = genes ? "gene" : "sample";

    // Every record; a problem in finding them counts after those of the
    // records before it.
    std::vector<Record> records;
    std::string late;
    for (Record rec; toRecord(l, delimiter, sawComment);) {
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
    const Record head = records[0];
    if (records.size() == 1)
        return !late.empty() ? late : at(head.line) + "no " + lineWord + " lines after the name line";
    const std::vector<std::string_view> names = fieldsOf(head);
    const size_t width = fieldsOf(records[1]).size();

    // A first line of numbers after its first field, as wide as the next
    // line, is a data line: the table has no name line. An empty first field
    // is an empty corner, as spreadsheets and R write it, not a gene.
    bool numbers = width >= 2 && names.size() == width && !r.content(names[0]).empty();
    for (size_t k = 1; numbers && k < width; ++k) {
        const std::string_view t = r.content(names[k]);
        double x;
        numbers = !isMissing(t) && parseNumber(t, x).empty();
    }
    Names columns;
    if (numbers) {
        table.nameLine = false;
        for (size_t k = 1; k < width; ++k) columns.push_back(std::to_string(k));
        table.warnings.push_back("the first line holds numbers only: read as a " + lineWord +
                                 " line, " + (genes ? "samples" : "genes") + " named 1 to " +
                                 std::to_string(width - 1));
    } else if (names.size() == width || names.size() + 1 == width) {
        table.cornerToken = names.size() == width;
        for (size_t k = table.cornerToken; k < names.size(); ++k)
            columns.push_back(r.name(names[k], !genes));
        records.erase(records.begin());
    } else {
        const std::string b = std::to_string(width);
        return at(head.line) + "the name line has " + std::to_string(names.size()) +
               " fields but the " + lineWord + " lines have " + b + "; expected " + b + " or " +
               std::to_string(width - 1);
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
    const Findings* firstMissing = nullptr;
    for (const Findings& f : found) {
        if (!f.problem.empty()) return f.problem;
        if (f.missing > 0 && firstMissing == nullptr) firstMissing = &f;
        missing += f.missing;
    }
    if (!late.empty()) return late;

    table.values.swap(rows.values);
    (genes ? table.genes : table.samples).swap(rows.names);
    (genes ? table.samples : table.genes).swap(columns);
    table.missingValues = missing;
    if (missing == 0) return "";
    switch (options.missing) {
    case MissingPolicy::refuse: {
        const size_t row = firstMissing->missingRow, column = firstMissing->missingColumn;
        const std::string& gene = genes ? table.genes[row] : table.genes[column];
        const std::string& sample = genes ? table.samples[column] : table.samples[row];
        return at(records[row].line) + plural(missing, "missing value") +
               " (empty, NA, NaN, null or N/A); the first is gene \"" + shown(gene) +
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

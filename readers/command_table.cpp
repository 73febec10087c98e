// The reader of the expression tables that assocnet and the API take:
// refuses bytes that are no text table, finds the name line and the
// delimiter, then the records (the lines, or for CSV the lines joined where a
// quoted field holds a line end), sets aside the separators that end every
// line, decides whether the first line is the name line, splits the records
// into fields, reads the values (blocks of records in parallel, each into its
// own cells), lays the cells out gene-major and applies the missing-value
// policy. Fields stay views of the text; only names are copied.
#include "command_table.h"

#include "genes.h"
#include "parallel.h"
#include "table.h"
#include "table_records.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// What a missing cell holds until the policy has been applied; parseNumber
// never yields it.
constexpr double kMissing = std::numeric_limits<double>::quiet_NaN();

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
    return atLine(rows.records[cell.row].line) + "gene \"" + shownText(gene) + "\", sample \"" +
           shownText(sample) + "\" (column " + std::to_string(cell.column + 2) + "): ";
}

// Reads the lines [first, last) into rows; stops at the first problem.
void readRows(std::string_view text, Reading r, Rows& rows, size_t first, size_t last, Findings& f)
{
    std::vector<std::string_view> fields;
    fields.reserve(rows.width);
    const size_t columns = rows.width - 1, count = rows.records.size();
    for (size_t row = first; row < last; ++row) {
        const Record& rec = rows.records[row];
        const auto where = [&] { return atLine(rec.line); };
        splitFields(text.substr(rec.begin, rec.end - rec.begin), r.delimiter, fields);
        if (fields.size() != rows.width) {
            f.problemRow = row;
            f.problem = where() + std::to_string(fields.size()) + " fields, expected " +
                        std::to_string(rows.width) + " (a " + (rows.genes ? "gene" : "sample") +
                        " name and " + plural(columns, "value", "values") + ")";
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
                f.problem = cellAt(rows, {row, c}) + why + ", found \"" + shownText(t) + "\"";
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
        return atLine(1) + (sawComment ? "the file holds no table: only comment lines"
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
    if (records.empty())
        return !late.empty() ? late : atLine(1) + "the file is empty; expected the name line";
    if (header && records.size() == 1)
        return !late.empty() ? late
                             : atLine(records[0].line) + "no " + lineWord + " lines after the name line";

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
                return atLine(head.line) + ambiguous +
                       "every field after the first is a number (or a missing value)" + sayWhich;
            unlessWhole = kind == FirstLine::ids;
        }
        if (names.size() != width && names.size() + 1 != width) {
            const std::string b = std::to_string(width);
            return atLine(head.line) + "the name line has " + std::to_string(names.size()) +
                   " fields but the " + lineWord + " lines have " + b + "; expected " + b + " or " +
                   std::to_string(width - 1);
        }
        table.cornerToken = names.size() == width;
        for (size_t k = table.cornerToken; k < names.size(); ++k) {
            columns.push_back(r.name(names[k], !genes));
            if (!genes && columns.back().empty())
                return atLine(head.line) + "the gene name in column " +
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
        return atLine(head.line) + ambiguous + "its fields after the first are distinct whole numbers, " +
               "and so are the values" + sayWhich;
    if (first.firstComma.row != kNone && first.firstPoint.row != kNone) {
        const auto token = [&](const Cell& cell) {
            return shownText(r.content(fieldsOf(records[cell.row])[cell.column + 1]));
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
        return atLine(records[row].line) +
               plural(static_cast<size_t>(missing), "missing value", "missing values") +
               " (empty, NA, NaN, null, N/A, #N/A or None); the first is gene \"" + shownText(gene) +
               "\", sample \"" + shownText(sample) +
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

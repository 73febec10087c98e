// The Matrix Market reader: the file read a block at a time and taken line
// by line; entries stored as they come, cell after cell when the file is
// sorted by column (as 10x writes it), else sorted by cell at the end.
#include "matrix_market.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <string_view>
#include <vector>

namespace {

constexpr size_t kBlock = size_t{1} << 16;
// No line of a Matrix Market file is anywhere near this long.
constexpr size_t kLongestLine = size_t{1} << 16;
// Stored values reserved at the size line, at most.
constexpr long long kReserve = 1LL << 27;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

// The blank-separated fields of a line, at most max + 1 of them.
int splitFields(std::string_view line, std::string_view* fields, int max)
{
    int n = 0;
    for (size_t k = 0; k < line.size() && n <= max;) {
        while (k < line.size() && isBlank(line[k])) ++k;
        if (k == line.size()) break;
        const size_t start = k;
        while (k < line.size() && !isBlank(line[k])) ++k;
        fields[n++] = line.substr(start, k - start);
    }
    return n;
}

bool sameWord(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t k = 0; k < a.size(); ++k)
        if (std::tolower(static_cast<unsigned char>(a[k])) !=
            std::tolower(static_cast<unsigned char>(b[k])))
            return false;
    return true;
}

// A whole token of decimal digits (a leading + allowed), at most 18 of them.
bool parseCount(std::string_view t, long long& value)
{
    if (!t.empty() && t[0] == '+') t.remove_prefix(1);
    if (t.empty() || t.size() > 18) return false;
    value = 0;
    for (char c : t) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

class Parser {
public:
    Parser(const CheckSize& check, SparseMatrix& m) : check_(check), m_(m) {}

    // Takes one line (without its line end); "" or why the file is refused.
    std::string line(std::string_view text)
    {
        ++line_;
        if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
        if (state_ == State::banner) return banner(text);
        std::string_view f[4];
        if (!text.empty() && text[0] == '%') return "";
        const int n = splitFields(text, f, 3);
        if (n == 0) return "";
        if (state_ == State::size) return size(f, n);
        if (stored_ == entries_)
            return at() + "more entries than the " + std::to_string(entries_) + " of the size line";
        return entry(f, n);
    }

    // At the end of the file: "" or what it lacks.
    std::string end()
    {
        if (state_ == State::banner) return "the file is empty";
        if (state_ == State::size)
            return "the file ends before its size line (rows, columns, entries)";
        if (stored_ < entries_)
            return "the file ends after " + std::to_string(stored_) + " of its " +
                   std::to_string(entries_) + " entries";
        finish();
        return "";
    }

    size_t lineNumber() const { return line_; }

private:
    enum class State { banner, size, entries };

    std::string at() const { return "line " + std::to_string(line_) + ": "; }

    std::string banner(std::string_view text)
    {
        std::string_view f[6];
        const int n = splitFields(text, f, 5);
        if (n == 0 || !sameWord(f[0], "%%MatrixMarket"))
            return at() + "not a Matrix Market file: it does not start with %%MatrixMarket";
        if (n != 5 || !sameWord(f[1], "matrix"))
            return at() + "expected %%MatrixMarket matrix coordinate, a field and a symmetry";
        if (!sameWord(f[2], "coordinate"))
            return at() + "a Matrix Market file of the " + shownToken(f[2]) +
                   " format; only the coordinate format (a line per stored value) is read";
        if (sameWord(f[3], "pattern"))
            pattern_ = true;
        else if (!sameWord(f[3], "real") && !sameWord(f[3], "integer") && !sameWord(f[3], "double"))
            return at() + "values of the " + shownToken(f[3]) +
                   " field; expected real, integer or pattern";
        if (!sameWord(f[4], "general"))
            return at() + "a " + shownToken(f[4]) + " matrix; an expression matrix is general";
        state_ = State::size;
        return "";
    }

    std::string size(const std::string_view* f, int n)
    {
        long long rows = 0, columns = 0, entries = 0;
        if (n != 3 || !parseCount(f[0], rows) || !parseCount(f[1], columns) ||
            !parseCount(f[2], entries))
            return at() + "expected the size line: the numbers of rows, columns and entries";
        if (rows > INT32_MAX || columns > INT32_MAX) return at() + "too many rows or columns";
        if (const std::string why = check_(rows, columns, entries); !why.empty()) return at() + why;
        rows_ = rows;
        entries_ = entries;
        m_ = SparseMatrix{};
        m_.genes = static_cast<long>(rows);
        m_.cells = static_cast<long>(columns);
        m_.starts.assign(static_cast<size_t>(columns) + 1, 0);
        const long long reserve = std::min({entries, rows * columns, kReserve});
        m_.indices.reserve(static_cast<size_t>(reserve));
        m_.values.reserve(static_cast<size_t>(reserve));
        state_ = State::entries;
        return "";
    }

    std::string entry(const std::string_view* f, int n)
    {
        const int wanted = pattern_ ? 2 : 3;
        if (n != wanted)
            return at() + "expected " + std::to_string(wanted) + " fields (row, column" +
                   (pattern_ ? "" : ", value") + "), found " +
                   (n > wanted ? "more" : std::to_string(n));
        long long row = 0, column = 0;
        if (!parseCount(f[0], row) || row < 1 || row > rows_)
            return at() + "row " + shownToken(f[0]) + " is not a number from 1 to " +
                   std::to_string(rows_);
        if (!parseCount(f[1], column) || column < 1 || column > m_.cells)
            return at() + "column " + shownToken(f[1]) + " is not a number from 1 to " +
                   std::to_string(m_.cells);
        double value = 1;
        if (!pattern_)
            if (const std::string why = parseNumber(f[2], value); !why.empty())
                return at() + why + ", found \"" + shownToken(f[2]) + "\"";
        store(static_cast<long>(row - 1), static_cast<long>(column - 1), value);
        return "";
    }

    // Entries sorted by column fill the starts as they come; the first one
    // out of order turns to a list of columns, sorted at the end.
    void store(long row, long column, double value)
    {
        if (sorted_ && column < current_) {
            sorted_ = false;
            columns_.reserve(m_.indices.capacity());
            for (long c = 0; c <= current_; ++c) {
                const int64_t end = c < current_ ? m_.starts[c + 1] : stored_;
                columns_.insert(columns_.end(), static_cast<size_t>(end - m_.starts[c]),
                                static_cast<int32_t>(c));
            }
        }
        if (sorted_) {
            for (; current_ < column; ++current_) m_.starts[current_ + 1] = stored_;
        } else {
            columns_.push_back(static_cast<int32_t>(column));
        }
        m_.indices.push_back(static_cast<int32_t>(row));
        m_.values.push(value);
        ++stored_;
    }

    void finish()
    {
        const long C = m_.cells;
        if (sorted_) {
            for (; current_ < C; ++current_) m_.starts[current_ + 1] = stored_;
            return;
        }
        // A counting sort by column, stable within a column.
        std::fill(m_.starts.begin(), m_.starts.end(), 0);
        for (int32_t c : columns_) ++m_.starts[c + 1];
        for (long c = 0; c < C; ++c) m_.starts[c + 1] += m_.starts[c];
        std::vector<int64_t> next(m_.starts.begin(), m_.starts.end() - 1),
            order(static_cast<size_t>(stored_));
        for (int64_t k = 0; k < stored_; ++k) order[next[columns_[k]]++] = k;
        std::vector<int32_t>().swap(columns_);
        std::vector<int32_t> indices(static_cast<size_t>(stored_));
        StoredValues values;
        values.reserve(static_cast<size_t>(stored_));
        for (int64_t k = 0; k < stored_; ++k) {
            indices[k] = m_.indices[order[k]];
            values.push(m_.values[order[k]]);
        }
        m_.indices.swap(indices);
        m_.values = std::move(values);
    }

    const CheckSize& check_;
    SparseMatrix& m_;
    State state_ = State::banner;
    size_t line_ = 0;
    bool pattern_ = false;
    long long rows_ = 0, entries_ = 0, stored_ = 0;
    bool sorted_ = true;
    long current_ = 0;              // the column of the latest entry, while sorted
    std::vector<int32_t> columns_;  // the column of every entry, once not sorted
};

}  // namespace

std::string readMatrixMarket(const ReadBytes& read, const CheckSize& check, SparseMatrix& m)
{
    Parser p(check, m);
    std::vector<char> block(kBlock);
    std::string pending;  // the start of a line that the next block ends
    std::string why;
    const auto fail = [&](std::string message) {
        m = SparseMatrix{};
        return message;
    };
    for (;;) {
        const long n = read(block.data(), block.size(), why);
        if (n < 0) return fail(why);
        if (n == 0) break;
        const std::string_view text(block.data(), static_cast<size_t>(n));
        size_t start = 0;
        for (size_t lf = text.find('\n'); lf != std::string_view::npos;
             lf = text.find('\n', start)) {
            std::string problem;
            if (pending.empty()) {
                problem = p.line(text.substr(start, lf - start));
            } else {
                pending.append(text.substr(start, lf - start));
                problem = p.line(pending);
                pending.clear();
            }
            if (!problem.empty()) return fail(problem);
            start = lf + 1;
        }
        pending.append(text.substr(start));
        if (pending.size() > kLongestLine)
            return fail("line " + std::to_string(p.lineNumber() + 1) +
                        ": too long for a Matrix Market line");
    }
    if (!pending.empty())
        if (std::string problem = p.line(pending); !problem.empty()) return fail(problem);
    if (std::string problem = p.end(); !problem.empty()) return fail(problem);
    return "";
}

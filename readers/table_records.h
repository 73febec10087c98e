// A table's text cut into lines, records and fields, as the reader of the
// tables assocnet takes (command_table.cpp) walks it: the check that the
// bytes are text at all, lines ending in LF, CRLF or a lone CR, comment and
// empty lines passed over, the delimiter of the name line, records (for CSV
// the lines that quotes join) and their fields, CSV quoting undone. Fields
// stay views of the text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

inline constexpr size_t kNone = std::string_view::npos;

// "line L: ", how a message names a line.
std::string atLine(size_t line);

// Why the bytes are no text table (compressed, UTF-16, a zip archive or
// binary), or "".
std::string notText(std::string_view text);

// The text walked line by line; a line ends in LF, CRLF or a lone CR.
struct Lines {
    std::string_view text;
    size_t pos = 0;         // start of the current line
    size_t line = 1;        // its number
    size_t lf = 0, cr = 0;  // the next LF and CR at or after pos (text.size(): none)
};

// The lines of text from offset pos on, the first counted as line 1.
Lines linesFrom(std::string_view text, size_t pos);
// Offset of the end of the current line: its line-end byte or text.size().
size_t lineEnd(Lines& l);
// Moves to the next line that holds part of the table, passing over empty
// lines, GEO's closing line and, while comments is set, comment lines
// (setting sawComment); false at the end of the text.
bool toRecord(Lines& l, char delimiter, bool comments, bool& sawComment);

// The delimiter that the name line uses: tab, else semicolon or comma,
// whichever stands more often outside double quotes, else blanks.
char delimiterOf(std::string_view line);
// True for the delimiters of CSV, whose fields may be quoted.
inline bool quotes(char delimiter) { return delimiter == ',' || delimiter == ';'; }

// A record: the text of a table line (for CSV, of the lines that quotes
// join) without its line end, and the number of the line it starts on.
struct Record {
    size_t begin = 0, end = 0;
    size_t line = 0;
};

// Fills rec with the record at the current line (toRecord stopped there) and
// moves past it; "" or why it cannot be a record (an unclosed quote).
std::string nextRecord(Lines& l, char delimiter, Record& rec);
// Fills fields with the raw fields of a record (views of it).
void splitFields(std::string_view rec, char delimiter, std::vector<std::string_view>& fields);
// The field without one pair of surrounding double quotes.
std::string_view unquoted(std::string_view f);
// What a CSV field stands for: a quoted field loses its quotes, "" inside it
// is one quote, and whatever follows the closing quote is kept as it is.
// Decoded text goes to scratch when it differs from a part of the field.
std::string_view csvContent(std::string_view f, std::string& scratch);

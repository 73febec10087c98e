// The reader of the expression tables that users have: tab-separated, CSV
// or whitespace-separated text, with or without a corner token or a name
// line, with comment lines (GEO series matrices), missing values, genes in
// lines or in columns. assocnet reads its table with it, and the API's
// readTable a text table file.
#pragma once

#include "core.h"

#include <string>
#include <string_view>
#include <vector>

// What to do with the cells that hold no value: empty, or one of NA, NaN,
// null, N/A, #N/A, None in any case, or a token of TableOptions::naValues.
enum class MissingPolicy {
    refuse,       // the table is refused, naming the first missing cell
    dropGenes,    // every gene with a missing value is left out
    dropSamples,  // every sample with a missing value is left out
};

// Whether the first line of the table holds the names of the columns.
enum class HeaderRule {
    detect,   // it does, unless it could be a data line too: then decided by the evidence, or refused
    present,  // it does
    absent,   // it is a data line; the columns are named 1, 2, ...
};

// The encoding of the names: UTF-8 as they are, or converted to UTF-8 from
// ISO-8859-1 or Windows-1252.
enum class NameEncoding { utf8, latin1, cp1252 };

struct TableOptions {
    bool samplesInRows = false;          // the file's lines are samples, its columns genes
    MissingPolicy missing = MissingPolicy::refuse;
    bool legacyNames = false;            // names as the seven programs read them: the raw field, first '-' removed, quotes kept
    HeaderRule header = HeaderRule::detect;
    NameEncoding encoding = NameEncoding::utf8;
    Names naValues;                      // more tokens of missing values, in any case
};

struct Table {
    Names genes;                         // gene names, in file order (after dropping)
    Names samples;                       // sample names (after dropping)
    std::vector<double> values;          // genes.size() x samples.size(), gene-major: values[g * samples.size() + s]
    char delimiter = '\t';               // '\t', ',', ';' or ' ' (whitespace)
    bool decimalComma = false;           // a ';' table whose numbers have a decimal comma (1,5)
    bool cornerToken = false;            // the name line had a corner token
    bool nameLine = true;                // false: the table had no name line (samples named "1", "2", ...)
    long long missingValues = 0;         // missing cells found
    Names droppedGenes, droppedSamples;  // dropped for missing values, in file order
    std::vector<std::string> warnings;   // one line each, for the user (e.g. an ignored empty column)
};

// Reads the text of a table; "" on success, else one line "line L: cause" (L counted in the text as given, 1-based)
//
// The first line that is neither empty nor a comment ('#' or '!' first) is
// the name line and decides the delimiter: tab, else semicolon or comma,
// whichever it holds more of (both with CSV quoting), else runs of blanks. It
// holds the sample names (the gene names when samplesInRows), after a corner
// token or not; each later line holds a name and one value per column,
// whatever its name starts with (only GEO's !series_matrix_table_end is passed
// over). A first line that could be a data line as well (every field after
// the first a number) is taken for the name line when its numbers are
// distinct whole numbers, IDs, and refused otherwise (see HeaderRule). Empty
// fields that end every line (trailing separators) are ignored, with a
// warning. In a ';' table whose numbers have decimal commas every number
// must have one. Lines end in LF, CRLF or a lone CR. On failure the table is
// left as a default Table.
std::string readTable(std::string_view text, const TableOptions& options, Table& table);

// The expression tables that users have: tab-separated, CSV or
// whitespace-separated text, with or without a corner token or a name line,
// with comment lines (GEO series matrices), missing values, genes in lines or
// in columns, plain or gzip-compressed.
//
//   readTable    fills a Table from the text of a table; reads the options
//   loadTable    fills bytes with the contents of a file or standard input,
//                inflated when gzip-compressed
//   inflateTable fills out with the data of every member of a gzip stream
#pragma once

#include "core.h"

#include <string>
#include <string_view>
#include <vector>

// What to do with the cells that hold no value (empty, NA, NaN, nan, null, N/A).
enum class MissingPolicy {
    refuse,       // the table is refused, naming the first missing cell
    dropGenes,    // every gene with a missing value is left out
    dropSamples,  // every sample with a missing value is left out
};

struct TableOptions {
    bool samplesInRows = false;          // the file's lines are samples, its columns genes
    MissingPolicy missing = MissingPolicy::refuse;
    bool legacyNames = false;            // names as the seven programs read them: the raw field, first '-' removed, quotes kept
};

struct Table {
    Names genes;                         // gene names, in file order (after dropping)
    Names samples;                       // sample names (after dropping)
    std::vector<double> values;          // genes.size() x samples.size(), gene-major: values[g * samples.size() + s]
    char delimiter = '\t';               // '\t', ',' or ' ' (whitespace)
    bool cornerToken = false;            // the name line had a corner token
    bool nameLine = true;                // false: the table had no name line (samples named "1", "2", ...)
    long long missingValues = 0;         // missing cells found
    Names droppedGenes, droppedSamples;  // dropped for missing values, in file order
    std::vector<std::string> warnings;   // one line each, for the user (e.g. "no name line: ...")
};

// Reads the text of a table; "" on success, else one line "line L: cause" (L counted in the text as given, 1-based)
//
// The name line (the first line that is neither empty nor a comment, '#' or
// '!' first) decides the delimiter: tab, else comma (with CSV quoting), else
// runs of blanks. It holds the sample names (the gene names when
// samplesInRows), after a corner token or not; each later line holds a name and
// one value per column. Lines end in LF, CRLF or a lone CR. On failure the
// table is left as a default Table.
std::string readTable(std::string_view text, const TableOptions& options, Table& table);
// Loads the bytes of the file at path ("-": standard input), inflating gzip; "" or "PATH: cause".
//
// Gzip is recognised by its first two bytes (1f 8b), whatever the name; the
// causes are the system's error text, "not a complete gzip stream" (or zlib's
// reason) and "too large to read into memory". Standard input is named
// "standard input" in messages.
std::string loadTable(const std::string& path, std::string& bytes);
// Inflates a gzip stream (all members) into out; "" or the cause (no file name).
std::string inflateTable(std::string_view gz, std::string& out);

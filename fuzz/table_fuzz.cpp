// Fuzz target for the readers of user input: the count dialogue
// (askCounts), the table reader of the seven programs (getObsMat) and the
// reader of the tables users have (readTable, inflateTable).
//
// Input layout:
//   byte 0, bit 0 clear: bytes 1 and 2 give V and N (each taken modulo 65),
//                        the rest is the table;
//   byte 0, bit 0 set:   byte 1 is a length L, the next L bytes are standard
//                        input of the dialogue, the rest is the table (read
//                        by getObsMat only when both answered counts are at
//                        most 64).
//   byte 0, bits 1-7:    how readTable reads the table: bits 1-2 the missing
//                        policy (refuse, drop genes, drop samples, or refuse
//                        with the first line read as a data line),
//                        bit 3 samples in rows, bit 4 legacy names; bits 5-6
//                        rewrite the table first (as it is, blanks as tabs,
//                        blanks as commas, blank-separated tokens as quoted
//                        CSV fields); bit 7 also compresses it into two gzip
//                        members. A table that starts as gzip is inflated.
//
// Besides what the sanitizers catch, every input is checked for:
// - the dialogue writes a prefix of the two prompts and their empty lines, all
//   of it on success; accepted counts are never negative; a message is one line;
// - a message of the reader is one printable line;
// - a table that reads cleanly sets every name and every cell (two reads into
//   differently prefilled objects agree bit for bit), holds only finite
//   values, and agrees with the reading that formatted stream extraction
//   gives (token, number, skip to the line feed), which never fails on it;
// - a table on which formatted extraction fails is reported;
// - reading fewer variables gives the leading part of the same result, and
//   text appended after a line feed at the end changes nothing;
// - readTable: a message is one line without control characters naming a
//   line and leaves a default Table; a table read cleanly is whole (genes x
//   samples finite values, drops only under their policy, numbered names
//   without a name line), reads the same again into a used Table and after
//   GEO's closing line, and reads transposed with the lines taken as the
//   other kind (names raw but for legacy dashes; only an empty name, which
//   only genes may not have, is refused then);
// - inflateTable gives back what was compressed, in two members, and a
//   message of one printable line for anything else.
#include "command_table.h"
#include "core.h"
#include "programs_table.h"
#include "profiles.h"
#include "table_bytes.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <locale>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>
#include <zlib.h>

namespace {

constexpr int kMaxCount = 64;

[[noreturn]] void broken(const char* what)
{
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

void require(bool ok, const char* what)
{
    if (!ok) broken(what);
}

bool oneLine(const std::string& s)
{
    if (s.empty()) return false;
    for (char ch : s)
        if (ch < 32 || ch > 126) return false;
    return true;
}

// One line of text: no control characters (characters beyond ASCII allowed).
bool oneTextLine(const std::string& s)
{
    if (s.empty()) return false;
    for (char ch : s)
        if ((ch >= 0 && ch < 32) || ch == 127) return false;
    return true;
}

struct Legacy {
    Matrix obs;
    Names varNames, obsNames;
};

Legacy prefilled(int V, int N, double cell, const char* name)
{
    return Legacy{Matrix(N, V, cell), Names(V, name), Names(N, name)};
}

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool sameTable(const Legacy& a, const Legacy& b, int V, int N)
{
    for (int i = 0; i < V; ++i)
        if (a.varNames[i] != b.varNames[i]) return false;
    for (int j = 0; j < N; ++j)
        if (a.obsNames[j] != b.obsNames[j]) return false;
    for (int k = 0; k < N; ++k)
        for (int i = 0; i < V; ++i)
            if (!sameBits(a.obs[k][i], b.obs[k][i])) return false;
    return true;
}

// The table as formatted stream extraction in the classic locale reads it:
// a token, numbers, and a skip to the next line feed after the last name and
// after the last value of every line. False when an extraction fails.
bool streamRead(int V, int N, std::string_view text, Legacy& t)
{
    std::istringstream in{std::string(text)};
    in.imbue(std::locale::classic());
    const auto skip = [&] { in.ignore(std::numeric_limits<std::streamsize>::max(), '\n'); };
    if (V == 0 && N == 0) return true;
    std::string corner;
    if (!(in >> corner)) return false;
    for (int j = 0; j < N; ++j)
        if (!(in >> t.obsNames[j])) return false;
    skip();
    for (int i = 0; i < V; ++i) {
        std::string name;
        if (!(in >> name)) return false;
        const size_t dash = name.find('-');
        if (dash != std::string::npos) name.erase(dash, 1);
        t.varNames[i] = name;
        for (int k = 0; k < N; ++k)
            if (!(in >> t.obs[k][i])) return false;
        skip();
    }
    return true;
}

void checkTable(int V, int N, std::string_view text)
{
    Legacy a = prefilled(V, N, std::numeric_limits<double>::quiet_NaN(), "\x01unset");
    const std::string message = getObsMat(V, N, a.obs, a.varNames, a.obsNames, text);

    Legacy s = prefilled(V, N, 0.0, "");
    const bool streamOk = streamRead(V, N, text, s);
    if (!message.empty()) {
        require(oneLine(message), "a reader message is not one printable line");
        return;
    }
    require(streamOk, "the reader accepts a table that stream extraction fails on");

    for (const std::string& name : a.obsNames) {
        require(!name.empty(), "an observation name is empty");
        for (char ch : name)
            require(!std::isspace(static_cast<unsigned char>(ch)), "a name holds whitespace");
    }
    for (const std::string& name : a.varNames)
        for (char ch : name)
            require(!std::isspace(static_cast<unsigned char>(ch)), "a name holds whitespace");
    for (long k = 0; k < a.obs.rows() * a.obs.cols(); ++k)
        require(std::isfinite(a.obs.data()[k]), "a cell is not finite (or not set)");

    Legacy b = prefilled(V, N, -1.0, "other");
    require(getObsMat(V, N, b.obs, b.varNames, b.obsNames, text).empty(),
            "a second read of the same table fails");
    require(sameTable(a, b, V, N), "a name or cell depends on what the objects held before");
    require(sameTable(a, s, V, N), "the reader disagrees with stream extraction");

    if (V > 0) {
        const int fewer = V / 2;
        Legacy c = prefilled(fewer, N, 0.0, "");
        require(getObsMat(fewer, N, c.obs, c.varNames, c.obsNames, text).empty(),
                "fewer variables than a clean read fail");
        require(sameTable(a, c, fewer, N), "fewer variables read differently");
    }

    const std::string longer = std::string(text) + "\n1 x -y 2\n";
    Legacy d = prefilled(V, N, 0.0, "");
    require(getObsMat(V, N, d.obs, d.varNames, d.obsNames, longer).empty(),
            "text after the table makes the read fail");
    require(sameTable(a, d, V, N), "text after the table changes the result");
}

// --- readTable and inflateTable ----------------------------------------------

bool sameReading(const Table& a, const Table& b)
{
    if (a.values.size() != b.values.size()) return false;
    for (size_t k = 0; k < a.values.size(); ++k)
        if (!sameBits(a.values[k], b.values[k])) return false;
    return a.genes == b.genes && a.samples == b.samples && a.delimiter == b.delimiter &&
           a.cornerToken == b.cornerToken && a.nameLine == b.nameLine &&
           a.missingValues == b.missingValues && a.droppedGenes == b.droppedGenes &&
           a.droppedSamples == b.droppedSamples && a.warnings == b.warnings;
}

bool isDefault(const Table& t) { return sameReading(t, Table{}); }

MissingPolicy swapped(MissingPolicy p)
{
    return p == MissingPolicy::dropGenes     ? MissingPolicy::dropSamples
           : p == MissingPolicy::dropSamples ? MissingPolicy::dropGenes
                                             : p;
}

// True when b is a with genes and samples exchanged.
bool transposed(const Table& a, const Table& b)
{
    const size_t G = a.genes.size(), S = a.samples.size();
    if (b.genes != a.samples || b.samples != a.genes || b.droppedGenes != a.droppedSamples ||
        b.droppedSamples != a.droppedGenes || b.missingValues != a.missingValues ||
        b.values.size() != a.values.size())
        return false;
    for (size_t g = 0; g < G; ++g)
        for (size_t s = 0; s < S; ++s)
            if (!sameBits(a.values[g * S + s], b.values[s * G + g])) return false;
    return true;
}

void checkReading(std::string_view text, const TableOptions& o)
{
    Table a;
    const std::string message = readTable(text, o, a);
    if (!message.empty()) {
        require(oneTextLine(message) && message.compare(0, 5, "line ") == 0,
                "a readTable message is not one line of text naming a line");
        require(isDefault(a), "a failed read leaves something in the table");
        Table b;
        b.genes.push_back("used");
        require(readTable(text, o, b) == message, "a second read fails differently");
        return;
    }
    const size_t G = a.genes.size(), S = a.samples.size();
    require(a.values.size() == G * S, "the cells are not genes x samples");
    for (double x : a.values) require(std::isfinite(x), "a cell is not finite");
    require(a.delimiter == '\t' || a.delimiter == ',' || a.delimiter == ';' || a.delimiter == ' ',
            "an odd delimiter");
    require(o.missing == MissingPolicy::dropGenes || a.droppedGenes.empty(), "genes dropped unasked");
    require(o.missing == MissingPolicy::dropSamples || a.droppedSamples.empty(), "samples dropped unasked");
    require(o.missing != MissingPolicy::refuse || a.missingValues == 0, "missing values let through");
    require(static_cast<long long>(a.droppedGenes.size() + a.droppedSamples.size()) <= a.missingValues,
            "more dropped than missing");
    require(a.nameLine == (o.header != HeaderRule::absent), "a name line read against the options");
    if (!a.nameLine) {
        const Names& numbered = o.samplesInRows ? a.genes : a.samples;
        const Names& dropped = o.samplesInRows ? a.droppedGenes : a.droppedSamples;
        for (size_t k = 0; k < numbered.size() && dropped.empty(); ++k)
            require(numbered[k] == std::to_string(k + 1),
                    "the columns of a table without a name line are not numbered");
    }

    Table b;
    b.genes = {"used"};
    b.values = {1.0};
    b.warnings = {"old"};
    require(readTable(text, o, b).empty(), "a second read fails");
    require(sameReading(a, b), "a read depends on what the table held before");

    const std::string longer = std::string(text) + "\n!series_matrix_table_end\n";
    Table c;
    require(readTable(longer, o, c).empty() && sameReading(a, c), "GEO's closing line changes the table");

    if (!o.legacyNames) {
        TableOptions t = o;
        t.samplesInRows = !o.samplesInRows;
        t.missing = swapped(o.missing);
        Table d;
        const std::string other = readTable(text, t, d);
        if (other.find("the gene name") != std::string::npos) return;
        require(other.empty(), "the table fails when its lines are the other kind");
        require(transposed(a, d), "the lines as the other kind do not give the transposed table");
    }
}

// The text as one gzip member.
std::string gzipped(std::string_view text)
{
    z_stream z{};
    require(deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK,
            "zlib cannot start");
    std::string out(deflateBound(&z, text.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    require(deflate(&z, Z_FINISH) == Z_STREAM_END, "deflate does not finish");
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// The table rewritten with other delimiters (see the input layout).
std::string rewritten(std::string_view text, int how)
{
    std::string out;
    if (how == 1 || how == 2) {
        out = text;
        for (char& c : out)
            if (c == ' ') c = how == 1 ? '\t' : ',';
        return out;
    }
    bool inField = false;
    for (char c : text) {
        if (c == ' ' || c == '\n') {
            if (inField) out += c == ' ' ? "\"," : "\"";
            if (c == '\n') out += '\n';
            inField = false;
            continue;
        }
        if (!inField) out += '"', inField = true;
        if (c == '"') out += '"';
        out += c;
    }
    if (inField) out += '"';
    return out;
}

void checkReader(uint8_t mode, std::string_view text)
{
    static const MissingPolicy policies[] = {MissingPolicy::refuse, MissingPolicy::dropGenes,
                                             MissingPolicy::dropSamples, MissingPolicy::refuse};
    TableOptions o;
    o.missing = policies[(mode >> 1) & 3];
    if (((mode >> 1) & 3) == 3) o.header = HeaderRule::absent;
    o.samplesInRows = (mode & 8) != 0;
    o.legacyNames = (mode & 16) != 0;

    if (text.size() >= 2 && text[0] == '\x1f' && text[1] == '\x8b') {
        std::string out;
        const std::string message = inflateTable(text, out);
        if (!message.empty()) {
            require(oneLine(message), "an inflateTable message is not one printable line");
            require(out.empty(), "a failed inflate leaves bytes");
            return;
        }
        // An exactly sized copy, so a read past its end is caught.
        const std::vector<char> exact(out.begin(), out.end());
        checkReading(std::string_view(exact.data(), exact.size()), o);
        return;
    }
    const int how = (mode >> 5) & 3;
    if (how == 0) {
        checkReading(text, o);
    } else {
        const std::string body = rewritten(text, how);
        const std::vector<char> exact(body.begin(), body.end());
        checkReading(std::string_view(exact.data(), exact.size()), o);
    }
    if (mode & 128) {
        const size_t cut = text.size() / 3;
        std::string out;
        require(inflateTable(gzipped(text.substr(0, cut)) + gzipped(text.substr(cut)), out).empty() &&
                    out == text,
                "two gzip members do not inflate to what was compressed");
    }
}

// Returns true and sets V and N when the dialogue accepted both counts.
bool checkDialogue(std::string_view input, int& V, int& N)
{
    static const std::string full = "How many variables?\n\nHow many observations?\n\n";
    std::istringstream in{std::string(input)};
    std::ostringstream out;
    V = N = -7;
    const std::string message = askCounts(in, out, V, N);
    const std::string said = out.str();
    require(full.compare(0, said.size(), said) == 0 && said.size() <= full.size(),
            "the dialogue writes something other than its prompts");
    if (!message.empty()) {
        require(oneLine(message), "a dialogue message is not one printable line");
        require(said.size() < full.size(), "a failed dialogue wrote every line");
        return false;
    }
    require(said == full, "a completed dialogue left out a line");
    require(V >= 0 && N >= 0, "the dialogue accepts a negative count");
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3) return 0;
    const char* bytes = reinterpret_cast<const char*>(data);
    int V = 0, N = 0;
    size_t head = 3;
    bool counted = true;
    if ((data[0] & 1) == 0) {
        V = data[1] % (kMaxCount + 1);
        N = data[2] % (kMaxCount + 1);
    } else {
        const size_t length = data[1];
        if (size < 2 + length) return 0;
        counted = checkDialogue(std::string_view(bytes + 2, length), V, N) && V <= kMaxCount &&
                  N <= kMaxCount;
        head = 2 + length;
    }
    // A view of exactly the rest of the input, so a read past its end is caught.
    const std::string_view table(bytes + head, size - head);
    if (counted) checkTable(V, N, table);
    checkReader(data[0], table);
    return 0;
}

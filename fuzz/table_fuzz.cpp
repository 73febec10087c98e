// Fuzz target for the two readers of user input: the count dialogue
// (askCounts) and the table reader (getObsMat).
//
// Input layout:
//   byte 0, bit 0 clear: bytes 1 and 2 give V and N (each taken modulo 65),
//                        the rest is the table;
//   byte 0, bit 0 set:   byte 1 is a length L, the next L bytes are standard
//                        input of the dialogue, the rest is the table (read
//                        only when both answered counts are at most 64).
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
//   text appended after a line feed at the end changes nothing.
#include "core.h"
#include "profiles.h"

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

struct Table {
    Matrix obs;
    Names varNames, obsNames;
};

Table prefilled(int V, int N, double cell, const char* name)
{
    return Table{Matrix(N, V, cell), Names(V, name), Names(N, name)};
}

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool sameTable(const Table& a, const Table& b, int V, int N)
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
bool streamRead(int V, int N, std::string_view text, Table& t)
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
    Table a = prefilled(V, N, std::numeric_limits<double>::quiet_NaN(), "\x01unset");
    const std::string message = getObsMat(V, N, a.obs, a.varNames, a.obsNames, text);

    Table s = prefilled(V, N, 0.0, "");
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

    Table b = prefilled(V, N, -1.0, "other");
    require(getObsMat(V, N, b.obs, b.varNames, b.obsNames, text).empty(),
            "a second read of the same table fails");
    require(sameTable(a, b, V, N), "a name or cell depends on what the objects held before");
    require(sameTable(a, s, V, N), "the reader disagrees with stream extraction");

    if (V > 0) {
        const int fewer = V / 2;
        Table c = prefilled(fewer, N, 0.0, "");
        require(getObsMat(fewer, N, c.obs, c.varNames, c.obsNames, text).empty(),
                "fewer variables than a clean read fail");
        require(sameTable(a, c, fewer, N), "fewer variables read differently");
    }

    const std::string longer = std::string(text) + "\n1 x -y 2\n";
    Table d = prefilled(V, N, 0.0, "");
    require(getObsMat(V, N, d.obs, d.varNames, d.obsNames, longer).empty(),
            "text after the table makes the read fail");
    require(sameTable(a, d, V, N), "text after the table changes the result");
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
    if ((data[0] & 1) == 0) {
        V = data[1] % (kMaxCount + 1);
        N = data[2] % (kMaxCount + 1);
    } else {
        const size_t length = data[1];
        if (size < 2 + length) return 0;
        if (!checkDialogue(std::string_view(bytes + 2, length), V, N)) return 0;
        if (V > kMaxCount || N > kMaxCount) return 0;
        head = 2 + length;
    }
    // A view of exactly the rest of the input, so a read past its end is caught.
    checkTable(V, N, std::string_view(bytes + head, size - head));
    return 0;
}

// Fuzz target of the Matrix Market reader (readMatrixMarket).
//
// Input layout: byte 0 sets the size of the pieces in which the reader is
// handed the file (1 to 64 bytes); the rest is the file.
//
// Besides what the sanitizers catch, every input is checked for:
// - the file read in those pieces and read whole give the same message, or
//   the same matrix bit for bit;
// - a message is one printable line and leaves an empty matrix;
// - a matrix read cleanly is whole: a start per cell and one after the last,
//   rising from 0 to the number of values, every gene index within the size
//   line's rows, finite values; and settle() takes it with names for every
//   gene and cell, or names a gene and cell stored twice.
#include "matrix_market.h"
#include "sparse.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

// Size lines beyond this are refused before anything is stored.
constexpr long long kMaxCells = 1 << 16;

void require(bool ok, const char* what)
{
    if (ok) return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

bool oneLine(const std::string& s)
{
    if (s.empty()) return false;
    for (char ch : s)
        if (ch < 32 || ch > 126) return false;
    return true;
}

std::string read(std::string_view file, size_t piece, SparseMatrix& m)
{
    size_t at = 0;
    const ReadBytes bytes = [&](char* buffer, size_t size, std::string&) -> long {
        const size_t n = std::min({piece, size, file.size() - at});
        std::memcpy(buffer, file.data() + at, n);
        at += n;
        return static_cast<long>(n);
    };
    const CheckSize check = [](long long rows, long long columns, long long) -> std::string {
        return rows * columns > kMaxCells ? "too large for the fuzz target" : "";
    };
    return readMatrixMarket(bytes, check, m);
}

bool same(const SparseMatrix& a, const SparseMatrix& b)
{
    if (a.genes != b.genes || a.cells != b.cells || a.starts != b.starts ||
        a.indices != b.indices || a.values.size() != b.values.size())
        return false;
    for (size_t k = 0; k < a.values.size(); ++k) {
        const double x = a.values[k], y = b.values[k];
        if (std::memcmp(&x, &y, sizeof x) != 0) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const size_t piece = 1 + data[0] % 64;
    const std::string_view file(reinterpret_cast<const char*>(data) + 1, size - 1);
    SparseMatrix whole, pieces;
    const std::string message = read(file, file.size() + 1, whole);
    require(read(file, piece, pieces) == message, "the pieces give another message");
    require(same(whole, pieces), "the pieces give another matrix");
    if (!message.empty()) {
        require(oneLine(message), "a message is not one printable line");
        require(whole.genes == 0 && whole.cells == 0 && whole.starts.empty() &&
                    whole.values.size() == 0,
                "a failed read leaves a matrix");
        return 0;
    }
    const SparseMatrix& m = whole;
    require(static_cast<long>(m.starts.size()) == m.cells + 1 && m.starts.front() == 0,
            "the starts are not one per cell");
    for (long c = 0; c < m.cells; ++c) require(m.starts[c] <= m.starts[c + 1], "the starts fall");
    require(m.starts.back() == static_cast<int64_t>(m.indices.size()) &&
                m.indices.size() == m.values.size(),
            "the starts do not end at the number of values");
    for (int32_t g : m.indices) require(g >= 0 && g < m.genes, "a gene index outside the rows");
    for (size_t k = 0; k < m.values.size(); ++k)
        require(std::isfinite(m.values[k]), "a value is not finite");
    SparseTable t;
    t.matrix = m;
    // Names built by appending (g++ 12 warns, wrongly, of "g" + std::to_string(g)).
    for (long g = 0; g < m.genes; ++g) t.genes.emplace_back("g").append(std::to_string(g));
    for (long c = 0; c < m.cells; ++c) t.cells.emplace_back("c").append(std::to_string(c));
    const std::string settled = settle(t);
    require(settled.empty() || settled.find("two values are stored") != std::string::npos,
            "settle refuses a clean read for another reason than a repeated entry");
    return 0;
}

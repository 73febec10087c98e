// The seven programs' table reader: tokens separated by any whitespace;
// after the last name of the name line and after the last value of every
// variable line the rest of that line is skipped. Counts come from the user,
// never from the file. Also the number parser that both table readers share
// (parseNumber), and how a token stands in a reader's message (shownToken).
#include "core.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

struct Cursor {
    std::string_view text;
    size_t pos = 0;
};

// The next token, or an empty view at the end of the text.
std::string_view nextToken(Cursor& c)
{
    while (c.pos < c.text.size() && isSpace(c.text[c.pos])) ++c.pos;
    size_t start = c.pos;
    while (c.pos < c.text.size() && !isSpace(c.text[c.pos])) ++c.pos;
    return c.text.substr(start, c.pos - start);
}

// Skips up to and including the next line feed (or to the end of the text).
void skipLine(Cursor& c)
{
    size_t nl = c.text.find('\n', c.pos);
    c.pos = nl == std::string_view::npos ? c.text.size() : nl + 1;
}

// 1-based number of the line on which offset pos stands.
size_t lineOf(std::string_view text, size_t pos)
{
    size_t line = 1;
    for (size_t k = 0; k < pos && k < text.size(); ++k) line += text[k] == '\n';
    return line;
}

// A decimal number token taken apart: its significant digits as an integer
// (kept while there are at most 15 of them) and the power of ten that scales them.
struct Decimal {
    bool negative = false;
    uint64_t digits = 0;
    int count = 0;       // significant digits (16: more than 15)
    long exponent = 0;   // value = digits * 10^exponent, when count <= 15
};

// True when the whole token is a decimal number as formatted input reads it in
// the classic locale: [+-] digits [. digits] [e [+-] digits], with at least one
// mantissa digit; no hexadecimal, no inf or nan, no separators. Fills d.
bool isDecimal(std::string_view t, Decimal& d)
{
    size_t k = 0, n = t.size();
    if (k < n && (t[k] == '+' || t[k] == '-')) d.negative = t[k++] == '-';
    long scale = 0;
    // Mantissa digits; shift is what each one taken adds to the scale (-1 in
    // the fraction). Leading zeros are not significant; past fifteen
    // significant digits only the count matters.
    const auto digitsFrom = [&](long shift) {
        const size_t start = k;
        for (; k < n; ++k) {
            const unsigned c = static_cast<unsigned char>(t[k]) - '0';
            if (c > 9) break;
            if (d.count < 15) {
                d.digits = d.digits * 10 + c;
                d.count += d.digits != 0;
                scale += shift;
            } else {
                d.count = 16;
            }
        }
        return k - start;
    };
    size_t digits = digitsFrom(0);
    if (k < n && t[k] == '.') {
        ++k;
        digits += digitsFrom(-1);
    }
    if (digits == 0) return false;
    long exponent = 0;
    if (k < n && (t[k] == 'e' || t[k] == 'E')) {
        ++k;
        bool minus = false;
        if (k < n && (t[k] == '+' || t[k] == '-')) minus = t[k++] == '-';
        size_t expDigits = 0;
        for (; k < n && t[k] >= '0' && t[k] <= '9'; ++k, ++expDigits)
            if (exponent < 100000) exponent = exponent * 10 + (t[k] - '0');
        if (expDigits == 0) return false;
        if (minus) exponent = -exponent;
    }
    d.exponent = exponent + scale;
    return k == n;
}

}  // namespace

std::string shownToken(std::string_view token)
{
    std::string s;
    for (char ch : token.substr(0, 40)) s += (ch >= 32 && ch < 127) ? ch : '?';
    if (token.size() > 40) s += "...";
    return s;
}

std::string parseNumber(std::string_view token, double& value)
{
    Decimal d;
    if (!isDecimal(token, d)) return "expected a number";
    // At most 15 significant digits and a power of ten that is itself an
    // exact double: one multiplication or division rounds correctly.
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                         1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                         1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (d.count <= 15 && d.exponent >= -22 && d.exponent <= 22) {
        const double m = static_cast<double>(d.digits);
        value = d.exponent >= 0 ? m * kPowers[d.exponent] : m / kPowers[-d.exponent];
        if (d.negative) value = -value;
        return "";
    }
    // The library's correctly rounded conversion; results beyond the range
    // of a double (overflow, and underflow, which formatted input accepts)
    // are settled by strtod below.
    const char* first = token.data() + (token[0] == '+');
    const auto [end, ec] = std::from_chars(first, token.data() + token.size(), value);
    if (ec == std::errc() && end == token.data() + token.size()) return "";
    char buf[64];
    std::string big;
    const char* z = buf;
    if (token.size() < sizeof buf) {
        token.copy(buf, token.size());
        buf[token.size()] = '\0';
    } else {
        big = std::string(token);
        z = big.c_str();
    }
    errno = 0;
    value = std::strtod(z, nullptr);
    if (errno == ERANGE && (value == HUGE_VAL || value == -HUGE_VAL))
        return "expected a number within the range of a double";
    return "";
}

std::string getObsMat(int V, int N, Matrix& obs, Names& varNames, Names& obsNames,
                      std::string_view text)
{
    Cursor c{text};
    auto at = [&](size_t pos) { return "line " + std::to_string(lineOf(text, pos)) + ": "; };

    if (V == 0 && N == 0) return "";
    std::string_view corner = nextToken(c);
    if (corner.empty()) return "line 1: the file is empty; expected the name line";
    for (int j = 0; j < N; ++j) {
        std::string_view t = nextToken(c);
        if (t.empty())
            return at(c.pos) + "the file ends after " + std::to_string(j) + " of " +
                   std::to_string(N) + " observation names";
        obsNames[j] = std::string(t);
    }
    skipLine(c);

    for (int i = 0; i < V; ++i) {
        std::string_view t = nextToken(c);
        if (t.empty())
            return at(c.pos) + "the file ends after " + std::to_string(i) + " of " +
                   std::to_string(V) + " variable lines";
        std::string name(t);
        size_t dash = name.find('-');
        if (dash != std::string::npos) name.erase(dash, 1);
        varNames[i] = name;
        for (int k = 0; k < N; ++k) {
            size_t start = c.pos;
            std::string_view v = nextToken(c);
            auto where = [&] {
                return "variable \"" + shownToken(t) + "\" (number " + std::to_string(i + 1) +
                       "), value " + std::to_string(k + 1) + " of " + std::to_string(N) + ": ";
            };
            if (v.empty()) return at(start) + where() + "the file ends here; expected a number";
            std::string why = parseNumber(v, obs[k][i]);
            if (!why.empty())
                return at(c.pos - v.size()) + where() + why + ", found \"" + shownToken(v) + "\"";
        }
        skipLine(c);
    }
    return "";
}

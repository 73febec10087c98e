// A table's token read as a number exactly as formatted input reads it in
// the classic locale (parseNumber), and shown in a reader's message
// (shownToken). Both table readers, the Matrix Market reader and the
// bindings' readers of numbers take them.
#include "core.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

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

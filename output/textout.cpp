// Buffered text files and the number format.
#include "output.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <unistd.h>


namespace {

// "00" to "99".
constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

}  // namespace

// For 1e-4 <= |x| < 1e6 the text is fixed-point: the decimal exponent X of x
// gives 5 - X decimals, and |x| * 10^(5 - X) (one rounding, far below 1e-6)
// rounded to a whole number gives the six digits, unless it lies near a tie,
// where the precise formatting decides. Other magnitudes, zero, infinities and
// not-a-number always go there.
char* formatNumber(char* first, char* last, double x)
{
    static constexpr double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
    static constexpr double kDecade[] = {1e-4, 1e-3, 1e-2, 1e-1, 1e0, 1e1, 1e2, 1e3, 1e4, 1e5};
    const double m = std::fabs(x);
    if (!(m >= 1e-4 && m < 1e6)) return formatNumberPrecise(first, last, x);
    int X = m >= 1 ? 5 : -1;
    while (X > -4 && m < kDecade[X + 4]) --X;
    const double y = m * kPow10[5 - X];
    long r = static_cast<long>(y);  // y is positive: truncation is the floor
    const double fraction = y - static_cast<double>(r);
    if (std::fabs(fraction - 0.5) < 1e-6) return formatNumberPrecise(first, last, x);
    r += fraction > 0.5;
    if (r == 1000000) {
        r = 100000;
        ++X;
        if (X == 6) return formatNumberPrecise(first, last, x);
    }
    if (r < 100000 || r > 999999) return formatNumberPrecise(first, last, x);
    // The six digits, then the trailing zeros that are not before the point
    // dropped.
    char d[6];
    const long high = r / 10000, low = r % 10000;
    std::memcpy(d, kDigitPairs + 2 * high, 2);
    std::memcpy(d + 2, kDigitPairs + 2 * (low / 100), 2);
    std::memcpy(d + 4, kDigitPairs + 2 * (low % 100), 2);
    int used = 6;
    while (used > X + 1 && d[used - 1] == '0') --used;
    char* o = first;
    *o = '-';
    o += x < 0;
    if (X < 0) {
        // "0." and -X - 1 zeros, then the digits.
        std::memcpy(o, "0.000", 5);
        o += 1 - X;
        std::memcpy(o, d, 6);
        return o + used;
    }
    std::memcpy(o, d, 6);
    if (used <= X + 1) return o + used;
    std::memmove(o + X + 2, o + X + 1, 5 - X);
    o[X + 1] = '.';
    return o + used + 1;
}

char* formatNumberPrecise(char* first, char* last, double x)
{
    // General format with precision 6 is the stream's default text, nan and
    // -nan included.
    return std::to_chars(first, last, x, std::chars_format::general, 6).ptr;
}

void growOut(TextOut& out, size_t n)
{
    out.buf.resize(std::max<size_t>({out.used + n, 2 * out.buf.size(), (1u << 16) + 4096}));
}

void putNumber(TextOut& out, double x)
{
    char* at = room(out, 32);
    if (out.literal) {
        // What a default-formatted stream does underneath: printf's %g.
        out.used += static_cast<size_t>(std::snprintf(at, 32, "%g", x));
        return;
    }
    out.used = static_cast<size_t>(formatNumber(at, at + 32, x) - out.buf.data());
}

void putInt(TextOut& out, long long n)
{
    char* at = room(out, 24);
    out.used = static_cast<size_t>(std::to_chars(at, at + 24, n).ptr - out.buf.data());
}

void flushOut(TextOut& out)
{
    if (out.fd < 0) return;
    const char* data = out.buf.data();
    size_t left = out.used;
    while (left > 0 && out.error == 0) {
        const ssize_t n = ::write(out.fd, data, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            out.error = errno;
        } else {
            data += n;
            left -= static_cast<size_t>(n);
        }
    }
    if (out.error == 0)
        out.written += static_cast<long long>(out.used);
    else if (::ftruncate(out.fd, out.written) != 0) {
        // Not a regular file: nothing to cut back.
    }
    out.used = 0;
}

void putShortest(TextOut& out, double x)
{
    char* at = room(out, 32);
    out.used = static_cast<size_t>(std::to_chars(at, at + 32, x).ptr - out.buf.data());
}

// Buffered text files and the number format.
#include "output.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <unistd.h>


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
    char d[6];
    for (int k = 5; k >= 0; --k, r /= 10) d[k] = static_cast<char>('0' + r % 10);
    int used = 6;
    while (used > X + 1 && d[used - 1] == '0') --used;
    char* o = first;
    if (x < 0) *o++ = '-';
    if (X >= 0) {
        for (int k = 0; k <= X; ++k) *o++ = d[k];
        if (used > X + 1) *o++ = '.';
        for (int k = X + 1; k < used; ++k) *o++ = d[k];
    } else {
        *o++ = '0';
        *o++ = '.';
        for (int z = -1; z > X; --z) *o++ = '0';
        for (int k = 0; k < used; ++k) *o++ = d[k];
    }
    (void)last;
    return o;
}

char* formatNumberPrecise(char* first, char* last, double x)
{
    // General format with precision 6 is the stream's default text, nan and
    // -nan included.
    return std::to_chars(first, last, x, std::chars_format::general, 6).ptr;
}

void putNumber(TextOut& out, double x)
{
    char text[32];
    if (out.literal) {
        // What a default-formatted stream does underneath: printf's %g.
        const int n = std::snprintf(text, sizeof text, "%g", x);
        out.buf.append(text, static_cast<size_t>(n));
        return;
    }
    out.buf.append(text, formatNumber(text, text + sizeof text, x));
}

void putInt(TextOut& out, long long n)
{
    char text[24];
    const auto res = std::to_chars(text, text + sizeof text, n);
    out.buf.append(text, res.ptr);
}

void flushOut(TextOut& out)
{
    if (out.fd < 0) return;
    const char* data = out.buf.data();
    size_t left = out.buf.size();
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
        out.written += static_cast<long long>(out.buf.size());
    else if (::ftruncate(out.fd, out.written) != 0) {
        // Not a regular file: nothing to cut back.
    }
    out.buf.clear();
}

void endLine(TextOut& out)
{
    out.buf += '\n';
    if (out.literal || out.buf.size() >= (1u << 16)) flushOut(out);
}

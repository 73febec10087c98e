// Buffered text files and the number format.
#include "output.h"

#include <cerrno>
#include <charconv>
#include <unistd.h>

void putNumber(TextOut& out, double x)
{
    // General format with precision 6 is the stream's default text, nan and
    // -nan included.
    char text[32];
    const auto res = std::to_chars(text, text + sizeof text, x, std::chars_format::general, 6);
    out.buf.append(text, res.ptr);
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
    if (out.eachLine || out.buf.size() >= (1u << 16)) flushOut(out);
}

// Buffered text files, their writes in large blocks past the page cache, the
// number format and the quoting of a tab-separated field.
#include "output.h"
#include "parallel.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// "00" to "99".
constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The six digits of r (100000 to 999999) into d.
inline void sixDigits(long r, char* d)
{
    const long high = r / 10000, low = r % 10000;
    std::memcpy(d, kDigitPairs + 2 * high, 2);
    std::memcpy(d + 2, kDigitPairs + 2 * (low / 100), 2);
    std::memcpy(d + 4, kDigitPairs + 2 * (low % 100), 2);
}

// The form below for 1e-4 <= |x| < 1, the magnitude of most coefficients,
// without a branch that depends on the digits: the decade from three
// comparisons, the trailing zeros from the digits' bytes. Null where the
// digits round up to the next decade or lie near a tie.
char* formatFraction(char* first, double x, double m)
{
    static constexpr double kScale[] = {1e6, 1e7, 1e8, 1e9};
    const int below = (m < 1e-1) + (m < 1e-2) + (m < 1e-3);  // the decade is -1 - below
    const double y = m * kScale[below];
    long r = static_cast<long>(y);
    const double fraction = y - static_cast<double>(r);
    r += fraction > 0.5;
    if (std::fabs(fraction - 0.5) < 1e-6 || r < 100000 || r > 999999) return nullptr;
    char d[8] = {'0', '0', '0', '0', '0', '0', '0', '0'};
    sixDigits(r, d);
    int used = 6;
    if constexpr (std::endian::native == std::endian::little) {
        std::uint64_t word;
        std::memcpy(&word, d, 8);
        // A byte other than '0' where the digit is not zero; the first never is.
        const std::uint64_t nonzero = (word ^ 0x3030303030303030u) & 0xffffffffffffu;
        used = (64 - __builtin_clzll(nonzero) + 7) / 8;
    } else {
        while (d[used - 1] == '0') --used;
    }
    char* o = first;
    *o = '-';
    o += x < 0;
    std::memcpy(o, "0.000", 5);
    o += 2 + below;
    std::memcpy(o, d, 8);
    return o + used;
}

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
    if (m >= 1e-4 && m < 1)
        if (char* end = formatFraction(first, x, m)) return end;
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
    sixDigits(r, d);
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

TextBuffer::TextBuffer(size_t n)
    : data_(static_cast<char*>(::operator new(n, std::align_val_t{kAlign}))), size_(n)
{
}

TextBuffer::~TextBuffer()
{
    if (data_) ::operator delete(data_, std::align_val_t{kAlign});
}

void TextBuffer::resize(size_t n)
{
    if (n == size_) return;
    TextBuffer grown(n);
    if (size_ > 0 && n > 0) std::memcpy(grown.data_, data_, std::min(n, size_));
    swap(grown);
}

void growOut(TextOut& out, size_t n)
{
    out.buf.resize(std::max<size_t>({out.used + n, 2 * out.buf.size(), (1u << 16) + 4096}));
}

char* numberText(char* first, double x, bool literal)
{
    // What a default-formatted stream does underneath: printf's %g.
    if (literal) return first + std::snprintf(first, 32, "%g", x);
    return formatNumber(first, first + 32, x);
}

void putNumber(TextOut& out, double x)
{
    char* at = room(out, 32);
    out.used = static_cast<size_t>(numberText(at, x, out.literal) - out.buf.data());
}

void putInt(TextOut& out, long long n)
{
    char* at = room(out, 24);
    out.used = static_cast<size_t>(std::to_chars(at, at + 24, n).ptr - out.buf.data());
}

// --- writes in blocks --------------------------------------------------------------
//
// Once a regular file has grown past directFrom, its text goes to the file in
// blocks of about kBlock bytes whose offsets and lengths are multiples of the
// file system's alignment for direct I/O, from page-aligned buffers: each
// block is written on a thread beside the caller while the caller formats the
// next into a second buffer, and the bytes past the last aligned offset stay
// for the next block. The first block is preceded by the bytes up to the
// first aligned offset, and the last partial one follows the others, both
// through the page cache. A file system that refuses O_DIRECT gets the same
// blocks through the page cache too.

namespace {

constexpr size_t kBlock = size_t{4} << 20;

// The alignment of direct writes to fd: offsets and lengths a multiple of it,
// from buffers aligned to TextBuffer::kAlign; 0 where direct I/O is not to be
// had.
size_t directAlignment(int fd)
{
#ifdef STATX_DIOALIGN
    struct statx sx {};
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_DIOALIGN, &sx) == 0 &&
        (sx.stx_mask & STATX_DIOALIGN) != 0) {
        const size_t offset = sx.stx_dio_offset_align, memory = sx.stx_dio_mem_align;
        if (offset == 0 || memory > TextBuffer::kAlign || kBlock % offset != 0) return 0;
        return std::max(offset, TextBuffer::kAlign);
    }
#else
    (void)fd;
#endif
    return TextBuffer::kAlign;
}

// Writes data[0, n) to fd at its offset; 0 or the errno of the failure. A
// direct write the file system refuses (EINVAL) clears O_DIRECT (direct
// false) and goes again through the page cache.
int writeAll(int fd, const char* data, size_t n, bool& direct, int plainFlags)
{
    while (n > 0) {
        const ssize_t k = ::write(fd, data, n);
        if (k < 0) {
            if (errno == EINTR) continue;
            if (errno == EINVAL && direct && ::fcntl(fd, F_SETFL, plainFlags) == 0) {
                direct = false;
                continue;
            }
            return errno;
        }
        data += k;
        n -= static_cast<size_t>(k);
    }
    return 0;
}

// After a failed write: the file cut back to its whole lines, the text dropped.
void fail(TextOut& out, int err)
{
    if (out.error == 0) out.error = err;
    if (::ftruncate(out.fd, out.written) != 0) {
        // Not a regular file: nothing to cut back.
    }
    out.used = 0;
}

// The offset just past the last line end in data[0, n) written at offset at;
// -1 without one.
long long lineEnd(const char* data, size_t n, long long at)
{
    const void* last = n > 0 ? ::memrchr(data, '\n', n) : nullptr;
    return last ? at + (static_cast<const char*>(last) - data) + 1 : -1;
}

}  // namespace

struct BlockWrites {
    int plainFlags = 0;  // the file's status flags without O_DIRECT
    size_t align = 0;
    bool direct = false;     // O_DIRECT set; cleared for good once refused
    long long end = 0;       // the file's length once the blocks handed on are written
    TextBuffer spare;        // the block being written, then room for the next
    size_t pending = 0;      // its length; 0: none
    long long pendingLineEnd = -1;  // written once it is in the file (-1: no line end)
    int err = 0;             // its write's errno
    Beside writer;           // last: ends before the buffer it writes
};

void BlockWritesEnd::operator()(BlockWrites* blocks) const { delete blocks; }

namespace {

// Waits for the block under way and takes its outcome.
void settle(TextOut& out)
{
    BlockWrites& b = *out.blocks;
    b.writer.finish();
    if (b.pending == 0) return;
    b.pending = 0;
    if (b.err != 0)
        fail(out, b.err);
    else if (b.pendingLineEnd >= 0)
        out.written = b.pendingLineEnd;
}

// Hands the whole blocks gathered to the writing thread.
void passBlocks(TextOut& out)
{
    settle(out);
    if (out.error != 0) {
        out.used = 0;
        return;
    }
    BlockWrites& b = *out.blocks;
    const size_t n = b.direct ? out.used - out.used % b.align : out.used;
    if (n == 0) return;
    b.pendingLineEnd = lineEnd(out.buf.data(), n, b.end);
    if (b.spare.size() < out.buf.size()) b.spare = TextBuffer(out.buf.size());
    out.buf.swap(b.spare);
    std::memcpy(out.buf.data(), b.spare.data() + n, out.used - n);
    out.used -= n;
    b.pending = n;
    b.end += static_cast<long long>(n);
    b.writer.start([&b, fd = out.fd] {
        b.err = writeAll(fd, b.spare.data(), b.pending, b.direct, b.plainFlags);
    });
}

// Turns a regular file that has grown past directFrom to blocks, when its
// file system takes direct I/O: the bytes up to the first aligned offset are
// written at once, through the page cache.
void startBlocks(TextOut& out)
{
    struct stat st {};
    const size_t align = directAlignment(out.fd);
    const int flags = ::fcntl(out.fd, F_GETFL);
    if (::fstat(out.fd, &st) != 0 || !S_ISREG(st.st_mode) || align == 0 || flags < 0 ||
        ::fcntl(out.fd, F_SETFL, flags | O_DIRECT) != 0) {
        out.directFrom = 0;
        return;
    }
    const int plain = flags & ~O_DIRECT;
    const size_t head = (align - static_cast<size_t>(out.written) % align) % align;
    bool direct = false;
    if (head > out.used || (head > 0 && ::fcntl(out.fd, F_SETFL, plain) != 0)) {
        ::fcntl(out.fd, F_SETFL, plain);  // too little text yet: at the next flush
        return;
    }
    out.directFrom = 0;
    const int err = writeAll(out.fd, out.buf.data(), head, direct, plain);
    if (err != 0) return fail(out, err);
    auto b = std::unique_ptr<BlockWrites, BlockWritesEnd>(new BlockWrites);
    b->plainFlags = plain;
    b->align = align;
    b->end = out.written + static_cast<long long>(head);
    b->direct = head == 0 || ::fcntl(out.fd, F_SETFL, plain | O_DIRECT) == 0;
    const long long end = lineEnd(out.buf.data(), head, out.written);
    if (end >= 0) out.written = end;
    std::memmove(out.buf.data(), out.buf.data() + head, out.used - head);
    out.used -= head;
    out.blocks = std::move(b);
    out.flushAt = kBlock;
}

}  // namespace

void flushOut(TextOut& out)
{
    if (out.fd < 0) return;
    if (out.blocks) return passBlocks(out);
    if (out.directFrom > 0 && out.error == 0 &&
        out.written + static_cast<long long>(out.used) >= out.directFrom) {
        startBlocks(out);
        if (out.blocks || out.error != 0) return;  // the rest waits for a whole block
    }
    bool direct = false;
    const int err =
        out.error != 0 ? out.error : writeAll(out.fd, out.buf.data(), out.used, direct, 0);
    if (err != 0) return fail(out, err);
    out.written += static_cast<long long>(out.used);
    out.used = 0;
}

void finishOut(TextOut& out)
{
    if (!out.blocks) return flushOut(out);
    passBlocks(out);
    settle(out);
    BlockWrites& b = *out.blocks;
    if (b.direct && ::fcntl(out.fd, F_SETFL, b.plainFlags) == 0) b.direct = false;
    if (out.error == 0 && out.used > 0) {
        const int err = writeAll(out.fd, out.buf.data(), out.used, b.direct, b.plainFlags);
        if (err != 0)
            fail(out, err);
        else
            out.written = b.end + static_cast<long long>(out.used);
    } else if (out.error == 0) {
        out.written = b.end;
    }
    out.used = 0;
    out.blocks.reset();
    out.flushAt = 1 << 16;
}

void putField(TextOut& out, std::string_view name)
{
    if (name.find_first_of("\"\t\n\r") == std::string_view::npos) return put(out, name);
    put(out, "\"");
    for (size_t k = 0;;) {
        const size_t q = name.find('"', k);
        put(out, name.substr(k, q == std::string_view::npos ? q : q + 1 - k));
        if (q == std::string_view::npos) break;
        put(out, "\"");
        k = q + 1;
    }
    put(out, "\"");
}

void putLines(TextOut& out, std::string_view text)
{
    put(out, text);
    if (out.literal || out.used >= out.flushAt) flushOut(out);
}

void putShortest(TextOut& out, double x)
{
    char* at = room(out, 32);
    out.used = static_cast<size_t>(std::to_chars(at, at + 32, x).ptr - out.buf.data());
}

// Loading a table's bytes: a file or standard input read whole, then
// inflated when it is gzip-compressed (every member of the stream).
#include "table_bytes.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <sys/stat.h>
#include <zlib.h>

namespace {

constexpr const char* kTooLarge = "too large to read into memory";
constexpr size_t kChunk = size_t{1} << 20;

// Fills bytes with everything left in f; "" or the system's reason.
std::string readAll(std::FILE* f, std::string& bytes)
{
    struct stat st;
    if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        bytes.reserve(static_cast<size_t>(st.st_size) + 1);
    size_t size = 0;
    for (;;) {
        if (bytes.size() - size < kChunk) bytes.resize(std::max(size + kChunk, bytes.capacity()));
        errno = 0;
        const size_t got = std::fread(bytes.data() + size, 1, bytes.size() - size, f);
        size += got;
        if (got == 0 || size < bytes.size()) {
            if (std::ferror(f)) return std::strerror(errno != 0 ? errno : EIO);
            if (std::feof(f)) break;
        }
    }
    bytes.resize(size);
    return "";
}

}  // namespace

std::string inflateTable(std::string_view gz, std::string& out)
{
    out.clear();
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return z.msg ? z.msg : "zlib cannot start";
    std::string why;
    try {
        // The size field at the end of a single-member stream, when plausible
        // (deflate expands at most about 1032 times), sizes the first buffer.
        size_t guess = gz.size() * 4;
        if (gz.size() >= 18) {
            const auto* e = reinterpret_cast<const unsigned char*>(gz.data() + gz.size() - 4);
            const size_t isize = e[0] | e[1] << 8 | e[2] << 16 | size_t{e[3]} << 24;
            if (isize / 1032 <= gz.size()) guess = isize;
        }
        out.resize(std::max<size_t>(guess, 4096));
        size_t fed = 0, produced = 0;
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data()));
        for (;;) {
            if (z.avail_in == 0 && fed < gz.size()) {
                z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data() + fed));
                z.avail_in = static_cast<uInt>(std::min<size_t>(gz.size() - fed, UINT_MAX));
                fed += z.avail_in;
            }
            if (produced == out.size()) out.resize(out.size() * 2);
            const size_t room = std::min<size_t>(out.size() - produced, UINT_MAX);
            z.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
            z.avail_out = static_cast<uInt>(room);
            const int status = inflate(&z, Z_NO_FLUSH);
            produced += room - z.avail_out;
            if (status == Z_STREAM_END) {
                if (z.avail_in == 0 && fed == gz.size()) break;
                inflateReset(&z);  // the next member
            } else if (status == Z_BUF_ERROR && z.avail_in == 0 && fed == gz.size()) {
                why = "not a complete gzip stream";
                break;
            } else if (status != Z_OK && status != Z_BUF_ERROR) {
                why = status == Z_MEM_ERROR ? kTooLarge : z.msg ? z.msg : "not a complete gzip stream";
                break;
            }
        }
        out.resize(produced);
    } catch (const std::bad_alloc&) {
        why = kTooLarge;
    } catch (const std::length_error&) {
        why = kTooLarge;
    }
    inflateEnd(&z);
    if (!why.empty()) out.clear();
    return why;
}

std::string loadTable(const std::string& path, std::string& bytes)
{
    bytes.clear();
    const bool standardInput = path == "-";
    const std::string name = standardInput ? "standard input" : path;
    std::FILE* f = standardInput ? stdin : std::fopen(path.c_str(), "rb");
    if (f == nullptr) return name + ": " + std::strerror(errno);
    std::string why;
    try {
        why = readAll(f, bytes);
    } catch (const std::bad_alloc&) {
        why = kTooLarge;
    } catch (const std::length_error&) {
        why = kTooLarge;
    }
    if (!standardInput) std::fclose(f);
    if (why.empty() && bytes.size() >= 2 && bytes[0] == '\x1f' && bytes[1] == '\x8b') {
        std::string text;
        why = inflateTable(bytes, text);
        bytes.swap(text);
    }
    if (!why.empty()) {
        bytes.clear();
        return name + ": " + why;
    }
    return "";
}

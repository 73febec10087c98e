// TextOut: the number text of putNumber, formatNumber and
// formatNumberPrecise against the stream's default format, and the writes of
// a text into a real file, in whole lines, through the page cache and past
// it in blocks, with the file system's refusals and write failures.
#include "writers.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <cfloat>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>

// Writes that fail on demand: this definition takes the C library's place for
// every write() of the code under test. The next direct write (O_DIRECT set)
// to gFailFd fails with gFailErrno once gFailAfter more have gone through;
// gSizeAtFailure is the file's length then.
std::atomic<int> gFailFd{-1}, gFailAfter{0}, gFailErrno{0};
std::atomic<long long> gSizeAtFailure{-1};

extern "C" ssize_t write(int fd, const void* data, size_t n)
{
    if (fd == gFailFd.load() && (::fcntl(fd, F_GETFL) & O_DIRECT) != 0 &&
        gFailAfter.fetch_sub(1) == 0) {
        struct stat st {};
        gSizeAtFailure = ::fstat(fd, &st) == 0 ? st.st_size : -1;
        errno = gFailErrno.load();
        return -1;
    }
    return ::syscall(SYS_write, fd, data, n);
}

namespace {

std::string putNumberText(double x, bool literal)
{
    TextOut out;
    out.literal = literal;
    putNumber(out, x);
    return std::string(text(out));
}

std::string formatText(double x, bool precise)
{
    char text[64];
    char* end = precise ? formatNumberPrecise(text, text + sizeof text, x)
                        : formatNumber(text, text + sizeof text, x);
    return std::string(text, end);
}

// The value a decimal text denotes, rounded to the nearest double.
double decimal(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

// Every value, and its neighbours a few ulps either side.
void addWithNeighbours(std::vector<double>& values, double x, int ulps = 2)
{
    values.push_back(x);
    double up = x, down = x;
    for (int k = 0; k < ulps; ++k) {
        up = std::nextafter(up, std::numeric_limits<double>::infinity());
        down = std::nextafter(down, -std::numeric_limits<double>::infinity());
        values.push_back(up);
        values.push_back(down);
    }
}

// Compares every way of writing a number with the stream's default text and
// returns a description of the first few differences.
std::string mismatches(const std::vector<double>& values)
{
    std::string report;
    int count = 0;
    for (double x : values) {
        for (double v : {x, -x}) {
            const std::string want = streamText(v);
            const std::string got[4] = {putNumberText(v, false), putNumberText(v, true),
                                        formatText(v, false), formatText(v, true)};
            for (int k = 0; k < 4; ++k) {
                if (got[k] == want) continue;
                if (++count <= 10) {
                    char bits[64];
                    std::snprintf(bits, sizeof bits, "%a", v);
                    static const char* const kWays[4] = {"putNumber", "putNumber literal",
                                                         "formatNumber", "formatNumberPrecise"};
                    report += std::string(kWays[k]) + "(" + bits + ") = \"" + got[k] +
                              "\", stream \"" + want + "\"\n";
                }
            }
        }
    }
    if (count > 10) report += "... " + std::to_string(count) + " differences in all\n";
    return report;
}

// Whether O_DIRECT is set on fd.
bool directSet(int fd) { return (::fcntl(fd, F_GETFL) & O_DIRECT) != 0; }

// Whether the file system of fd takes O_DIRECT (the flag is left as it was).
bool takesDirect(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    const bool takes = ::fcntl(fd, F_SETFL, flags | O_DIRECT) == 0;
    ::fcntl(fd, F_SETFL, flags);
    return takes;
}

// Writes 15 MiB of numbered lines of every length from 3 to 106 bytes to the
// file, with blocks from 1 MiB on, and returns their text. Now and then,
// halfway through a line, the file must hold a prefix of the text, with whole
// lines up to out.written; sawDirect tells whether O_DIRECT was set then.
std::string writeManyLines(const TempFile& file, TextOut& out, bool* sawDirect = nullptr)
{
    out.fd = file.fd;
    out.directFrom = 1 << 20;
    std::string want;
    for (int k = 0; want.size() < (15u << 20); ++k) {
        const std::string line = std::to_string(k) + std::string(static_cast<size_t>(k % 97),
                                                                 static_cast<char>('a' + k % 26));
        put(out, line);
        if (k % 25000 == 0) {
            const std::string onDisk = file.contents();
            EXPECT_TRUE(want.compare(0, onDisk.size(), onDisk) == 0) << "line " << k;
            EXPECT_LE(out.written, static_cast<long long>(onDisk.size()));
            EXPECT_TRUE(out.written == 0 || want[static_cast<size_t>(out.written) - 1] == '\n');
            if (sawDirect) *sawDirect = *sawDirect || directSet(file.fd);
        }
        endLine(out);
        want += line;
        want += '\n';
    }
    return want;
}

}  // namespace

// --- number text ---------------------------------------------------------------------

TEST(NumberFormat, NamedValuesAsTheStreamWritesThem)
{
    EXPECT_EQ(putNumberText(0.5, false), "0.5");
    EXPECT_EQ(putNumberText(-0.25, false), "-0.25");
    EXPECT_EQ(putNumberText(1e-7, false), "1e-07");
    EXPECT_EQ(putNumberText(0.000015, false), "1.5e-05");
    EXPECT_EQ(putNumberText(-0.7123456, false), "-0.712346");
    EXPECT_EQ(putNumberText(1234567, false), "1.23457e+06");
    EXPECT_EQ(putNumberText(123456, false), "123456");
    EXPECT_EQ(putNumberText(1e6, false), "1e+06");
    EXPECT_EQ(putNumberText(1, false), "1");
    EXPECT_EQ(putNumberText(-0.0, false), "-0");
    EXPECT_EQ(putNumberText(kNan, false), "nan");
    EXPECT_EQ(putNumberText(kNegNan, false), "-nan");
    EXPECT_EQ(putNumberText(std::numeric_limits<double>::infinity(), false), "inf");
    EXPECT_EQ(putNumberText(-std::numeric_limits<double>::infinity(), false), "-inf");
}

TEST(NumberFormat, InfinitiesNotANumberAndExtremeValuesMatchTheStream)
{
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> values = {0.0,  -0.0,    inf,  -inf,    kNan,   kNegNan, 1e-5,
                                  1.5e-05, 1e+06, 123456, 1234567, 1e-4,  1e-7,    0.1,
                                  0.3,  1.0 / 3, 2.0 / 3, 100000, 999999, 1e5,     1e-300,
                                  1e300};
    addWithNeighbours(values, std::numeric_limits<double>::denorm_min());
    addWithNeighbours(values, DBL_MIN);
    addWithNeighbours(values, DBL_MAX);
    addWithNeighbours(values, 1e-4);
    addWithNeighbours(values, 1e6);
    addWithNeighbours(values, 1.0);
    addWithNeighbours(values, 10.0);
    for (double x = 5e-324; x < 1e-300; x *= 7.3) values.push_back(x);  // denormals up
    EXPECT_EQ(mismatches(values), "");
}

TEST(NumberFormat, RoundingBoundariesOfSixDigitsMatchTheStream)
{
    // The six-digit round-offs that sit on a tie (and just either side), in
    // every decade around the fixed-point range and across its two edges.
    std::vector<double> values;
    for (const char* tie : {"0.1234565", "999999.5", "9.999995e-5", "99999.95", "9999.995",
                            "999.9995", "99.99995", "9.999995", "0.9999995", "0.09999995",
                            "0.009999995", "0.0009999995", "0.00009999995", "1.000005",
                            "0.1000005", "1000005", "9999995", "0.00001000005", "0.0001000005",
                            "0.0000999995", "0.1234575", "2.5e-5", "0.5e-4", "1.0000005e-4",
                            "999999.4999999", "999999.5000001", "0.99999949999999"})
        addWithNeighbours(values, decimal(tie), 4);
    std::mt19937_64 rng(20240611);
    std::uniform_int_distribution<long> digits(100000, 999999);
    for (int e = -8; e <= 9; ++e)
        for (int k = 0; k < 400; ++k) {
            const long m = digits(rng);
            const std::string mantissa = std::to_string(m);
            // m.5 and m.4999.., m.5000..1 at decimal exponent e of the leading digit
            for (const char* tail : {"5", "49999999", "50000001", "0", "9"})
                addWithNeighbours(values,
                                  decimal(mantissa + tail + "e" + std::to_string(e - 5 -
                                          static_cast<int>(std::strlen(tail)))), 1);
        }
    EXPECT_EQ(mismatches(values), "");
}

TEST(NumberFormat, RandomValuesOfEveryMagnitudeMatchTheStream)
{
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> mantissa(1.0, 10.0);
    std::uniform_int_distribution<int> exponent(-12, 12);
    std::uniform_int_distribution<int> wide(-320, 308);
    std::uniform_int_distribution<long> whole(-2000000, 2000000);
    std::vector<double> values;
    for (int k = 0; k < 150000; ++k) values.push_back(mantissa(rng) * std::pow(10.0, exponent(rng)));
    for (int k = 0; k < 20000; ++k) values.push_back(mantissa(rng) * std::pow(10.0, wide(rng)));
    for (int k = 0; k < 20000; ++k) values.push_back(static_cast<double>(whole(rng)) / 1000);
    for (int k = 0; k < 20000; ++k) values.push_back(static_cast<double>(whole(rng)));
    for (int k = 0; k < 40000; ++k) {  // arbitrary bit patterns, NaN payloads included
        const std::uint64_t bits = rng();
        double x;
        std::memcpy(&x, &bits, sizeof x);
        values.push_back(x);
    }
    // Correlation-like values: what the report and the NET files mostly hold.
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (int k = 0; k < 100000; ++k) values.push_back(unit(rng));
    EXPECT_EQ(mismatches(values), "");
}

TEST(NumberFormat, DecadeEdgesAndRandomBitPatternsMatchTheStream)
{
    std::mt19937_64 gen(11);
    std::uniform_real_distribution<double> unit(-1, 1);
    std::vector<double> values = {0.5, -0.25, 1e-7, 1e-5, 1.5e-05, 1e6, 999999.5, 999999.4, 123456,
                                  1234567, 0.1234565, 9.999995e-5, 0.00012345650000000001, 1, -1,
                                  0.0, -0.0, 5e-324, 1.7976931348623157e308, INFINITY, -INFINITY,
                                  std::nan(""), -std::nan(""), 0.1, 1e-4, 99999.95,
                                  // decades of coefficients, and digits rounding up to the next
                                  0.01, 0.001, -0.001, 0.0999999, 0.09999996, -0.00999995,
                                  0.000999996, 0.99999951, 0.9999994, 0.1000005, 0.000100000,
                                  0.0123, -0.5, 0.25000049999999999};
    for (const double step : {0x1p-52, 0x1p-40, 1e-7})
        for (const double edge : {1e-4, 1e-3, 1e-2, 1e-1, 1.0})
            for (const double x : {edge * (1 - step), edge * (1 + step)}) values.push_back(x);
    for (int k = 0; k < 200000; ++k) {
        values.push_back(std::bit_cast<double>(gen()));
        const double u = unit(gen);
        values.push_back(u);
        values.push_back(u * std::pow(10.0, static_cast<int>(gen() % 12) - 5));
    }
    for (double x : values) ASSERT_EQ(putNumberText(x, false), streamText(x)) << std::hexfloat << x;
}

// --- TextOut ----------------------------------------------------------------------------

TEST(TextFile, WithoutAFileTheTextStaysInTheBuffer)
{
    TextOut out;
    std::string want;
    for (int k = 0; k < 20000; ++k) {
        putInt(out, k);
        put(out, " line");
        endLine(out);
        want += std::to_string(k) + " line\n";
    }
    flushOut(out);
    EXPECT_GT(want.size(), 1u << 16);
    EXPECT_EQ(text(out), want);
    EXPECT_EQ(out.error, 0);
}

TEST(TextFile, FileHoldsExactlyTheText)
{
    TempFile file;
    ASSERT_GE(file.fd, 0);
    TextOut out;
    out.fd = file.fd;
    printStuff(3, kNames3, workedMatrix(-0.7123456), out, ReportLayout{"T", true});
    flushOut(out);
    EXPECT_EQ(file.contents(), "T\n\n\tG1\tG2\tG3\t\nG1\t1\t0.8\t-0.1\t\n"
                               "G2\t0.8\t1\t-0.712346\t\nG3\t-0.1\t-0.712346\t1\t\n");
    EXPECT_EQ(out.written, static_cast<long long>(file.contents().size()));
    EXPECT_EQ(out.error, 0);
}

TEST(TextFile, LargeOutputReachesTheFileOnlyInWholeLines)
{
    TempFile file;
    ASSERT_GE(file.fd, 0);
    TextOut out;
    out.fd = file.fd;
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> u(-1, 1);
    std::string want;
    int flushes = 0;
    long long last = 0;
    for (int k = 0; k < 60000; ++k) {
        const double x = u(rng);
        put(out, "edge ");
        putInt(out, k);
        put(out, " ");
        putNumber(out, x);
        if (k % 997 == 0) {  // halfway through a line the file never holds part of it
            const std::string onDisk = file.contents();
            EXPECT_EQ(static_cast<long long>(onDisk.size()), out.written);
            EXPECT_TRUE(onDisk.empty() || onDisk.back() == '\n');
        }
        endLine(out);
        want += "edge " + std::to_string(k) + " " + streamText(x) + "\n";
        if (out.written != last) {
            ++flushes;
            last = out.written;
            EXPECT_TRUE(text(out).empty());
            EXPECT_EQ(want.substr(0, static_cast<size_t>(out.written)), file.contents());
        }
        if (k % 997 == 0) {
            EXPECT_EQ(out.written + static_cast<long long>(text(out).size()),
                      static_cast<long long>(want.size()));
        }
    }
    // A long line without its end stays out of the file however large it is.
    const long long before = out.written;
    put(out, std::string(200000, 'x'));
    EXPECT_EQ(static_cast<long long>(file.contents().size()), before);
    endLine(out);
    want += std::string(200000, 'x') + "\n";
    flushOut(out);
    EXPECT_GT(want.size(), 1u << 20);
    EXPECT_GE(flushes, 10);
    EXPECT_EQ(file.contents(), want);
    EXPECT_EQ(out.written, static_cast<long long>(want.size()));
    EXPECT_EQ(out.error, 0);
}

TEST(TextFile, LiteralOutputWritesEveryLineAsItEnds)
{
    TempFile file;
    ASSERT_GE(file.fd, 0);
    TextOut out;
    out.fd = file.fd;
    out.literal = true;
    std::string want;
    for (int k = 0; k < 50; ++k) {
        putNumber(out, k / 7.0);
        endLine(out);
        want += streamText(k / 7.0) + "\n";
        ASSERT_EQ(file.contents(), want);
    }
}

TEST(TextFile, FailedWriteKeepsTheErrorAndDropsLaterText)
{
    TempFile file;
    ASSERT_GE(file.fd, 0);
    const int readOnly = ::open(file.path.c_str(), O_RDONLY);
    ASSERT_GE(readOnly, 0);
    TextOut out;
    out.fd = readOnly;
    put(out, "lost");
    endLine(out);
    flushOut(out);
    EXPECT_EQ(out.error, EBADF);
    EXPECT_EQ(out.written, 0);
    put(out, "also lost");
    endLine(out);
    flushOut(out);
    EXPECT_EQ(out.error, EBADF);
    EXPECT_TRUE(text(out).empty());
    EXPECT_EQ(file.contents(), "");
    ::close(readOnly);
}

// --- TextOut in blocks past the page cache ----------------------------------------------

TEST(TextFileInBlocks, LargeFileHoldsExactlyTheTextAndWholeLinesUpToWritten)
{
    // Once cleanly, once with a direct write refused (EINVAL), which is made
    // again through the page cache.
    for (const int refusals : {0, 1}) {
        TempFile file;
        ASSERT_GE(file.fd, 0);
        const bool direct = takesDirect(file.fd);
        gFailErrno = EINVAL;
        gFailAfter = refusals > 0 ? 1 : -1;
        gFailFd = file.fd;
        TextOut out;
        bool sawDirect = false;
        const std::string want = writeManyLines(file, out, &sawDirect);
        EXPECT_LT(out.written, static_cast<long long>(want.size()));  // the last block waits
        finishOut(out);
        gFailFd = -1;
        EXPECT_EQ(out.error, 0);
        EXPECT_EQ(out.written, static_cast<long long>(want.size()));
        EXPECT_TRUE(file.contents() == want) << refusals << " refusals";
        EXPECT_FALSE(directSet(file.fd));  // the descriptor is as it was
        EXPECT_EQ(sawDirect, direct);
        EXPECT_TRUE(!direct || refusals == 0 || gFailAfter.load() < 0) << "no write refused";
    }
}

TEST(TextFileInBlocks, FileSystemRefusingDirectIoGetsTheSameBytesThroughThePageCache)
{
    // ramfs refuses O_DIRECT (this kernel's tmpfs takes it).
    std::string dir = (std::filesystem::temp_directory_path() / "assocnet-ramfs-XXXXXX").string();
    ASSERT_NE(::mkdtemp(dir.data()), nullptr);
    if (::mount("ramfs", dir.c_str(), "ramfs", 0, nullptr) != 0) {
        ::rmdir(dir.c_str());
        GTEST_SKIP() << "no ramfs can be mounted here";
    }
    {
        TempFile file(dir);
        ASSERT_GE(file.fd, 0);
        EXPECT_FALSE(takesDirect(file.fd));
        TextOut out;
        bool sawDirect = false;
        const std::string want = writeManyLines(file, out, &sawDirect);
        finishOut(out);
        EXPECT_FALSE(sawDirect);
        EXPECT_EQ(out.written, static_cast<long long>(want.size()));
        EXPECT_TRUE(file.contents() == want);
    }
    ::umount2(dir.c_str(), MNT_DETACH);
    ::rmdir(dir.c_str());
}

TEST(TextFileInBlocks, FailedBlockCutsTheFileBackToItsLastWholeLine)
{
    TempFile file;
    ASSERT_GE(file.fd, 0);
    if (!takesDirect(file.fd)) GTEST_SKIP() << "the temporary folder refuses O_DIRECT";
    gFailErrno = ENOSPC;
    gFailAfter = 1;
    gFailFd = file.fd;
    TextOut out;
    const std::string want = writeManyLines(file, out);
    finishOut(out);
    gFailFd = -1;
    // The blocks written before it end mid-line.
    ASSERT_GT(gSizeAtFailure.load(), 0);
    ASSERT_NE(want[static_cast<size_t>(gSizeAtFailure.load()) - 1], '\n');
    EXPECT_EQ(out.error, ENOSPC);
    const std::string got = file.contents();
    EXPECT_EQ(static_cast<long long>(got.size()), out.written);
    EXPECT_GT(out.written, 1 << 20);
    EXPECT_EQ(got.back(), '\n');
    EXPECT_TRUE(want.compare(0, got.size(), got) == 0);
}

TEST(TextFileInBlocks, ChunkedReportGivesTheTextOfTheReport)
{
    // The report's chunks of rows arrive whole, several MiB at a time.
    const int V = 2100;
    const Matrix m = randomMatrix(V, 23);
    const Names names = numberedNames(V);
    const int saved = omp_get_max_threads();
    omp_set_num_threads(2);
    TempFile file;
    ASSERT_GE(file.fd, 0);
    TextOut out;
    out.fd = file.fd;
    out.directFrom = 1 << 20;
    printStuff(V, names, m, out, ReportLayout{"T", false});
    finishOut(out);
    EXPECT_EQ(out.error, 0);
    EXPECT_TRUE(file.contents() == report(V, names, m, false, "T"));
    omp_set_num_threads(saved);
}

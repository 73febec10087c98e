// The number text, the matrix report, the SIF and NET writers, byte for byte,
// the edge-list writers (SIF, NET, edge table, GraphML read back through
// libxml2), and the block writes of TextOut into a real file, through the page
// cache and past it, with the file system's refusals and write failures.
#include "core.h"
#include "output.h"

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <omp.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

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

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
const double kNegNan = std::copysign(kNan, -1.0);

std::string streamText(double x)
{
    std::ostringstream os;
    os << x;
    return os.str();
}

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

const Names kNames3 = {"G1", "G2", "G3"};

// The worked example's upper triangle, with noise on and below the diagonal.
Matrix workedMatrix(double g2g3)
{
    return {{0.999, 0.8, -0.1}, {42.0, kNan, g2g3}, {-7.0, 0.3, kNegNan}};
}

std::string report(int V, const Names& names, const Matrix& m, bool mirrored,
                   std::string_view title = "TITLE")
{
    TextOut out;
    printStuff(V, names, m, out, ReportLayout{title, mirrored});
    return std::string(text(out));
}

constexpr SifLabels kR2{" r2pos ", " r2neg "};
constexpr SifLabels kR3{" r3pos ", " r3neg "};

std::string sif(int V, int N, double z, const Matrix& m, const Names& names, int order,
                SifLabels labels = kR2)
{
    TextOut out;
    getCytoScapeInput(V, thresholdFor(N, z, order), m, out, names, labels);
    return std::string(text(out));
}

std::string net(int V, int N, double z, const Matrix& m, const Names& names, int order)
{
    TextOut out;
    getPajekInput(V, thresholdFor(N, z, order), m, out, names);
    return std::string(text(out));
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

Names numberedNames(int V)
{
    Names names;
    for (int i = 0; i < V; ++i) {
        std::string name = "v";
        name += std::to_string(i + 1);
        names.push_back(name);
    }
    return names;
}

Matrix randomMatrix(int V, unsigned seed)
{
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Matrix m(V, V, 0.0);
    for (long k = 0; k < static_cast<long>(V) * V; ++k) m.data()[k] = u(rng);
    return m;
}

// The bytes of the file at path.
std::string fileText(const std::string& path)
{
    std::string text;
    const int in = ::open(path.c_str(), O_RDONLY);
    char block[1 << 16];
    for (ssize_t n; in >= 0 && (n = ::read(in, block, sizeof block)) > 0;)
        text.append(block, static_cast<size_t>(n));
    if (in >= 0) ::close(in);
    return text;
}

// A temporary file, removed at the end of the test.
struct TempFile {
    std::string path;
    int fd = -1;
    explicit TempFile(const std::string& dir = std::filesystem::temp_directory_path().string())
    {
        std::string pattern = dir + "/assocnet-textout-XXXXXX";
        fd = ::mkstemp(pattern.data());
        path = pattern;
    }
    ~TempFile()
    {
        if (fd >= 0) ::close(fd);
        ::unlink(path.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    std::string contents() const { return fileText(path); }
};

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

// The edges of the pairs i < j of m whose magnitude exceeds t, row by row.
std::vector<Edge> edgesAbove(int V, const Matrix& m, double t)
{
    std::vector<Edge> edges;
    for (int i = 0; i < V; ++i)
        for (int j = i + 1; j < V; ++j)
            if (std::fabs(m[i][j]) > t) edges.push_back({i, j, m[i][j], 0.5, 0.5, 0});
    return edges;
}

// The child elements of an XML element with the given name, in order.
std::vector<xmlNode*> children(xmlNode* parent, const char* name)
{
    std::vector<xmlNode*> found;
    const xmlChar* wanted = reinterpret_cast<const xmlChar*>(name);
    for (xmlNode* c = parent->children; c; c = c->next)
        if (c->type == XML_ELEMENT_NODE && xmlStrEqual(c->name, wanted)) found.push_back(c);
    return found;
}

std::string attribute(xmlNode* element, const char* name)
{
    xmlChar* value = xmlGetProp(element, reinterpret_cast<const xmlChar*>(name));
    std::string text = value ? reinterpret_cast<const char*>(value) : "(none)";
    xmlFree(value);
    return text;
}

// The text of each <data> child of an element, by key, joined as "key=text;".
std::string dataOf(xmlNode* element)
{
    std::string all;
    for (xmlNode* d : children(element, "data")) {
        xmlChar* content = xmlNodeGetContent(d);
        all += attribute(d, "key") + "=" + reinterpret_cast<const char*>(content) + ";";
        xmlFree(content);
    }
    return all;
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

// --- matrix report -------------------------------------------------------------------

TEST(MatrixReport, MirroredWorkedExampleReadsOnlyTheUpperTriangle)
{
    // Diagonal 0.999 and nan and the noise below it never reach the file.
    EXPECT_EQ(report(3, kNames3, workedMatrix(-0.7123456), true,
                     "COMBINED SECOND ORDER PEARSON CORRELATION MATRIX"),
              "COMBINED SECOND ORDER PEARSON CORRELATION MATRIX\n"
              "\n"
              "\tG1\tG2\tG3\t\n"
              "G1\t1\t0.8\t-0.1\t\n"
              "G2\t0.8\t1\t-0.712346\t\n"
              "G3\t-0.1\t-0.712346\t1\t\n");
}

TEST(MatrixReport, FullLayoutOfASymmetricMatrixGivesTheMirroredLines)
{
    const Matrix m = {{1, 0.8, -0.1}, {0.8, 1, -0.7123456}, {-0.1, -0.7123456, 1}};
    EXPECT_EQ(report(3, kNames3, m, false, "ZEROTH ORDER PEARSON CORRELATION MATRIX"),
              "ZEROTH ORDER PEARSON CORRELATION MATRIX\n"
              "\n"
              "\tG1\tG2\tG3\t\n"
              "G1\t1\t0.8\t-0.1\t\n"
              "G2\t0.8\t1\t-0.712346\t\n"
              "G3\t-0.1\t-0.712346\t1\t\n");
}

TEST(MatrixReport, FullLayoutPrintsEveryCellAsStored)
{
    // Not-a-number on the diagonal with either sign, a lower triangle that
    // differs from its mirror, and unpadded short numbers.
    const Matrix m = {{kNegNan, 0.5, 1e-7}, {-0.25, kNan, 0.999}, {3, -0.0, 0.999}};
    EXPECT_EQ(report(3, {"a", "b-c", "d"}, m, false),
              "TITLE\n"
              "\n"
              "\ta\tb-c\td\t\n"
              "a\t-nan\t0.5\t1e-07\t\n"
              "b-c\t-0.25\tnan\t0.999\t\n"
              "d\t3\t-0\t0.999\t\n");
}

TEST(MatrixReport, MirroredLayoutWritesShortNumbersUnpadded)
{
    const Matrix m = {{0, 0.5, 1e-7}, {0, 0, -0.25}, {0, 0, 0}};
    EXPECT_EQ(report(3, kNames3, m, true),
              "TITLE\n\n\tG1\tG2\tG3\t\n"
              "G1\t1\t0.5\t1e-07\t\n"
              "G2\t0.5\t1\t-0.25\t\n"
              "G3\t1e-07\t-0.25\t1\t\n");
}

TEST(MatrixReport, NoVariablesGiveTitleEmptyLineAndALoneTab)
{
    EXPECT_EQ(report(0, {}, {}, true), "TITLE\n\n\t\n");
    EXPECT_EQ(report(0, {}, {}, false), "TITLE\n\n\t\n");
}

TEST(MatrixReport, OneVariable)
{
    EXPECT_EQ(report(1, {"A"}, {{kNan}}, true), "TITLE\n\n\tA\t\nA\t1\t\n");
    EXPECT_EQ(report(1, {"A"}, {{0.999}}, true), "TITLE\n\n\tA\t\nA\t1\t\n");
    EXPECT_EQ(report(1, {"A"}, {{1}}, false), "TITLE\n\n\tA\t\nA\t1\t\n");
    EXPECT_EQ(report(1, {"A"}, {{kNegNan}}, false), "TITLE\n\n\tA\t\nA\t-nan\t\n");
}

TEST(MatrixReport, EveryTableLineHoldsVPlusOneTabs)
{
    const int V = 17;
    const std::string text = report(V, numberedNames(V), randomMatrix(V, 3), true);
    const std::vector<std::string> all = lines(text);
    ASSERT_EQ(all.size(), static_cast<size_t>(V + 3));
    EXPECT_EQ(all[0], "TITLE");
    EXPECT_EQ(all[1], "");
    for (size_t k = 2; k < all.size(); ++k) {
        EXPECT_EQ(std::count(all[k].begin(), all[k].end(), '\t'), V + 1) << "line " << k + 1;
        EXPECT_EQ(all[k].back(), '\t');
    }
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST(MatrixReport, SpreadsheetLayoutHasNoTitleAndNoTrailingTab)
{
    TextOut out;
    printStuff(3, kNames3, workedMatrix(-0.7123456), out, ReportLayout{"", true, false});
    EXPECT_EQ(text(out), "\tG1\tG2\tG3\n"
                         "G1\t1\t0.8\t-0.1\n"
                         "G2\t0.8\t1\t-0.712346\n"
                         "G3\t-0.1\t-0.712346\t1\n");
}

TEST(MatrixReport, NamesAreQuotedAsCsvQuotesThemUnlessTheLayoutIsLegacy)
{
    // Names with a quote, a tab or a line end, as pandas and R read them back.
    const Names names = {"a\"b", "t\tab", "two\r\nlines", "\"q\""};
    const Matrix m = {{1, 0.5, 0.25, 0.125}, {0, 1, 0.5, 0.25}, {0, 0, 1, 0.5}, {0, 0, 0, 1}};
    const std::string quoted[] = {"\"a\"\"b\"", "\"t\tab\"", "\"two\r\nlines\"", "\"\"\"q\"\"\""};
    TextOut out, legacy;
    printStuff(4, names, m, out, ReportLayout{"", true, false, true});
    printStuff(4, names, m, legacy, ReportLayout{"T", true});
    std::string want = "\t" + quoted[0] + "\t" + quoted[1] + "\t" + quoted[2] + "\t" + quoted[3] + "\n";
    want += quoted[0] + "\t1\t0.5\t0.25\t0.125\n" + quoted[1] + "\t0.5\t1\t0.5\t0.25\n";
    want += quoted[2] + "\t0.25\t0.5\t1\t0.5\n" + quoted[3] + "\t0.125\t0.25\t0.5\t1\n";
    EXPECT_EQ(text(out), want);
    EXPECT_EQ(std::string(text(legacy)).substr(0, 35), "T\n\n\ta\"b\tt\tab\ttwo\r\nlines\t\"q\"\t\na\"b\t1\t");
}

TEST(MatrixReport, LargeReportsFormattedOnTwoThreadsMatchTheLiteralText)
{
    // Large enough for rows formatted in chunks on every thread and written
    // in order; the literal output writes the same rows one by one.
    const int V = 2100;
    const Matrix m = randomMatrix(V, 17);
    const Names names = numberedNames(V);
    const int saved = omp_get_max_threads();
    for (bool mirrored : {false, true}) {
        TextOut literal;
        literal.literal = true;
        printStuff(V, names, m, literal, ReportLayout{"T", mirrored});
        for (int threads : {1, 2}) {
            omp_set_num_threads(threads);
            EXPECT_TRUE(report(V, names, m, mirrored, "T") == text(literal))
                << "mirrored " << mirrored << " threads " << threads;
        }
    }
    omp_set_num_threads(saved);
}

// --- SIF ------------------------------------------------------------------------------

TEST(SifWriter, WorkedExampleWithEachProgramsLabels)
{
    // N = 20, z = 2.5758: thresholds 0.581727 (order 2) and 0.596961 (order 3).
    EXPECT_EQ(sif(3, 20, 2.5758, workedMatrix(-0.7), kNames3, 2, kR2),
              "G1 r2pos G2\nG2 r2neg G3\n");
    EXPECT_EQ(sif(3, 20, 2.5758, workedMatrix(-0.7), kNames3, 3, kR3),
              "G1 r3pos G2\nG2 r3neg G3\n");
    EXPECT_EQ(sif(3, 20, 1.96, workedMatrix(-0.7), kNames3, 0, {" r0pos ", " r0neg "}),
              "G1 r0pos G2\nG2 r0neg G3\n");
}

TEST(SifWriter, OrderChoosesTheThreshold)
{
    // 0.59 lies above the order-2 threshold 0.581727 and below the order-3
    // one 0.596961 (N = 20, z = 2.5758); 0.56 only above order 0's 0.554408.
    const Matrix m = {{0, 0.59, -0.56}, {0, 0, 0}, {0, 0, 0}};
    EXPECT_EQ(sif(3, 20, 2.5758, m, kNames3, 0), "G1 r2pos G2\nG1 r2neg G3\n");
    EXPECT_EQ(sif(3, 20, 2.5758, m, kNames3, 1), "G1 r2pos G2\n");
    EXPECT_EQ(sif(3, 20, 2.5758, m, kNames3, 2), "G1 r2pos G2\n");
    EXPECT_EQ(sif(3, 20, 2.5758, m, kNames3, 3), "");
}

TEST(SifWriter, MagnitudeEqualToTheThresholdGivesNoLine)
{
    const double t = thresholdFor(30, 3.2905, 1);
    const double above = std::nextafter(t, 2.0);
    const Names names = {"a", "b", "c", "d"};
    const Matrix m = {{0, t, -t, above}, {0, 0, -above, 0.0}, {0, 0, 0, -0.9}, {0, 0, 0, 0}};
    EXPECT_EQ(sif(4, 30, 3.2905, m, names, 1), "a r2pos d\nb r2neg c\nc r2neg d\n");
}

TEST(SifWriter, NotANumberNeverGivesALine)
{
    const Matrix m = {{0, kNan, kNegNan}, {0, 0, 0.99}, {0, 0, 0}};
    EXPECT_EQ(sif(3, 100, 1.96, m, kNames3, 0), "G2 r2pos G3\n");
}

TEST(SifWriter, TooFewObservationsForTheOrderGiveAnEmptyFile)
{
    const double inf = std::numeric_limits<double>::infinity();
    const Matrix m = {{0, 0.999, -0.999}, {0, 0, inf}, {0, 0, 0}};
    EXPECT_EQ(sif(3, 5, 1.96, m, kNames3, 2), "");   // N - 3 - k = 0
    EXPECT_EQ(sif(3, 4, 1.96, m, kNames3, 2), "");   // negative
    EXPECT_EQ(sif(3, 3, 1.96, m, kNames3, 0), "");
    EXPECT_EQ(sif(3, 0, 1.96, m, kNames3, 3), "");
    EXPECT_EQ(sif(3, 5, 1.96, m, kNames3, 1), "G1 r2pos G2\nG1 r2neg G3\nG2 r2pos G3\n");
}

TEST(SifWriter, NoLinesForNoneOrOneVariable)
{
    EXPECT_EQ(sif(0, 20, 1.96, {}, {}, 0), "");
    EXPECT_EQ(sif(1, 20, 1.96, {{1.0}}, {"A"}, 0), "");
}

TEST(SifWriter, DiagonalAndLowerTriangleHaveNoEffect)
{
    const int V = 12;
    Matrix m = randomMatrix(V, 11);
    const std::string before = sif(V, 25, 2.5758, m, numberedNames(V), 1);
    for (int i = 0; i < V; ++i)
        for (int j = 0; j <= i; ++j) m[i][j] = (i + j) % 2 ? 0.99 : kNan;
    EXPECT_EQ(sif(V, 25, 2.5758, m, numberedNames(V), 1), before);
    EXPECT_NE(before, "");
}

TEST(SifWriter, LinesFollowTheUpperTriangleRowByRow)
{
    const int V = 30, N = 40;
    const Matrix m = randomMatrix(V, 5);
    const Names names = numberedNames(V);
    const double t = thresholdFor(N, 2.5758, 2);
    std::string want;
    for (int i = 0; i < V; ++i)
        for (int j = i + 1; j < V; ++j)
            if (std::fabs(m[i][j]) > t)
                want += names[i] + (m[i][j] > 0 ? " r2pos " : " r2neg ") + names[j] + "\n";
    EXPECT_EQ(sif(V, N, 2.5758, m, names, 2), want);
}

TEST(SifWriter, LargerZGivesASubsetInTheSameOrder)
{
    const int V = 40, N = 30;
    const Matrix m = randomMatrix(V, 9);
    const Names names = numberedNames(V);
    std::vector<std::vector<std::string>> levels;
    for (double z : {1.96, 2.5758, 3.2905, 3.8906}) levels.push_back(lines(sif(V, N, z, m, names, 3)));
    for (size_t k = 1; k < levels.size(); ++k) {
        EXPECT_LT(levels[k].size(), levels[k - 1].size());
        size_t at = 0;  // levels[k] must be a subsequence of levels[k - 1]
        for (const std::string& line : levels[k]) {
            while (at < levels[k - 1].size() && levels[k - 1][at] != line) ++at;
            ASSERT_LT(at, levels[k - 1].size()) << line;
            ++at;
        }
    }
    EXPECT_FALSE(levels.back().empty());
}

TEST(SifWriter, LinesHoldNoTabAndNamesAsStored)
{
    const Names names = {"AB-C", "x\"y", "-z"};
    const Matrix m = {{0, 0.99, -0.99}, {0, 0, 0.99}, {0, 0, 0}};
    const std::string text = sif(3, 50, 1.96, m, names, 0, {" r0pos ", " r0neg "});
    EXPECT_EQ(text, "AB-C r0pos x\"y\nAB-C r0neg -z\nx\"y r0pos -z\n");
    EXPECT_EQ(text.find('\t'), std::string::npos);
}

// --- NET ------------------------------------------------------------------------------

TEST(NetWriter, NoVariablesGiveTwoLines)
{
    EXPECT_EQ(net(0, 20, 1.96, {}, {}, 0), "*Vertices 0\n*Edges\n");
}

TEST(NetWriter, OneVariableGivesThreeLines)
{
    EXPECT_EQ(net(1, 20, 1.96, {{1.0}}, {"A"}, 1), "*Vertices 1\n1 \"A\"\n*Edges\n");
}

TEST(NetWriter, WorkedExampleGivesSevenLines)
{
    EXPECT_EQ(net(3, 20, 2.5758, workedMatrix(-0.7123456), kNames3, 2),
              "*Vertices 3\n"
              "1 \"G1\"\n"
              "2 \"G2\"\n"
              "3 \"G3\"\n"
              "*Edges\n"
              "1 2 0.8 c Red\n"
              "2 3 -0.712346 c Blue\n");
}

TEST(NetWriter, WeightsAndVertexNumbers)
{
    // Vertex numbers count from 1 and run past one digit; the edge between the
    // first and the last variable reads 1 12; 1 and -0.5 are unpadded.
    const int V = 12;
    Matrix m(V, V, 0.0);
    m[0][11] = 1;
    m[1][2] = -0.5;
    m[9][10] = 0.923456789;
    m[10][11] = -1;
    const Names names = numberedNames(V);
    std::string want = "*Vertices 12\n";
    for (int i = 0; i < V; ++i) want += std::to_string(i + 1) + " \"v" + std::to_string(i + 1) + "\"\n";
    const std::string vertices = want;
    want += "*Edges\n1 12 1 c Red\n2 3 -0.5 c Blue\n10 11 0.923457 c Red\n11 12 -1 c Blue\n";
    EXPECT_EQ(net(V, 200, 1.96, m, names, 0), want);
    // No pair qualifies: every vertex is still listed and the file ends at *Edges.
    EXPECT_EQ(net(V, 5, 1.96, m, names, 2), vertices + "*Edges\n");
}

TEST(NetWriter, EqualToTheThresholdOrNotANumberGivesNoEdge)
{
    const double t = thresholdFor(30, 2.5758, 3);
    const Names names = {"a", "b", "c", "d"};
    const Matrix m = {{0, t, -t, kNan}, {0, 0, std::nextafter(-t, -2.0), kNegNan}, {0, 0, 0, 0.0},
                      {0, 0, 0, 0}};
    const std::string text = net(4, 30, 2.5758, m, names, 3);
    EXPECT_EQ(text.substr(text.find("*Edges\n")), "*Edges\n2 3 " + streamText(std::nextafter(-t, -2.0)) +
                                                   " c Blue\n");
}

TEST(NetWriter, EdgesCorrespondToTheSifLinesOneToOne)
{
    const int V = 35, N = 26;
    const Matrix m = randomMatrix(V, 21);
    const Names names = numberedNames(V);
    for (double z : {2.5758, 3.2905, 3.8906})
        for (int order = 0; order <= 3; ++order) {
            const std::vector<std::string> sifLines = lines(sif(V, N, z, m, names, order));
            const std::vector<std::string> netLines = lines(net(V, N, z, m, names, order));
            ASSERT_EQ(netLines.size(), static_cast<size_t>(V) + 2 + sifLines.size());
            for (size_t k = 0; k < sifLines.size(); ++k) {
                std::istringstream s(sifLines[k]), e(netLines[V + 2 + k]);
                std::string a, label, b, weight, c, colour;
                int i = 0, j = 0;
                s >> a >> label >> b;
                e >> i >> j >> weight >> c >> colour;
                EXPECT_EQ(names[i - 1], a);
                EXPECT_EQ(names[j - 1], b);
                EXPECT_EQ(weight, streamText(m[i - 1][j - 1]));
                EXPECT_EQ(colour, label == "r2pos" ? "Red" : "Blue");
            }
        }
}

// --- edge lists -----------------------------------------------------------------------

TEST(EdgeListWriters, GiveTheThresholdFormsBytesInTheOrderGiven)
{
    const int V = 30, N = 40;
    const Matrix m = randomMatrix(V, 13);
    const Names names = numberedNames(V);
    std::vector<Edge> edges = edgesAbove(V, m, thresholdFor(N, 2.5758, 2));
    ASSERT_GT(edges.size(), 5u);
    TextOut s, n;
    writeSif(names, edges, kR3, s);
    writePajek(names, edges, n);
    EXPECT_EQ(text(s), sif(V, N, 2.5758, m, names, 2, kR3));
    EXPECT_EQ(text(n), net(V, N, 2.5758, m, names, 2));
    // Reversed: the same lines, last first.
    std::reverse(edges.begin(), edges.end());
    TextOut r;
    writeSif(names, edges, kR3, r);
    std::vector<std::string> want = lines(std::string(text(s)));
    std::reverse(want.begin(), want.end());
    EXPECT_EQ(lines(std::string(text(r))), want);
}

// The levels written in one pass: each file as its level alone writes it,
// whatever the order of the thresholds, with equal ones, one that is not a
// number, values on a threshold and not-a-number cells; literal files too.
TEST(EdgeListWriters, LevelsWrittenTogetherMatchEachLevelWrittenAlone)
{
    const int V = 40;
    std::mt19937_64 gen(3);
    std::uniform_real_distribution<double> coef(-1, 1);
    Matrix m(V, V, 0.0);
    Names names;
    for (int i = 0; i < V; ++i) names.push_back(std::string("g").append(std::to_string(i)));
    const double t1 = 0.3, t2 = 0.6;
    for (int i = 0; i < V; ++i)
        for (int j = i + 1; j < V; ++j) {
            const int pick = static_cast<int>(gen() % 20);
            m[i][j] = pick == 0 ? std::nan("") : pick == 1 ? -t1 : pick == 2 ? t2 : coef(gen);
        }
    const std::vector<std::vector<double>> levels = {
        {t1, 0.45, t2}, {t2, t1, std::nan("")}, {t1, t1, 0.9}, {std::nan(""), std::nan("")}};
    for (const auto& thresholds : levels)
        for (const bool literal : {false, true}) {
            std::vector<TextOut> sifs(thresholds.size()), nets(thresholds.size());
            std::vector<TextOut*> sifOuts, netOuts;
            for (size_t l = 0; l < thresholds.size(); ++l) {
                sifs[l].literal = nets[l].literal = literal;
                sifOuts.push_back(&sifs[l]);
                netOuts.push_back(&nets[l]);
            }
            getCytoScapeInputs(V, thresholds, m, sifOuts, names, {" pos ", " neg "});
            getPajekInputs(V, thresholds, m, netOuts, names);
            for (size_t l = 0; l < thresholds.size(); ++l) {
                TextOut sif, net;
                sif.literal = net.literal = literal;
                getCytoScapeInput(V, thresholds[l], m, sif, names, {" pos ", " neg "});
                getPajekInput(V, thresholds[l], m, net, names);
                EXPECT_EQ(text(sifs[l]), text(sif)) << "level " << l << " literal " << literal;
                EXPECT_EQ(text(nets[l]), text(net)) << "level " << l << " literal " << literal;
            }
        }
}

TEST(EdgeListWriters, EdgesNeedAMagnitudeStrictlyAboveTheThreshold)
{
    const double t = thresholdFor(30, 3.2905, 1);
    const double nan = std::nan("");
    const Matrix m = {{0, t, -t, nan, std::nextafter(t, 1.0)},
                      {0, 0, 1, -0.6, 0},
                      {0, 0, 0, 0, 0},
                      {0, 0, 0, 0, -1},
                      {0, 0, 0, 0, 0}};
    const Names names = {"a", "b", "c", "d", "e"};
    TextOut sif, net;
    getCytoScapeInput(5, t, m, sif, names, {" r3pos ", " r3neg "});
    getPajekInput(5, t, m, net, names);
    EXPECT_EQ(text(sif), "a r3pos e\nb r3pos c\nb r3neg d\nd r3neg e\n");
    EXPECT_EQ(text(net).substr(text(net).find("*Edges")),
              "*Edges\n1 5 " + streamText(std::nextafter(t, 1.0)) +
                  " c Red\n2 3 1 c Red\n2 4 -0.6 c Blue\n4 5 -1 c Blue\n");
    // Too few observations: the threshold is not a number and no edge passes.
    TextOut none, emptyNet;
    getCytoScapeInput(5, thresholdFor(4, 2.5758, 1), m, none, names, {" r2pos ", " r2neg "});
    getPajekInput(0, thresholdFor(30, 2.5758, 1), {}, emptyNet, {});
    EXPECT_EQ(text(none), "");
    EXPECT_EQ(text(emptyNet), "*Vertices 0\n*Edges\n");
}

TEST(EdgeTable, HeaderThenShortestNumbersAndLevelNames)
{
    const std::vector<Edge> edges = {{0, 1, 0.8, 1e-7, 2.5e-5, 2},
                                     {1, 2, -0.71234567, 0.1 + 0.2, 5e-324, 0}};
    const std::vector<std::string> levels = {"0.01", "0.001", "0.0001"};
    TextOut out, none;
    writeEdgeTable({"G1", "x\"y", "G3"}, edges, levels, out);
    EXPECT_EQ(text(out), "source\ttarget\tr\tp\tq\tlevel\n"
                         "G1\t\"x\"\"y\"\t0.8\t1e-07\t2.5e-05\t0.0001\n"
                         "\"x\"\"y\"\tG3\t-0.71234567\t0.30000000000000004\t5e-324\t0.01\n");
    writeEdgeTable(kNames3, {}, levels, none);
    EXPECT_EQ(text(none), "source\ttarget\tr\tp\tq\tlevel\n");
}

TEST(GraphmlWriter, WellFormedWithEveryNameAndNumberReadBack)
{
    const Names names = {"G1", "a\"b'c", "<x>&amp;", "\xc3\xa9t\xc3\xa9]]>", "lone"};
    // A subnormal q (which igraph cannot read) is written as 0.
    const std::vector<Edge> edges = {{0, 1, 0.8, 1e-7, 2.5e-5, 0},
                                     {1, 3, -0.71234567, 0.1 + 0.2, 5e-324, 1},
                                     {1, 2, 1, 0, 1, 0}};
    TextOut out;
    writeGraphml(names, edges, out);
    const std::string xml(text(out));
    EXPECT_EQ(xml.back(), '\n');
    xmlDoc* doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                                XML_PARSE_NONET);
    ASSERT_NE(doc, nullptr) << xml;
    xmlNode* root = xmlDocGetRootElement(doc);
    ASSERT_NE(root->ns, nullptr);
    EXPECT_STREQ(reinterpret_cast<const char*>(root->ns->href),
                 "http://graphml.graphdrawing.org/xmlns");
    std::string keys;
    for (xmlNode* k : children(root, "key"))
        keys += attribute(k, "id") + " " + attribute(k, "for") + " " + attribute(k, "attr.name") +
                " " + attribute(k, "attr.type") + ";";
    EXPECT_EQ(keys, "name node name string;degree node degree int;r edge r double;"
                    "p edge p double;q edge q double;");
    const std::vector<xmlNode*> graph = children(root, "graph");
    ASSERT_EQ(graph.size(), 1u);
    EXPECT_EQ(attribute(graph[0], "edgedefault"), "undirected");
    const std::vector<xmlNode*> nodes = children(graph[0], "node");
    const int degrees[] = {1, 3, 1, 1, 0};
    ASSERT_EQ(nodes.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        std::string id = "n";  // built in two steps: GCC 12 warns on "n" + std::string
        id += std::to_string(i);
        EXPECT_EQ(attribute(nodes[i], "id"), id);
        EXPECT_EQ(dataOf(nodes[i]),
                  "name=" + names[i] + ";degree=" + std::to_string(degrees[i]) + ";");
    }
    std::string got;
    for (xmlNode* e : children(graph[0], "edge"))
        got += attribute(e, "source") + "-" + attribute(e, "target") + ":" + dataOf(e) + "\n";
    EXPECT_EQ(got, "n0-n1:r=0.8;p=1e-07;q=2.5e-05;\n"
                   "n1-n3:r=-0.71234567;p=0.30000000000000004;q=0;\n"
                   "n1-n2:r=1;p=0;q=1;\n");
    xmlFreeDoc(doc);
}

TEST(GraphmlWriter, LargeGraphReachesTheFileInWholeLines)
{
    const int V = 3000;
    const Names names = numberedNames(V);
    std::vector<Edge> edges;
    for (int k = 0; k < 20000; ++k)
        edges.push_back({k % V, (k * 7 + 1) % V, k / 2e4, 1e-9 * k, 0.5, 0});
    TextOut inMemory;
    writeGraphml(names, edges, inMemory);
    TempFile file;
    ASSERT_GE(file.fd, 0);
    TextOut out;
    out.fd = file.fd;
    writeGraphml(names, edges, out);
    EXPECT_GT(out.written, 1 << 20);  // most of it already written, up to a line end
    EXPECT_EQ(file.contents().back(), '\n');
    flushOut(out);
    EXPECT_EQ(file.contents(), text(inMemory));
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

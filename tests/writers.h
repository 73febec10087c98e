// What the tests of the writers share: the worked example, the texts of a
// matrix report, a SIF and a NET file as the writers give them, random
// matrices with numbered names, lines of a text, and a temporary file.
#pragma once

#include "core.h"
#include "output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

inline constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

inline const double kNegNan = std::copysign(kNan, -1.0);

inline std::string streamText(double x)
{
    std::ostringstream os;
    os << x;
    return os.str();
}

inline const Names kNames3 = {"G1", "G2", "G3"};

// The worked example's upper triangle, with noise on and below the diagonal.
inline Matrix workedMatrix(double g2g3)
{
    return {{0.999, 0.8, -0.1}, {42.0, kNan, g2g3}, {-7.0, 0.3, kNegNan}};
}

inline std::string report(int V, const Names& names, const Matrix& m, bool mirrored,
                   std::string_view title = "TITLE")
{
    TextOut out;
    printStuff(V, names, m, out, ReportLayout{title, mirrored});
    return std::string(text(out));
}

inline constexpr SifLabels kR2{" r2pos ", " r2neg "};

inline constexpr SifLabels kR3{" r3pos ", " r3neg "};

inline std::string sif(int V, int N, double z, const Matrix& m, const Names& names, int order,
                SifLabels labels = kR2)
{
    TextOut out;
    getCytoScapeInput(V, thresholdFor(N, z, order), m, out, names, labels);
    return std::string(text(out));
}

inline std::string net(int V, int N, double z, const Matrix& m, const Names& names, int order)
{
    TextOut out;
    getPajekInput(V, thresholdFor(N, z, order), m, out, names);
    return std::string(text(out));
}

inline std::vector<std::string> lines(const std::string& text)
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

inline Names numberedNames(int V)
{
    Names names;
    for (int i = 0; i < V; ++i) {
        std::string name = "v";
        name += std::to_string(i + 1);
        names.push_back(name);
    }
    return names;
}

inline Matrix randomMatrix(int V, unsigned seed)
{
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Matrix m(V, V, 0.0);
    for (long k = 0; k < static_cast<long>(V) * V; ++k) m.data()[k] = u(rng);
    return m;
}

// The bytes of the file at path.
inline std::string fileText(const std::string& path)
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

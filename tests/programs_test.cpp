// End-to-end runs of the seven built programs in fresh folders: the dialogue
// on standard output, and the seven files checked byte for byte against files
// rebuilt here from the table by the textbook formulas.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <stdexcept>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

using Table = std::vector<std::vector<double>>;  // [variable][observation]
using Grid = std::vector<std::vector<double>>;   // V x V

// --- the seven programs, as their users see them ---------------------------------------

struct Program {
    std::string name, prefix;
    bool spearman;
    int order;
    std::string title;
    bool mirrored;
    std::string positive, negative;
    double z[3];
};

const std::vector<Program> kPrograms = {
    {"pearson0th", "Pearson0th", false, 0, "ZEROTH ORDER PEARSON CORRELATION MATRIX", false,
     " r0pos ", " r0neg ", {1.96, 3.2905, 3.8906}},
    {"spearman0th", "Spearman0th", true, 0, "ZEROTH ORDER SPEARMAN CORRELATION MATRIX", true,
     " r2pos ", " r2neg ", {2.5758, 3.2905, 3.8906}},
    {"pearson1st", "Pearson1st", false, 1, "COMBINED FIRST ORDER PEARSON CORRELATION MATRIX", true,
     " r2pos ", " r2neg ", {2.5758, 3.2905, 3.8906}},
    {"spearman1st", "Spearman1st", true, 1, "COMBINED FIRST ORDER SPEARMAN CORRELATION MATRIX",
     true, " r2pos ", " r2neg ", {2.5758, 3.2905, 3.8906}},
    {"pearson2nd", "Pearson2nd", false, 2, "COMBINED SECOND ORDER PEARSON CORRELATION MATRIX",
     true, " r2pos ", " r2neg ", {2.5758, 3.2905, 3.8906}},
    {"spearman2nd", "Spearman2nd", true, 2, "COMBINED SECOND ORDER SPEARMAN CORRELATION MATRIX",
     true, " r2pos ", " r2neg ", {2.5758, 3.2905, 3.8906}},
    {"pearson3rd", "Pearson3rd", false, 3, "COMBINED THIRD ORDER PEARSON CORRELATION MATRIX", true,
     " r3pos ", " r3neg ", {2.5758, 3.2905, 3.8906}},
};

const Program& program(const std::string& name)
{
    for (const Program& p : kPrograms)
        if (p.name == name) return p;
    throw std::runtime_error("no program " + name);
}

const std::vector<std::string> kSuffixes = {
    "_matrix.csv",       "_network_0.01.sif", "_network_0.001.sif", "_network_0.0001.sif",
    "_network_0.01.net", "_network_0.001.net", "_network_0.0001.net"};

// --- running a program ---------------------------------------------------------------

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string quoted(const std::string& s)
{
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// A fresh folder for the runs of one test, removed at its end. The programs run
// in work(); their dialogue goes through files beside it.
struct Folder {
    fs::path root;
    Folder()
    {
        std::string pattern = (fs::temp_directory_path() / "assocnet-run-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        root = pattern;
        fs::create_directory(work());
    }
    ~Folder()
    {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    fs::path work() const { return root / "work"; }
};

struct RunResult {
    int status = -1;
    std::string out, err;
    std::vector<std::string> files;   // by suffix; empty when missing
    std::vector<bool> exists;
};

std::string binary(const std::string& name, bool literal)
{
    return std::string(ASSOCNET_BIN_DIR) + (literal ? "/literal/" : "/") + name;
}

// Runs the program in folder.work() with the given standard input; threads > 0
// sets OMP_NUM_THREADS.
RunResult run(const Folder& folder, const std::string& name, const std::string& input,
        bool literal = false, int threads = 0)
{
    writeFile(folder.root / "stdin.txt", input);
    std::string command = "cd " + quoted(folder.work().string()) + " && ";
    if (threads > 0) command += "OMP_NUM_THREADS=" + std::to_string(threads) + " ";
    command += quoted(binary(name, literal)) + " < " + quoted((folder.root / "stdin.txt").string()) +
               " > " + quoted((folder.root / "stdout.txt").string()) + " 2> " +
               quoted((folder.root / "stderr.txt").string());
    const int rc = std::system(command.c_str());
    RunResult r;
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.out = readFile(folder.root / "stdout.txt");
    r.err = readFile(folder.root / "stderr.txt");
    for (const std::string& s : kSuffixes) {
        const fs::path path = folder.work() / (program(name).prefix + s);
        r.exists.push_back(fs::exists(path));
        r.files.push_back(r.exists.back() ? readFile(path) : std::string());
    }
    return r;
}

// --- tables --------------------------------------------------------------------------

struct Data {
    std::vector<std::string> names;  // as stored: first '-' removed
    Table values;
};

// Reads the first V variable lines of N values from a table text.
Data parseTable(const std::string& text, int V, int N)
{
    std::istringstream in(text);
    std::string line, token;
    std::getline(in, line);
    Data d;
    for (int i = 0; i < V && std::getline(in, line); ++i) {
        std::istringstream row(line);
        row >> token;
        const size_t dash = token.find('-');
        if (dash != std::string::npos) token.erase(dash, 1);
        d.names.push_back(token);
        std::vector<double> values;
        for (int k = 0; k < N && row >> token; ++k) values.push_back(std::strtod(token.c_str(), nullptr));
        d.values.push_back(values);
    }
    return d;
}

// Seven variables over twenty observations, made so that the order-0
// coefficients fall on every side of the thresholds of N = 20 (0.442528 at
// z = 1.96, 0.554408, 0.662953, 0.736876), the ranks hold ties, and the last
// variable is constant.
const char* const kSmallTable =
    "probe\ts1\ts2\ts3\ts4\ts5\ts6\ts7\ts8\ts9\ts10\ts11\ts12\ts13\ts14\ts15\ts16\ts17\ts18\ts19\ts20\n"
    "base\t10.0\t0.25\t1.25\t7.25\t8.25\t9.0\t1.0\t2.75\t5.5\t8.25\t8.75\t10.0\t2.75\t2.75\t6.5\t1.0\t7.25\t1.5\t0.0\t7.5\n"
    "A-B-C\t10.1\t-0.5\t1.1\t6.2\t8.6\t9.5\t0.1\t4.5\t6.3\t7.7\t8.1\t9.3\t3.6\t2.4\t4.9\t0.1\t7.4\t1.7\t0.5\t7.3\n"
    "neg-1\t-16.0\t0.1\t-0.4\t-4.9\t-9.9\t-6.5\t2.6\t-6.1\t-5.2\t-6.6\t-9.1\t-10.3\t-1.1\t-0.3\t-7.1\t-3.9\t-7.4\t-0.2\t2.1\t-6.5\n"
    "g4\t11.2\t3.8\t-1.0\t8.7\t0.4\t8.0\t0.3\t3.4\t5.5\t6.0\t3.8\t13.3\t1.8\t8.2\t8.9\t5.8\t4.2\t5.8\t4.6\t7.1\n"
    "g5\t-13.7\t3.6\t-3.0\t-5.4\t-5.0\t-7.9\t-4.6\t-5.8\t-11.7\t-10.6\t-5.0\t-11.6\t-7.6\t-4.7\t-3.1\t-4.4\t-5.1\t-3.6\t1.9\t-3.2\n"
    "noise\t6.9\t4.7\t6.3\t6.8\t1.9\t3.2\t8.4\t7.4\t4.3\t9.0\t4.4\t4.2\t0.8\t2.0\t1.1\t0.4\t8.6\t0.0\t7.8\t9.0\n"
    "-flat-line\t3\t3\t3\t3\t3\t3\t3\t3\t3\t3\t3\t3\t3\t3\t3\t3\t3\t3\t3\t3\n";

std::string exampleTable() { return readFile(fs::path(ASSOCNET_SOURCE_DIR) / "examples" / "data.txt"); }

// A table of many variables driven by a few hidden factors, so that there are
// edges at every level.
std::string factorTable(int V, int N, unsigned seed)
{
    std::mt19937 rng(seed);
    std::normal_distribution<double> normal(0, 1);
    std::uniform_real_distribution<double> weight(0, 1.5);
    Table factors(8, std::vector<double>(N));
    for (auto& f : factors)
        for (double& x : f) x = normal(rng);
    std::string text = "id";
    for (int k = 0; k < N; ++k) {
        text += " s";
        text += std::to_string(k);
    }
    text += "\n";
    char number[32];
    for (int i = 0; i < V; ++i) {
        text += "v";
        text += std::to_string(i);
        const double w = weight(rng);
        for (int k = 0; k < N; ++k) {
            std::snprintf(number, sizeof number, " %.4f", w * factors[i % 8][k] + normal(rng));
            text += number;
        }
        text += "\n";
    }
    return text;
}

// --- the expected numbers, by the textbook formulas ----------------------------------

double threshold(int N, double z, int k)
{
    const double d = static_cast<double>(N - 3 - k);
    const double a = std::sqrt(1.0 / d) * z;
    const double e = std::exp(a + a);
    return (e - 1) / (e + 1);
}

// Fractional ranks: ties share the mean of their positions.
std::vector<double> ranks(const std::vector<double>& x)
{
    std::vector<double> r;
    for (double a : x) {
        int below = 0, equal = 0;
        for (double b : x) {
            below += b < a;
            equal += b == a;
        }
        r.push_back(below + (equal + 1) / 2.0);
    }
    return r;
}

// Sample correlation: sums in observation order, divisor N - 1, one root of
// the product of the variances.
Grid correlations(const Table& t, int N)
{
    const size_t V = t.size();
    Table dev = t;
    for (auto& x : dev) {
        double sum = 0;
        for (double v : x) sum += v;
        const double mean = sum / N;
        for (double& v : x) v -= mean;
    }
    Grid cov(V, std::vector<double>(V)), r(V, std::vector<double>(V));
    for (size_t a = 0; a < V; ++a)
        for (size_t b = 0; b < V; ++b) {
            double sum = 0;
            for (int k = 0; k < N; ++k) sum += dev[a][k] * dev[b][k];
            cov[a][b] = sum / (N - 1);
        }
    for (size_t a = 0; a < V; ++a)
        for (size_t b = 0; b < V; ++b) r[a][b] = cov[a][b] / std::sqrt(cov[b][b] * cov[a][a]);
    return r;
}

double partial(const Grid& X, int i, int j, int w)
{
    return (X[i][j] - X[i][w] * X[j][w]) / std::sqrt((1 - X[i][w] * X[i][w]) * (1 - X[j][w] * X[j][w]));
}

// The combined matrix of order K (upper triangle): per pair the coefficient of
// smallest magnitude offered, orders below K offered in full, order K skipped
// for pairs already below tanh(1.96 / sqrt(N - 3 - K)). closest receives the
// smallest distance of any tested magnitude from that pruning threshold.
Grid combined(int K, int N, const Grid& R, double& closest)
{
    const int V = static_cast<int>(R.size());
    const double t = threshold(N, 1.96, K);
    Grid C = R, F = R, S = R;
    auto offer = [&](int i, int j, double r) {
        if (std::fabs(C[i][j]) > std::fabs(r)) C[i][j] = r;
    };
    auto skipped = [&](int i, int j) {
        if (!std::isnan(C[i][j])) closest = std::min(closest, std::fabs(std::fabs(C[i][j]) - t));
        return t > std::fabs(C[i][j]);
    };
    auto pairs = [&](std::initializer_list<int> controls, auto&& body) {
        for (int i = 0; i < V; ++i)
            for (int j = i + 1; j < V; ++j) {
                bool free = true;
                for (int c : controls) free = free && i != c && j != c;
                if (free) body(i, j);
            }
    };
    for (int c1 = 0; c1 < V; ++c1) {
        if (K == 1) {
            pairs({c1}, [&](int i, int j) {
                if (!skipped(i, j)) offer(i, j, partial(R, i, j, c1));
            });
            continue;
        }
        pairs({c1}, [&](int i, int j) {
            F[i][j] = F[j][i] = partial(R, i, j, c1);
            offer(i, j, F[i][j]);
        });
        for (int c2 = c1 + 1; c2 < V; ++c2) {
            if (K == 2) {
                pairs({c1, c2}, [&](int i, int j) {
                    if (!skipped(i, j)) offer(i, j, partial(F, i, j, c2));
                });
                continue;
            }
            pairs({c1, c2}, [&](int i, int j) {
                S[i][j] = S[j][i] = partial(F, i, j, c2);
                offer(i, j, S[i][j]);
            });
            for (int c3 = c2 + 1; c3 < V; ++c3)
                pairs({c1, c2, c3}, [&](int i, int j) {
                    if (!skipped(i, j)) offer(i, j, partial(S, i, j, c3));
                });
        }
    }
    return C;
}

// The matrix the writers of a program receive.
Grid resultMatrix(const Program& p, const Data& d, int N, double& closest)
{
    Table input = d.values;
    if (p.spearman)
        for (auto& x : input) x = ranks(x);
    const Grid R = correlations(input, N);
    return p.order == 0 ? R : combined(p.order, N, R, closest);
}

std::string number(double x)
{
    std::ostringstream os;
    os << x;
    return os.str();
}

// The seven files of a program for the result matrix m.
std::vector<std::string> expectedFiles(const Program& p, const std::vector<std::string>& names,
                                       const Grid& m, int N)
{
    const int V = static_cast<int>(names.size());
    std::vector<std::string> files(7);
    std::string& report = files[0];
    report = p.title + "\n\n\t";
    for (const std::string& n : names) report += n + "\t";
    report += "\n";
    for (int i = 0; i < V; ++i) {
        report += names[i] + "\t";
        for (int j = 0; j < V; ++j) {
            if (!p.mirrored)
                report += number(m[i][j]);
            else
                report += i == j ? "1" : number(i < j ? m[i][j] : m[j][i]);
            report += "\t";
        }
        report += "\n";
    }
    for (int level = 0; level < 3; ++level) {
        const double t = threshold(N, p.z[level], p.order);
        std::string& sif = files[1 + level];
        std::string& net = files[4 + level];
        net = "*Vertices " + std::to_string(V) + "\n";
        for (int i = 0; i < V; ++i) net += std::to_string(i + 1) + " \"" + names[i] + "\"\n";
        net += "*Edges\n";
        for (int i = 0; i < V; ++i)
            for (int j = i + 1; j < V; ++j) {
                const double x = m[i][j];
                if (!(std::fabs(x) > t)) continue;
                sif += names[i] + (x > 0 ? p.positive : p.negative) + names[j] + "\n";
                net += std::to_string(i + 1) + " " + std::to_string(j + 1) + " " + number(x) +
                       (x > 0 ? " c Red" : " c Blue") + "\n";
            }
    }
    return files;
}

// Smallest distance of an upper-triangle magnitude from a writer threshold.
double writerMargin(const Program& p, const Grid& m, int N)
{
    double closest = 1;
    for (double z : p.z)
        for (size_t i = 0; i < m.size(); ++i)
            for (size_t j = i + 1; j < m.size(); ++j)
                if (!std::isnan(m[i][j]))
                    closest = std::min(closest, std::fabs(std::fabs(m[i][j]) - threshold(N, z, p.order)));
    return closest;
}

// --- checks --------------------------------------------------------------------------

const std::regex kTime(
    "(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123][0-9] "
    "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\n");

// Standard output with every ctime text replaced by "<time>\n".
std::string withoutTimes(const std::string& out) { return std::regex_replace(out, kTime, "<time>\n"); }

// The dialogue and progress lines a run of V variables prints.
std::string expectedDialogue(int order, int V)
{
    std::string s = "How many variables?\n\nHow many observations?\n\nStart time: <time>\n";
    for (int a = 1; a <= V; ++a) {
        if (order == 1) s += "Controlled for gene " + std::to_string(a) + " at time = <time>\n";
        for (int b = a + 1; b <= V; ++b) {
            if (order == 2)
                s += "Controlled for " + std::to_string(a) + " and " + std::to_string(b) + " Time: <time>\n";
            for (int c = b + 1; c <= V && order == 3; ++c)
                s += "Controlled for " + std::to_string(a) + ", " + std::to_string(b) + " and " +
                     std::to_string(c) + " Time: <time>\n";
        }
    }
    return s + "End time: <time>\n";
}

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> splitOn(const std::string& line, char sep)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t at; (at = line.find(sep, start)) != std::string::npos; start = at + 1)
        fields.push_back(line.substr(start, at - start));
    fields.push_back(line.substr(start));
    return fields;
}

// What every completed run must show, whatever the data: status 0, nothing on
// standard error, the dialogue, seven files; a report with the program's title
// and layout; SIF lines without a tab that match the NET edges one to one, with
// the report's numbers as weights.
void checkRunShape(const Program& p, const RunResult& r, int V)
{
    SCOPED_TRACE(p.name);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(withoutTimes(r.out), expectedDialogue(p.order, V));
    for (size_t k = 0; k < 7; ++k) EXPECT_TRUE(r.exists[k]) << kSuffixes[k];
    const std::vector<std::string> report = splitLines(r.files[0]);
    ASSERT_EQ(report.size(), static_cast<size_t>(V + 3));
    EXPECT_EQ(report[0], p.title);
    EXPECT_EQ(report[1], "");
    const std::vector<std::string> header = splitOn(report[2], '\t');
    ASSERT_EQ(header.size(), static_cast<size_t>(V + 2));
    EXPECT_EQ(header.front(), "");
    EXPECT_EQ(header.back(), "");
    const std::vector<std::string> names(header.begin() + 1, header.end() - 1);
    std::vector<std::vector<std::string>> cells;
    for (int i = 0; i < V; ++i) {
        std::vector<std::string> row = splitOn(report[3 + i], '\t');
        ASSERT_EQ(row.size(), static_cast<size_t>(V + 2)) << report[3 + i];
        EXPECT_EQ(row.front(), names[i]);
        EXPECT_EQ(row.back(), "");
        cells.emplace_back(row.begin() + 1, row.end() - 1);
    }
    for (int i = 0; i < V; ++i)
        for (int j = 0; j < V; ++j) {
            if (!p.mirrored) continue;
            if (i == j) {
                EXPECT_EQ(cells[i][j], "1");
            }
            EXPECT_EQ(cells[i][j], cells[j][i]);
        }
    for (int level = 0; level < 3; ++level) {
        const std::string& sif = r.files[1 + level];
        EXPECT_EQ(sif.find('\t'), std::string::npos) << kSuffixes[1 + level];
        const std::vector<std::string> sifLines = splitLines(sif);
        const std::vector<std::string> net = splitLines(r.files[4 + level]);
        ASSERT_EQ(net.size(), static_cast<size_t>(V + 2) + sifLines.size()) << kSuffixes[4 + level];
        EXPECT_EQ(net[0], "*Vertices " + std::to_string(V));
        for (int i = 0; i < V; ++i) EXPECT_EQ(net[1 + i], std::to_string(i + 1) + " \"" + names[i] + "\"");
        EXPECT_EQ(net[V + 1], "*Edges");
        int lastI = -1, lastJ = -1;
        for (size_t k = 0; k < sifLines.size(); ++k) {
            const std::vector<std::string> s = splitOn(sifLines[k], ' ');
            const std::vector<std::string> e = splitOn(net[V + 2 + k], ' ');
            ASSERT_EQ(s.size(), 3u) << sifLines[k];
            ASSERT_EQ(e.size(), 5u) << net[V + 2 + k];
            const int i = std::stoi(e[0]) - 1, j = std::stoi(e[1]) - 1;
            ASSERT_TRUE(0 <= i && i < j && j < V) << net[V + 2 + k];
            EXPECT_TRUE(i > lastI || (i == lastI && j > lastJ)) << "edges out of order";
            lastI = i;
            lastJ = j;
            EXPECT_EQ(s[0], names[i]);
            EXPECT_EQ(s[2], names[j]);
            EXPECT_EQ(e[2], cells[i][j]);
            const bool positive = std::stod(e[2]) > 0;
            EXPECT_EQ(" " + s[1] + " ", positive ? p.positive : p.negative);
            EXPECT_EQ(e[3], "c");
            EXPECT_EQ(e[4], positive ? "Red" : "Blue");
        }
    }
}

void expectSameFiles(const RunResult& a, const RunResult& b, const std::string& what)
{
    for (size_t k = 0; k < 7; ++k) EXPECT_TRUE(a.files[k] == b.files[k]) << what << ": " << kSuffixes[k];
    EXPECT_EQ(withoutTimes(a.out), withoutTimes(b.out)) << what;
}

// Runs the program on the table in a fresh folder and checks every file
// against the files rebuilt from the same table.
void checkAgainstFormulas(const std::string& name, const std::string& table, int V, int N,
                          double minMargin)
{
    SCOPED_TRACE(name);
    const Program& p = program(name);
    Folder folder;
    writeFile(folder.work() / "data.txt", table);
    const RunResult r = run(folder, name, std::to_string(V) + "\n" + std::to_string(N) + "\n");
    checkRunShape(p, r, V);
    const Data d = parseTable(table, V, N);
    double closest = 1;
    const Grid m = resultMatrix(p, d, N, closest);
    // The data keep clear of every threshold, so the last bit cannot decide an edge.
    EXPECT_GT(closest, minMargin) << "pruning threshold";
    EXPECT_GT(writerMargin(p, m, N), minMargin) << "writer thresholds";
    const std::vector<std::string> want = expectedFiles(p, d.names, m, N);
    for (size_t k = 0; k < 7; ++k) EXPECT_EQ(r.files[k], want[k]) << kSuffixes[k];
}

}  // namespace

// --- (a) files rebuilt from the table -------------------------------------------------

TEST(ProgramFiles, EveryProgramsFilesFollowFromTheSmallTable)
{
    for (const Program& p : kPrograms) checkAgainstFormulas(p.name, kSmallTable, 7, 20, 1e-4);
}

TEST(ProgramFiles, ZerothOrderFilesOfTheExampleFollowFromTheTable)
{
    checkAgainstFormulas("pearson0th", exampleTable(), 50, 128, 1e-9);
    checkAgainstFormulas("spearman0th", exampleTable(), 50, 128, 1e-9);
}

TEST(ProgramFiles, PearsonZerothOrderWritesTheFullMatrixAndDrawsTheFirstLevelAtZ196)
{
    Folder folder;
    writeFile(folder.work() / "data.txt", kSmallTable);
    const RunResult r = run(folder, "pearson0th", "7\n20\n");
    ASSERT_EQ(r.status, 0);
    // The constant variable's self-correlation is 0/0: the full layout shows it.
    const std::vector<std::string> report = splitLines(r.files[0]);
    ASSERT_EQ(report.size(), 10u);
    EXPECT_EQ(report[2], "\tbase\tAB-C\tneg1\tg4\tg5\tnoise\tflat-line\t");
    EXPECT_EQ(report[3].substr(0, 7), "base\t1\t");
    EXPECT_EQ(report[9], "flat-line\t-nan\t-nan\t-nan\t-nan\t-nan\t-nan\t-nan\t");
    // base-g4 (0.534), AB-C-g4 (0.471) and neg1-g4 (-0.503) pass 0.442528 (z = 1.96)
    // but not 0.554408 (z = 2.5758).
    EXPECT_EQ(r.files[1],
              "base r0pos AB-C\nbase r0neg neg1\nbase r0pos g4\nbase r0neg g5\n"
              "AB-C r0neg neg1\nAB-C r0pos g4\nAB-C r0neg g5\nneg1 r0neg g4\nneg1 r0pos g5\n");
    EXPECT_EQ(r.files[2], "base r0pos AB-C\nbase r0neg neg1\nAB-C r0neg neg1\nAB-C r0neg g5\n");
    EXPECT_EQ(r.files[3], "base r0pos AB-C\nbase r0neg neg1\nAB-C r0neg neg1\n");
    const std::vector<std::string> net = splitLines(r.files[4]);
    ASSERT_EQ(net.size(), 9u + 9u);
    EXPECT_EQ(net[0], "*Vertices 7");
    EXPECT_EQ(net[7], "7 \"flat-line\"");
    EXPECT_EQ(net[8], "*Edges");
    EXPECT_EQ(net[11].substr(0, 8), "1 4 0.53");
    EXPECT_EQ(net[11].substr(net[11].size() - 6), " c Red");
}

TEST(ProgramFiles, SpearmanZerothOrderIsMirroredAndDrawsTheFirstLevelAtZ25758)
{
    Folder folder;
    writeFile(folder.work() / "data.txt", kSmallTable);
    const RunResult r = run(folder, "spearman0th", "7\n20\n");
    ASSERT_EQ(r.status, 0);
    const std::vector<std::string> report = splitLines(r.files[0]);
    ASSERT_EQ(report.size(), 10u);
    EXPECT_EQ(report[9], "flat-line\t-nan\t-nan\t-nan\t-nan\t-nan\t-nan\t1\t");
    // Ranks: base-g4 is 0.504, below 0.554408; base-g5 -0.689 passes 0.662953.
    EXPECT_EQ(r.files[1], "base r2pos AB-C\nbase r2neg neg1\nbase r2neg g5\nAB-C r2neg neg1\n"
                          "AB-C r2neg g5\nneg1 r2pos g5\n");
    EXPECT_EQ(r.files[2], "base r2pos AB-C\nbase r2neg neg1\nbase r2neg g5\nAB-C r2neg neg1\nAB-C r2neg g5\n");
    EXPECT_EQ(r.files[3], "base r2pos AB-C\nbase r2neg neg1\nAB-C r2neg neg1\n");
}

TEST(ProgramFiles, HigherOrdersReportTheCombinedMatrixNotTheCorrelation)
{
    // AB-C and g5 correlate at -0.694, but given base they correlate far less: every
    // program of order 1 or more reports a far smaller magnitude for the pair.
    Folder folder;
    writeFile(folder.work() / "data.txt", kSmallTable);
    for (const Program& p : kPrograms) {
        const RunResult r = run(folder, p.name, "7\n20\n");
        const std::vector<std::string> report = splitLines(r.files[0]);
        ASSERT_EQ(report.size(), 10u) << p.name;
        const double cell = std::stod(splitOn(report[4], '\t')[5]);  // row AB-C, column g5
        if (p.order == 0)
            EXPECT_LT(cell, -0.6) << p.name;
        else
            EXPECT_LT(std::fabs(cell), 0.4) << p.name;
    }
}

// --- (b) the dialogue ------------------------------------------------------------------

TEST(ProgramDialogue, PromptsTimesAndProgressLinesInOrder)
{
    Folder folder;
    writeFile(folder.work() / "data.txt", kSmallTable);
    for (const Program& p : kPrograms) {
        const RunResult r = run(folder, p.name, "7\n20\n");
        EXPECT_EQ(r.status, 0) << p.name;
        EXPECT_EQ(withoutTimes(r.out), expectedDialogue(p.order, 7)) << p.name << ":\n" << r.out;
    }
    // The literal forms, for one program of each order.
    for (const char* name : {"pearson0th", "pearson1st", "spearman2nd", "pearson3rd"}) {
        const RunResult r = run(folder, name, "7\n20\n", true);
        EXPECT_EQ(withoutTimes(r.out), expectedDialogue(program(name).order, 7)) << name;
    }
}

TEST(ProgramDialogue, ExactWordsOfEachProgressLine)
{
    Folder folder;
    writeFile(folder.work() / "data.txt", kSmallTable);
    const std::string first = withoutTimes(run(folder, "pearson1st", "3 20").out);
    EXPECT_NE(first.find("\nControlled for gene 1 at time = <time>\n"
                         "Controlled for gene 2 at time = <time>\n"
                         "Controlled for gene 3 at time = <time>\nEnd"),
              std::string::npos) << first;
    const std::string second = withoutTimes(run(folder, "spearman2nd", "3 20").out);
    EXPECT_NE(second.find("\nControlled for 1 and 2 Time: <time>\nControlled for 1 and 3 Time: <time>\n"
                          "Controlled for 2 and 3 Time: <time>\nEnd"),
              std::string::npos) << second;
    const std::string third = withoutTimes(run(folder, "pearson3rd", "4 20").out);
    EXPECT_NE(third.find("\nControlled for 1, 2 and 3 Time: <time>\nControlled for 1, 2 and 4 Time: <time>\n"
                         "Controlled for 1, 3 and 4 Time: <time>\nControlled for 2, 3 and 4 Time: <time>\nEnd"),
              std::string::npos) << third;
}

TEST(ProgramDialogue, BothAnswersOnOneLineGiveTheSameRun)
{
    Folder folder;
    writeFile(folder.work() / "data.txt", kSmallTable);
    for (const char* name : {"pearson0th", "spearman1st", "pearson3rd"}) {
        const RunResult separate = run(folder, name, "5\n20\n");
        const RunResult together = run(folder, name, "5 20");
        const RunResult padded = run(folder, name, "\n\n  5\t\n\n 20 \n");
        EXPECT_EQ(together.status, 0) << name;
        EXPECT_EQ(withoutTimes(together.out), expectedDialogue(program(name).order, 5)) << name;
        expectSameFiles(separate, together, name);
        expectSameFiles(separate, padded, name);
    }
}

TEST(ProgramDialogue, StartAndEndTimesAreTheClockOfTheRun)
{
    Folder folder;
    writeFile(folder.work() / "data.txt", kSmallTable);
    const std::time_t before = std::time(nullptr);
    const RunResult r = run(folder, "pearson0th", "7 20");
    const std::time_t after = std::time(nullptr);
    std::smatch start, end;
    ASSERT_TRUE(std::regex_search(r.out, start, std::regex("Start time: ([^\n]*\n)")));
    ASSERT_TRUE(std::regex_search(r.out, end, std::regex("End time: ([^\n]*\n)")));
    std::set<std::string> possible;
    for (std::time_t t = before; t <= after; ++t) possible.insert(std::ctime(&t));
    EXPECT_TRUE(possible.count(start[1].str())) << start[1];
    EXPECT_TRUE(possible.count(end[1].str())) << end[1];
}

// --- (c) the five higher-order programs -------------------------------------------------

TEST(ProgramFiles, HigherOrderProgramsOnTheExample)
{
    // Orders 2 and 3 on fewer variables; every file has its program's shape and
    // the SIF and NET files of a level hold the same edges.
    Folder folder;
    writeFile(folder.work() / "data.txt", exampleTable());
    for (const auto& [name, V] : std::vector<std::pair<std::string, int>>{
             {"pearson1st", 50}, {"spearman1st", 50}, {"pearson2nd", 30}, {"spearman2nd", 30},
             {"pearson3rd", 20}}) {
        const RunResult r = run(folder, name, std::to_string(V) + " 128\n");
        checkRunShape(program(name), r, V);
        EXPECT_NE(r.files[3], "") << name << ": no edge at the strictest level";
    }
}

TEST(ProgramFiles, CombinedMagnitudesNeverGrowWithTheOrder)
{
    // Each order offers every coefficient of the orders below it, so no cell of
    // a higher-order report exceeds the one of the order below in magnitude.
    Folder folder;
    writeFile(folder.work() / "data.txt", exampleTable());
    for (const std::vector<std::string>& chain :
         {std::vector<std::string>{"pearson0th", "pearson1st", "pearson2nd", "pearson3rd"},
          std::vector<std::string>{"spearman0th", "spearman1st", "spearman2nd"}}) {
        std::vector<std::vector<std::string>> previous;
        for (const std::string& name : chain) {
            const std::vector<std::string> report = splitLines(run(folder, name, "20 128").files[0]);
            ASSERT_EQ(report.size(), 23u) << name;
            std::vector<std::vector<std::string>> cells;
            for (int i = 0; i < 20; ++i) cells.push_back(splitOn(report[3 + i], '\t'));
            if (!previous.empty())
                for (int i = 0; i < 20; ++i)
                    for (int j = i + 1; j < 20; ++j) {
                        const double now = std::fabs(std::stod(cells[i][1 + j]));
                        const double before = std::fabs(std::stod(previous[i][1 + j]));
                        EXPECT_LE(now, before * (1 + 1e-5)) << name << " " << i << "," << j;
                    }
            previous = cells;
        }
    }
}

// --- (d) fast and literal programs, one thread and two ----------------------------------

TEST(ProgramExactness, FastAndLiteralProgramsWriteTheSameFilesOnTheExample)
{
    Folder folder;
    writeFile(folder.work() / "data.txt", exampleTable());
    for (const Program& p : kPrograms) {
        const std::string answers = "50\n128\n";
        const RunResult literal = run(folder, p.name, answers, true);
        const RunResult fast1 = run(folder, p.name, answers, false, 1);
        const RunResult fast2 = run(folder, p.name, answers, false, 2);
        checkRunShape(p, fast2, 50);
        checkRunShape(p, literal, 50);
        expectSameFiles(literal, fast1, p.name + " literal, fast on one thread");
        expectSameFiles(fast1, fast2, p.name + " one thread, two threads");
    }
}

TEST(ProgramExactness, LargeTablesGiveTheSameFilesOnOneThreadAndTwo)
{
    // Large enough that the covariance, the writers and the first-order sweep
    // run in parallel.
    Folder folder;
    writeFile(folder.work() / "data.txt", factorTable(460, 40, 17));
    for (const char* name : {"pearson0th", "spearman0th", "pearson1st", "spearman1st"}) {
        const RunResult fast1 = run(folder, name, "460 40", false, 1);
        const RunResult fast2 = run(folder, name, "460 40", false, 2);
        const RunResult literal = run(folder, name, "460 40", true);
        EXPECT_EQ(fast2.status, 0) << name;
        EXPECT_NE(fast2.files[3], "") << name;
        expectSameFiles(fast1, fast2, std::string(name) + " one thread, two threads");
        expectSameFiles(literal, fast2, std::string(name) + " literal, fast");
    }
}

// --- (e) reruns and neighbours --------------------------------------------------------

TEST(ProgramFolder, RerunReplacesItsFilesAndLeavesOtherPrefixesAlone)
{
    Folder folder;
    const fs::path work = folder.work();
    writeFile(work / "data.txt", kSmallTable);
    writeFile(work / "Spearman0th_matrix.csv", "not pearson0th's\n");
    writeFile(work / "Pearson1st_network_0.01.sif", "a r2pos b\n");
    writeFile(work / "pearson0th_matrix.csv", "other case\n");
    writeFile(work / "Pearson0th_network_0.0001.net", std::string(300000, 'x'));  // longer than any result
    const RunResult first = run(folder, "pearson0th", "7 20");
    const RunResult fresh = [&] {
        Folder other;
        writeFile(other.work() / "data.txt", kSmallTable);
        return run(other, "pearson0th", "7 20");
    }();
    expectSameFiles(fresh, first, "over old files");

    const RunResult second = run(folder, "pearson0th", "4 20");
    double closest = 1;
    const Data d = parseTable(kSmallTable, 4, 20);
    const std::vector<std::string> want =
        expectedFiles(program("pearson0th"), d.names, resultMatrix(program("pearson0th"), d, 20, closest), 20);
    for (size_t k = 0; k < 7; ++k) EXPECT_EQ(second.files[k], want[k]) << kSuffixes[k];
    EXPECT_NE(first.files[0], second.files[0]);

    EXPECT_EQ(readFile(work / "Spearman0th_matrix.csv"), "not pearson0th's\n");
    EXPECT_EQ(readFile(work / "Pearson1st_network_0.01.sif"), "a r2pos b\n");
    EXPECT_EQ(readFile(work / "pearson0th_matrix.csv"), "other case\n");
    EXPECT_EQ(readFile(work / "data.txt"), kSmallTable);
    std::set<std::string> entries;
    for (const auto& e : fs::directory_iterator(work)) entries.insert(e.path().filename().string());
    std::set<std::string> expected = {"data.txt", "Spearman0th_matrix.csv", "Pearson1st_network_0.01.sif",
                                      "pearson0th_matrix.csv"};
    for (const std::string& s : kSuffixes) expected.insert("Pearson0th" + s);
    EXPECT_EQ(entries, expected);
}

TEST(ProgramFolder, SevenProgramsInOneFolderKeepTheirFilesApart)
{
    Folder folder;
    writeFile(folder.work() / "data.txt", kSmallTable);
    std::vector<RunResult> runs;
    for (const Program& p : kPrograms) runs.push_back(run(folder, p.name, "7 20"));
    for (size_t n = 0; n < kPrograms.size(); ++n)
        for (size_t k = 0; k < 7; ++k)
            EXPECT_EQ(readFile(folder.work() / (kPrograms[n].prefix + kSuffixes[k])), runs[n].files[k])
                << kPrograms[n].name << kSuffixes[k];
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.work()), fs::directory_iterator()), 1 + 7 * 7);
}

// --- (f) zero counts ------------------------------------------------------------------

TEST(ProgramCounts, NoVariablesGiveEmptyNetworksAndABareReport)
{
    Folder folder;
    writeFile(folder.work() / "data.txt", kSmallTable);
    for (const Program& p : kPrograms)
        for (const char* answers : {"0\n0\n", "0\n20\n"}) {
            SCOPED_TRACE(p.name + " " + answers);
            const RunResult r = run(folder, p.name, answers);
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(withoutTimes(r.out), expectedDialogue(p.order, 0));
            EXPECT_EQ(r.files[0], p.title + "\n\n\t\n");
            for (int k = 1; k <= 3; ++k) EXPECT_EQ(r.files[k], "");
            for (int k = 4; k <= 6; ++k) EXPECT_EQ(r.files[k], "*Vertices 0\n*Edges\n");
        }
}

TEST(ProgramCounts, NoObservationsGiveNotANumberCoefficientsAndNoEdges)
{
    // With N = 0 every correlation is 0/0 and every threshold is not a number.
    const std::string table = "corner\nA\nB-x\nC\n";
    Folder folder;
    writeFile(folder.work() / "data.txt", table);
    for (const Program& p : kPrograms) {
        SCOPED_TRACE(p.name);
        const RunResult r = run(folder, p.name, "3\n0\n");
        checkRunShape(p, r, 3);
        double closest = 1;
        const Data d = parseTable(table, 3, 0);
        const std::vector<std::string> want = expectedFiles(p, d.names, resultMatrix(p, d, 0, closest), 0);
        for (size_t k = 0; k < 7; ++k) EXPECT_EQ(r.files[k], want[k]) << kSuffixes[k];
        EXPECT_EQ(r.files[4], "*Vertices 3\n1 \"A\"\n2 \"Bx\"\n3 \"C\"\n*Edges\n");
    }
}

// --- (g) SIF files are space-separated ------------------------------------------------

TEST(ProgramFiles, NoSifFileOfAnyProgramHoldsATab)
{
    Folder folder;
    writeFile(folder.work() / "data.txt", exampleTable());
    for (const Program& p : kPrograms) {
        const RunResult r = run(folder, p.name, p.order == 3 ? "25 128" : "50 128");
        for (int k = 1; k <= 3; ++k) {
            EXPECT_NE(r.files[k], "") << p.name << kSuffixes[k];
            EXPECT_EQ(r.files[k].find('\t'), std::string::npos) << p.name << kSuffixes[k];
            for (const std::string& line : splitLines(r.files[k]))
                EXPECT_EQ(splitOn(line, ' ').size(), 3u) << p.name << kSuffixes[k] << ": " << line;
        }
    }
}

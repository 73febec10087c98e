// compare: times the literal and the production programs as whole processes.
//
// Every run gets a fresh scratch folder holding only a link "data.txt" to the
// benchmark table; the program is started there with its two answers (the
// number of variables, then of observations) on standard input and standard
// output sent to /dev/null. The harness measures the wall time from start to
// reaping and the child's peak resident memory (ru_maxrss of wait4). The runs
// of the two builds alternate, literal first; every run's seven output files
// must be byte-identical to those of the case's first run, or the case is
// marked as differing and compare exits with status 1. Scale cases run the
// production program only; their repetitions are checked against each other.
// Genome-scale cases run on the full table (--full) against the same
// program of a baseline build (--baseline DIR) instead of the literal one,
// --full-reps times (default 1). The command's cases (assocnet with its
// arguments, on the first V genes of the full table) run against the
// baseline's assocnet with the same arguments, or against one of the seven
// programs of this build, whose files differ and are not compared.
//
//   compare [--reps N] [--full-reps N] [--stat median|min] [--filter TEXT[,TEXT...]]
//           [--no-literal] [--no-full] [--bin DIR] [--baseline DIR] [--data FILE]
//           [--synthetic FILE] [--full FILE] [--work DIR] [--keep] [--list]
//
// The table defaults to ../shared/data/leukemia-1000.txt beside the source
// tree (or $ASSOCNET_BENCH_DATA); the synthetic table to synthetic-5000.txt
// in the build folder (or $ASSOCNET_BENCH_SYNTHETIC), written by
// bench/make_synthetic.py when it is missing.
#include "profiles.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#ifndef ASSOCNET_BIN_DIR
#define ASSOCNET_BIN_DIR "."
#endif
#ifndef ASSOCNET_SOURCE_DIR
#define ASSOCNET_SOURCE_DIR ".."
#endif

namespace fs = std::filesystem;

namespace {

enum class Table { real, synthetic, full };

// What a case's production runs are timed against: the literal program, none,
// the same program of the baseline build, or another program of this build.
enum class Reference { literal, none, baseline, program };

struct Case {
    std::string name;
    std::string program;
    int V;
    int N;
    Table table;
    Reference reference;  // none: scale case, the literal program would take too long
    std::vector<std::string> args = {};  // the command's; empty: the dialogue of the seven programs
    std::string against = {};            // Reference::program: the program of this build
};

const std::vector<Case> kCases = {
    {"pearson0th-1000", "pearson0th", 1000, 128, Table::real, Reference::literal},
    {"spearman0th-1000", "spearman0th", 1000, 128, Table::real, Reference::literal},
    {"pearson1st-1000", "pearson1st", 1000, 128, Table::real, Reference::literal},
    {"spearman1st-1000", "spearman1st", 1000, 128, Table::real, Reference::literal},
    {"pearson2nd-200", "pearson2nd", 200, 128, Table::real, Reference::literal},
    {"spearman2nd-200", "spearman2nd", 200, 128, Table::real, Reference::literal},
    {"pearson3rd-100", "pearson3rd", 100, 128, Table::real, Reference::literal},
    {"pearson1st-5000-synthetic", "pearson1st", 5000, 128, Table::synthetic, Reference::none},
    {"pearson3rd-200", "pearson3rd", 200, 128, Table::real, Reference::none},
    {"genome-pearson0th-12625", "pearson0th", 12625, 128, Table::full, Reference::baseline},
    {"genome-pearson1st-12625", "pearson1st", 12625, 128, Table::full, Reference::baseline},
    {"genome-pearson2nd-4000", "pearson2nd", 4000, 128, Table::full, Reference::baseline},
    {"genome-pearson3rd-1000", "pearson3rd", 1000, 128, Table::full, Reference::baseline},
    {"genome-assocnet0-edges-12625", "assocnet", 12625, 128, Table::full, Reference::program,
     {"-q", "-k", "0", "-f", "edges", "data.txt"}, "pearson0th"},
    {"genome-assocnet1-edges-12625", "assocnet", 12625, 128, Table::full, Reference::baseline,
     {"-q", "-k", "1", "-f", "edges", "data.txt"}},
    {"genome-assocnet1-12625", "assocnet", 12625, 128, Table::full, Reference::baseline,
     {"-q", "-k", "1", "data.txt"}},
    {"genome-assocnet2-edges-4000", "assocnet", 4000, 128, Table::full, Reference::baseline,
     {"-q", "-k", "2", "-f", "edges", "data.txt"}},
    {"genome-assocnet3-edges-1000", "assocnet", 1000, 128, Table::full, Reference::baseline,
     {"-q", "-k", "3", "-f", "edges", "data.txt"}},
};

struct Options {
    int reps = 3;
    int fullReps = 1;
    bool full = true;
    bool useMin = false;
    bool literal = true;
    bool keep = false;
    bool list = false;
    std::vector<std::string> filters;
    std::string bin = ASSOCNET_BIN_DIR;
    std::string baseline;
    std::string fullTable;
    std::string data;
    std::string synthetic;
    std::string work;
};

struct Run {
    bool ok = false;
    std::string why;    // why the run failed
    double seconds = 0;  // wall time
    double mib = 0;      // peak resident memory
};

std::string envOr(const char* name, const std::string& fallback)
{
    const char* v = std::getenv(name);
    return v && *v ? std::string(v) : fallback;
}

[[noreturn]] void usage(int status)
{
    std::fprintf(status ? stderr : stdout,
                 "usage: compare [--reps N] [--full-reps N] [--stat median|min]\n"
                 "               [--filter TEXT[,TEXT...]] [--no-literal] [--no-full]\n"
                 "               [--bin DIR] [--baseline DIR] [--data FILE] [--synthetic FILE]\n"
                 "               [--full FILE] [--work DIR] [--keep] [--list]\n"
                 "  --reps N        runs of each program per case (default 3)\n"
                 "  --full-reps N   runs of each program per genome-scale case (default 1)\n"
                 "  --no-full       leave out the genome-scale cases\n"
                 "  --baseline DIR  build folder of the baseline programs (genome-scale cases)\n"
                 "  --full FILE     full table of the genome-scale cases\n"
                 "  --stat S        time shown: median (default) or min of the runs\n"
                 "  --filter TEXT   only the cases whose name contains one of the texts\n"
                 "  --no-literal    production programs only\n"
                 "  --bin DIR       build folder with the programs and literal/ (default: this build)\n"
                 "  --data FILE     real table (default $ASSOCNET_BENCH_DATA or\n"
                 "                  ../shared/data/leukemia-1000.txt beside the source tree)\n"
                 "  --synthetic F   5000-variable table (default $ASSOCNET_BENCH_SYNTHETIC or\n"
                 "                  synthetic-5000.txt in the build folder; made when missing)\n"
                 "  --work DIR      where the scratch folders go (default $TMPDIR or /tmp)\n"
                 "  --keep          keep the scratch folders of the first run of each case\n"
                 "  --list          print the case names and stop\n");
    std::exit(status);
}

Options parse(int argc, char** argv)
{
    Options o;
    auto value = [&](int& i) -> std::string {
        if (i + 1 >= argc) {
            std::fprintf(stderr, "compare: %s needs a value\n", argv[i]);
            usage(2);
        }
        return argv[++i];
    };
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--reps") {
            o.reps = std::atoi(value(i).c_str());
            if (o.reps < 1) usage(2);
        } else if (a == "--stat") {
            const std::string s = value(i);
            if (s != "median" && s != "min") usage(2);
            o.useMin = s == "min";
        } else if (a == "--filter") {
            std::stringstream list(value(i));
            for (std::string item; std::getline(list, item, ',');)
                if (!item.empty()) o.filters.push_back(item);
        } else if (a == "--full-reps") {
            o.fullReps = std::atoi(value(i).c_str());
            if (o.fullReps < 1) usage(2);
        } else if (a == "--no-full") {
            o.full = false;
        } else if (a == "--baseline") {
            o.baseline = value(i);
        } else if (a == "--full") {
            o.fullTable = value(i);
        } else if (a == "--no-literal") {
            o.literal = false;
        } else if (a == "--bin") {
            o.bin = value(i);
        } else if (a == "--data") {
            o.data = value(i);
        } else if (a == "--synthetic") {
            o.synthetic = value(i);
        } else if (a == "--work") {
            o.work = value(i);
        } else if (a == "--keep") {
            o.keep = true;
        } else if (a == "--list") {
            o.list = true;
        } else if (a == "--help" || a == "-h") {
            usage(0);
        } else {
            std::fprintf(stderr, "compare: unknown argument %s\n", a.c_str());
            usage(2);
        }
    }
    if (o.data.empty())
        o.data = envOr("ASSOCNET_BENCH_DATA",
                       std::string(ASSOCNET_SOURCE_DIR) + "/../shared/data/leukemia-1000.txt");
    if (o.synthetic.empty())
        o.synthetic = envOr("ASSOCNET_BENCH_SYNTHETIC", o.bin + "/synthetic-5000.txt");
    if (o.work.empty()) o.work = envOr("TMPDIR", "/tmp");
    // Each run starts in a folder of its own, so relative names would miss.
    for (std::string* path : {&o.bin, &o.data, &o.synthetic, &o.work, &o.baseline, &o.fullTable})
        if (!path->empty()) *path = std::filesystem::absolute(*path).string();
    return o;
}

bool selected(const Options& o, const Case& c)
{
    if (c.table == Table::full && !o.full) return false;
    if (o.filters.empty()) return true;
    return std::any_of(o.filters.begin(), o.filters.end(),
                       [&](const std::string& f) { return c.name.find(f) != std::string::npos; });
}

std::string describeStatus(int status)
{
    if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return std::string("killed by signal ") + strsignal(WTERMSIG(status));
    return "stopped";
}

// Runs a command and waits for it; true when it exits with status 0.
bool runCommand(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        ::execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// One run of exe in dir: with args, or else with the answers V and N on
// standard input.
Run runProgram(const std::string& exe, const std::string& dir, int V, int N,
               const std::vector<std::string>& args = {})
{
    Run r;
    const std::string answers =
        args.empty() ? std::to_string(V) + "\n" + std::to_string(N) + "\n" : std::string();
    std::vector<char*> argv = {const_cast<char*>(exe.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int fds[2];
    if (::pipe(fds) != 0) {
        r.why = std::string("pipe: ") + std::strerror(errno);
        return r;
    }
    // The run before may have left gigabytes of its files to be written back;
    // that is done before the clock starts, so no run pays for another's.
    ::sync();
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) {
        r.why = std::string("fork: ") + std::strerror(errno);
        ::close(fds[0]);
        ::close(fds[1]);
        return r;
    }
    if (pid == 0) {
        // Only async-signal-safe calls from here on.
        if (::chdir(dir.c_str()) != 0) _exit(126);
        ::dup2(fds[0], 0);
        ::close(fds[0]);
        ::close(fds[1]);
        const int null = ::open("/dev/null", O_WRONLY);
        if (null < 0) _exit(126);
        ::dup2(null, 1);
        ::close(null);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(fds[0]);
    const char* p = answers.data();
    size_t left = answers.size();
    while (left > 0) {
        const ssize_t n = ::write(fds[1], p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the program stopped reading; its status tells why
        p += n;
        left -= static_cast<size_t>(n);
    }
    ::close(fds[1]);
    int status = 0;
    struct rusage ru {};
    while (::wait4(pid, &status, 0, &ru) < 0) {
        if (errno != EINTR) {
            r.why = std::string("wait4: ") + std::strerror(errno);
            return r;
        }
    }
    const auto stop = std::chrono::steady_clock::now();
    r.seconds = std::chrono::duration<double>(stop - start).count();
    r.mib = static_cast<double>(ru.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        r.ok = true;
    } else {
        r.why = describeStatus(status);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 127) r.why += " (could not start)";
    }
    return r;
}

// A fresh scratch folder with data.txt linked to table.
std::optional<std::string> scratch(const Options& o, const std::string& table, std::string& why)
{
    std::string templ = o.work + "/assocnet-bench-XXXXXX";
    if (!::mkdtemp(templ.data())) {
        why = "mkdtemp in " + o.work + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::error_code ec;
    fs::create_symlink(table, fs::path(templ) / "data.txt", ec);
    if (ec) {
        why = "link data.txt: " + ec.message();
        return std::nullopt;
    }
    return templ;
}

// The output files of a run: every entry of dir but data.txt, sorted.
std::vector<std::string> outputs(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename() != "data.txt") names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// "" when a and b hold the same bytes, else where they part.
std::string compareFiles(const fs::path& a, const fs::path& b)
{
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    if (!fa || !fb) return "cannot be read";
    std::vector<char> ba(1 << 16), bb(1 << 16);
    unsigned long long offset = 0;
    for (;;) {
        fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
        fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
        const auto na = static_cast<size_t>(fa.gcount()), nb = static_cast<size_t>(fb.gcount());
        const size_t n = std::min(na, nb);
        const auto m = std::mismatch(ba.begin(), ba.begin() + static_cast<std::ptrdiff_t>(n), bb.begin());
        if (m.first != ba.begin() + static_cast<std::ptrdiff_t>(n))
            return "first differs at byte " + std::to_string(offset + static_cast<size_t>(m.first - ba.begin()));
        if (na != nb) return "one is shorter, at byte " + std::to_string(offset + n);
        if (na == 0) return "";
        offset += n;
    }
}

// The seven file names of a program.
std::vector<std::string> expectedOutputs(const std::string& program)
{
    const std::string prefix(profileOf(program).prefix);
    std::vector<std::string> names;
    for (const auto& s : kSuffixes) names.push_back(prefix + std::string(s));
    std::sort(names.begin(), names.end());
    return names;
}

// The differences of the outputs in dir from those in ref.
std::vector<std::string> differences(const std::string& ref, const std::string& dir)
{
    std::vector<std::string> out;
    const auto a = outputs(ref), b = outputs(dir);
    for (const auto& n : a)
        if (!std::binary_search(b.begin(), b.end(), n)) out.push_back(n + ": missing");
    for (const auto& n : b)
        if (!std::binary_search(a.begin(), a.end(), n)) out.push_back(n + ": not written by the first run");
    for (const auto& n : a)
        if (std::binary_search(b.begin(), b.end(), n)) {
            const std::string why = compareFiles(fs::path(ref) / n, fs::path(dir) / n);
            if (!why.empty()) out.push_back(n + ": " + why);
        }
    return out;
}

double summary(std::vector<double> v, bool useMin)
{
    std::sort(v.begin(), v.end());
    if (useMin) return v.front();
    const size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

std::string fmt(const char* f, double x)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, f, x);
    return buf;
}

struct Row {
    std::string literalSeconds = "-", productionSeconds = "-", ratio = "-";
    std::string literalMiB = "-", productionMiB = "-", check = "-";
};

void printHeader()
{
    std::printf("%-28s %11s %11s %8s %10s %10s  %s\n", "case", "ref. s", "product. s",
                "ref/prod", "ref MiB", "prod MiB", "outputs");
}

void printRow(const std::string& name, const Row& r)
{
    std::printf("%-28s %11s %11s %8s %10s %10s  %s\n", name.c_str(), r.literalSeconds.c_str(),
                r.productionSeconds.c_str(), r.ratio.c_str(), r.literalMiB.c_str(),
                r.productionMiB.c_str(), r.check.c_str());
    std::fflush(stdout);
}

// A table of the first V genes of the full table, in the work folder (made
// once); "" with why when it cannot be made.
std::string firstGenes(const Options& o, const std::string& full, int V, std::string& why)
{
    const std::string path = o.work + "/assocnet-bench-first-" + std::to_string(V) + ".txt";
    if (fs::exists(path)) return path;
    std::ifstream in(full);
    std::ofstream out(path + ".part");
    std::string line;
    for (int k = 0; k <= V && std::getline(in, line); ++k) out << line << '\n';
    out.close();
    if (!in || !out) {
        why = "could not write " + path;
        return "";
    }
    fs::rename(path + ".part", path);
    return path;
}

bool isExecutable(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

std::string absolute(const std::string& path)
{
    std::error_code ec;
    const auto p = fs::canonical(path, ec);
    return ec ? path : p.string();
}

}  // namespace

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    Options o = parse(argc, argv);

    std::vector<const Case*> cases;
    for (const auto& c : kCases)
        if (selected(o, c)) cases.push_back(&c);
    if (o.list) {
        for (const auto* c : cases)
            std::printf("%-26s %s V=%d N=%d %s%s\n", c->name.c_str(), c->program.c_str(), c->V, c->N,
                        c->table == Table::real ? "real" : c->table == Table::full ? "full" : "synthetic",
                        c->reference == Reference::literal    ? " (against literal)"
                        : c->reference == Reference::baseline ? " (against baseline)"
                        : c->reference == Reference::program  ? (" (against " + c->against + ")").c_str()
                                                              : " (production only)");
        return 0;
    }
    if (cases.empty()) {
        std::fprintf(stderr, "compare: no case matches the filter (see --list)\n");
        return 2;
    }

    // Everything the selected cases need must be there before the first run.
    const bool needSynthetic = std::any_of(cases.begin(), cases.end(),
                                           [](const Case* c) { return c->table == Table::synthetic; });
    if (!fs::exists(o.data)) {
        std::fprintf(stderr, "compare: the table %s is missing (set --data or ASSOCNET_BENCH_DATA)\n",
                     o.data.c_str());
        return 2;
    }
    if (needSynthetic && !fs::exists(o.synthetic)) {
        std::printf("making the synthetic table %s\n", o.synthetic.c_str());
        std::fflush(stdout);
        const std::string script = std::string(ASSOCNET_SOURCE_DIR) + "/bench/make_synthetic.py";
        if (!runCommand({envOr("PYTHON", "python3"), script, "--source", o.data, o.synthetic})) {
            std::fprintf(stderr, "compare: %s failed\n", script.c_str());
            return 2;
        }
    }
    const bool needFull = std::any_of(cases.begin(), cases.end(),
                                      [](const Case* c) { return c->table == Table::full; });
    if (needFull && (!fs::exists(o.fullTable) || o.baseline.empty())) {
        std::fprintf(stderr, "compare: the genome-scale cases need --full FILE and --baseline DIR "
                             "(or --no-full)\n");
        return 2;
    }
    const std::string real = absolute(o.data), synthetic = needSynthetic ? absolute(o.synthetic) : "";
    const std::string full = needFull ? absolute(o.fullTable) : "";
    // The program a case's production runs are timed against.
    auto referenceOf = [&](const Case& c) {
        return c.reference == Reference::baseline  ? o.baseline + "/" + c.program
               : c.reference == Reference::program ? o.bin + "/" + c.against
                                                   : o.bin + "/literal/" + c.program;
    };
    for (const auto* c : cases) {
        const std::string prod = o.bin + "/" + c->program, ref = referenceOf(*c);
        const bool withRef = c->reference == Reference::baseline || c->reference == Reference::program ||
                             (o.literal && c->reference == Reference::literal);
        if (!isExecutable(prod) || (withRef && !isExecutable(ref))) {
            std::fprintf(stderr, "compare: %s or %s is missing; build the programs first\n",
                         prod.c_str(), ref.c_str());
            return 2;
        }
    }

    std::printf("%d run(s) of each program per case, %s wall time; peak resident memory, "
                "largest of the runs\n",
                o.reps, o.useMin ? "shortest" : "median");
    std::printf("real table: %s\n", real.c_str());
    if (needSynthetic) std::printf("synthetic table: %s\n", synthetic.c_str());
    if (needFull)
        std::printf("full table: %s (%d run(s) per program), against %s\n", full.c_str(), o.fullReps,
                    o.baseline.c_str());
    std::printf("\n");
    printHeader();

    std::vector<std::string> problems;
    for (const auto* c : cases) {
        const bool withLiteral = c->reference == Reference::baseline ||
                                 c->reference == Reference::program ||
                                 (o.literal && c->reference == Reference::literal);
        std::string table = c->table == Table::real ? real : c->table == Table::full ? full : synthetic;
        // The command reads every gene of its table: it gets the first V.
        if (!c->args.empty() && c->table == Table::full) {
            std::string why;
            table = firstGenes(o, full, c->V, why);
            if (table.empty()) {
                problems.push_back(c->name + ": " + why);
                continue;
            }
        }
        const std::string exes[2] = {referenceOf(*c), o.bin + "/" + c->program};
        const std::string labels[2] = {c->reference == Reference::baseline  ? "baseline"
                                       : c->reference == Reference::program ? c->against
                                                                            : "literal",
                                       "production"};
        // Another program writes other files: only the production runs are compared.
        const bool compareAll = c->reference != Reference::program;
        const int reps = c->table == Table::full ? o.fullReps : o.reps;
        std::vector<double> seconds[2];
        double peak[2] = {0, 0};
        std::string reference;  // scratch folder of the case's first run
        std::string referenceLabel;
        std::vector<std::string> caseProblems;
        const auto expected = c->args.empty() ? expectedOutputs(c->program) : std::vector<std::string>{};
        bool failed = false;

        for (int rep = 0; rep < reps && !failed; ++rep) {
            for (int k = withLiteral ? 0 : 1; k < 2 && !failed; ++k) {
                const std::string label = std::string(labels[k]) + " run " + std::to_string(rep + 1);
                std::string why;
                const auto dir = scratch(o, table, why);
                if (!dir) {
                    caseProblems.push_back(label + ": " + why);
                    failed = true;
                    break;
                }
                const bool dialogue = k == 0 && c->reference == Reference::program;
                const Run r = runProgram(exes[k], *dir, c->V, c->N,
                                         dialogue ? std::vector<std::string>{} : c->args);
                if (!r.ok) {
                    caseProblems.push_back(label + ": " + exes[k] + " failed, " + r.why +
                                           " (scratch folder " + *dir + " kept)");
                    failed = true;
                    break;
                }
                seconds[k].push_back(r.seconds);
                peak[k] = std::max(peak[k], r.mib);
                if (k == 0 && !compareAll) {
                    fs::remove_all(*dir);
                    continue;
                }
                if (reference.empty()) {
                    reference = *dir;
                    referenceLabel = label;
                    if (c->args.empty() && outputs(*dir) != expected)
                        caseProblems.push_back(label + ": did not write exactly the seven files of " +
                                               c->program);
                    continue;
                }
                const auto diff = differences(reference, *dir);
                for (const auto& d : diff)
                    caseProblems.push_back(label + " vs " + referenceLabel + ": " + d);
                if (diff.empty()) fs::remove_all(*dir);
                else std::fprintf(stderr, "compare: kept %s\n", dir->c_str());
            }
        }
        if (!reference.empty()) {
            if (o.keep || !caseProblems.empty()) std::fprintf(stderr, "compare: kept %s\n", reference.c_str());
            else fs::remove_all(reference);
        }

        Row row;
        if (!seconds[0].empty()) {
            row.literalSeconds = fmt("%.3f", summary(seconds[0], o.useMin));
            row.literalMiB = fmt("%.1f", peak[0]);
        }
        if (!seconds[1].empty()) {
            row.productionSeconds = fmt("%.3f", summary(seconds[1], o.useMin));
            row.productionMiB = fmt("%.1f", peak[1]);
        }
        if (!seconds[0].empty() && !seconds[1].empty())
            row.ratio = fmt("%.2f", summary(seconds[0], o.useMin) / summary(seconds[1], o.useMin));
        if (!caseProblems.empty()) row.check = "*** DIFFERENT OR FAILED ***";
        else if (!compareAll) row.check = reps > 1 ? "runs agree" : "(one run)";
        else if (withLiteral) row.check = "identical";
        else row.check = reps > 1 ? "runs agree" : "(one run)";
        printRow(c->name, row);
        for (const auto& p : caseProblems) problems.push_back(c->name + ": " + p);
    }

    struct rusage self {};
    ::getrusage(RUSAGE_SELF, &self);
    std::printf("\n(each child's peak includes the harness's own %.1f MiB, inherited at fork)\n",
                static_cast<double>(self.ru_maxrss) / 1024.0);
    if (!problems.empty()) {
        std::printf("\n*** %zu PROBLEM(S): OUTPUTS DIFFER OR A RUN FAILED ***\n", problems.size());
        for (const auto& p : problems) std::printf("  %s\n", p.c_str());
        return 1;
    }
    std::printf("all outputs byte-identical\n");
    return 0;
}

// The driver shared by the seven programs: dialogue, table, statistics and
// the seven output files, in one straight pass. Messages go to standard error
// and every failure ends the run with status 1; a run that fails before the
// statistics start leaves earlier output files as they were.
#include "profiles.h"
#include "programs_table.h"

#include "files.h"
#include "parallel.h"
#include "progress_lines.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <iostream>
#include <new>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Failure {
    std::string message;
};

[[noreturn]] void fail(std::string message) { throw Failure{std::move(message)}; }

std::string readFile(const char* name)
{
    const int fd = ::open(name, O_RDONLY);
    if (fd < 0) fail(std::string(name) + ": " + std::strerror(errno));
    std::string text;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) text.reserve(static_cast<size_t>(st.st_size));
    char block[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, block, sizeof block);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            fail(std::string(name) + ": " + std::strerror(err));
        }
        if (n == 0) break;
        try {
            text.append(block, static_cast<size_t>(n));
        } catch (const std::exception&) {
            ::close(fd);
            fail(std::string(name) + ": too large to read into memory");
        }
    }
    ::close(fd);
    return text;
}

}  // namespace

std::string askCounts(std::istream& in, std::ostream& out, int& V, int& N)
{
    int* counts[2] = {&V, &N};
    const char* prompts[2] = {"How many variables?", "How many observations?"};
    const char* what[2] = {"variables", "observations"};
    for (int k = 0; k < 2; ++k) {
        int& n = *counts[k];
        n = 0;
        out << prompts[k] << std::endl;
        if (!(in >> n)) {
            n = 0;
            if (in.bad()) return "standard input could not be read";
            if (in.eof())
                return std::string("standard input ended before the number of ") + what[k];
            return std::string("the number of ") + what[k] +
                   " must be a whole number from 0 to 2147483647";
        }
        if (n < 0)
            return std::string("the number of ") + what[k] +
                   " cannot be negative: " + std::to_string(n);
        out << std::endl;
    }
    return "";
}

namespace {

void writeTimeLine(const char* label)
{
    const std::time_t now = std::time(nullptr);
    const char* text = std::ctime(&now);
    std::cout << label << (text ? text : "?\n") << std::flush;
}

int run(const Profile& prof, Kernels kernels, OutputSet& set)
{
    const std::string isa = isaProblem();
    if (!isa.empty()) fail(isa);
    int V = 0, N = 0;
    const std::string answer = askCounts(std::cin, std::cout, V, N);
    if (!answer.empty()) fail(answer);

    const std::string text = readFile("data.txt");
    const std::string shortfall = memoryShortfall(prof.spearman, prof.order, V, N);
    if (!shortfall.empty()) fail(shortfall);
    Names varNames(V), obsNames(N);
    Matrix obs(N, V);
    const std::string problem = getObsMat(V, N, obs, varNames, obsNames, text);
    if (!problem.empty()) fail("data.txt, " + problem);

    const std::string locked = set.lock(true);
    if (!locked.empty()) fail(locked);
    for (int k = 0; k < 7; ++k)
        set.add(std::string(kSuffixes[k])).out.literal = kernels == Kernels::literal;
    std::deque<OutputFile>& files = set.files();
    const std::string unopened = set.openInPlace();
    if (!unopened.empty()) fail(unopened);
    writeTimeLine("Start time: ");

    const bool literal = kernels == Kernels::literal;
    Matrix result;
    ProgressLines lines(std::cout);
    Progress progress;
    progress.passes = [&](const Passes& passes) { lines(passes); };
    analyse(Method{prof.spearman, prof.order, 1.96}, kernels, V, N, obs, result, progress);
    lines.finish();
    std::cout << std::flush;

    // The seven files are independent: the fast programs write the report on
    // one thread and the SIF files, then the NET files, of the three levels
    // together on another; the literal ones write them one after another.
    auto writeFile = [&](long k) {
        const int level = static_cast<int>(k - 1) % 3;
        OutputSet::writeNow(files[k], [&](TextOut& out) {
            if (k == 0)
                printStuff(V, varNames, result, out, prof.report);
            else if (k <= 3)
                getCytoScapeInput(V, thresholdFor(N, prof.z[level], prof.order), result, out,
                                  varNames, prof.labels);
            else
                getPajekInput(V, thresholdFor(N, prof.z[level], prof.order), result, out,
                              varNames);
        });
    };
    auto writeLevels = [&](long first) {
        std::vector<OutputFile*> levels;
        std::vector<double> thresholds;
        for (int level = 0; level < 3; ++level) {
            levels.push_back(&files[first + level]);
            thresholds.push_back(thresholdFor(N, prof.z[level], prof.order));
        }
        OutputSet::writeNow(levels, [&](const std::vector<TextOut*>& outs) {
            if (first == 1)
                getCytoScapeInputs(V, thresholds, result, outs, varNames, prof.labels);
            else
                getPajekInputs(V, thresholds, result, outs, varNames);
        });
    };
    if (literal)
        for (long k : {1, 2, 3, 4, 5, 6, 0}) writeFile(k);
    else
        parallelFor(0, 3, 20.0 * V * V, [&](long k) {
            if (k == 0) writeFile(0);
            else writeLevels(k == 1 ? 1 : 4);
        });
    for (OutputFile& f : files)
        if (f.out.error != 0) fail(f.name + ": " + std::strerror(f.out.error));

    writeTimeLine("End time: ");
    const std::string unclosed = set.closeInPlace();
    if (!unclosed.empty()) fail(unclosed);
    set.unlock();
    if (!std::cout) fail("standard output: the dialogue could not be written");
    return 0;
}

}  // namespace

int runProgram(const Profile& prof, Kernels kernels)
{
    std::ios::sync_with_stdio(false);
    installCleanupHandlers(true);
    OutputSet set("", std::string(prof.prefix));
    try {
        return run(prof, kernels, set);
    } catch (const Failure& f) {
        std::cerr << prof.program << ": " << f.message << std::endl;
    } catch (const std::bad_alloc&) {
        std::cerr << prof.program << ": not enough memory for the matrices of this run" << std::endl;
    } catch (const std::length_error&) {
        std::cerr << prof.program << ": not enough memory for the matrices of this run" << std::endl;
    }
    set.discard();
    return 1;
}

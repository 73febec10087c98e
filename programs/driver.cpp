// The driver shared by the seven programs: dialogue, table, statistics and
// the seven output files, in one straight pass. Messages go to standard error
// and every failure ends the run with status 1; a run that fails before the
// statistics start leaves earlier output files as they were.
#include "profiles.h"

#include "parallel.h"

#include <cerrno>
#include <cstring>
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

// Bytes of the matrices and lists a run holds, or fails when they cannot fit
// in this machine's memory.
void checkMemory(const Profile& prof, int V, int N)
{
    const long double v = V, n = N, name = 48;
    long double bytes = (v + n) * name + v * 16;                        // names, means, variances
    bytes += matrixBytes(n, v) * (prof.spearman ? 2 : 1);              // observations, ranks
    // One V x V store. The first-order sweep adds a panel of 1024 columns and
    // one bit per pair; the second- and third-order ones copy the correlation
    // beside it and keep first-order rows, and the third-order one gives each
    // thread its own second-order rows.
    bytes += matrixBytes(v, v);
    if (prof.order == 1) bytes += matrixBytes(v, 1024) + v * (v + 64) / 8;
    if (prof.order >= 2) bytes += 2 * matrixBytes(v, v);
    if (prof.order >= 3) bytes += threadCount() * matrixBytes(v, v);
    const long double memory =
        static_cast<long double>(::sysconf(_SC_PHYS_PAGES)) * ::sysconf(_SC_PAGESIZE);
    if (bytes > memory * 0.9L)
        fail("not enough memory for " + std::to_string(V) + " variables and " +
             std::to_string(N) + " observations: the run needs about " +
             std::to_string(static_cast<long long>(bytes / (1 << 20))) + " MiB, this machine has " +
             std::to_string(static_cast<long long>(memory / (1 << 20))) + " MiB");
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

// An output file. A regular file with a single link is written whole under a
// temporary name beside it (with the file's mode) and then renamed over it, so
// a run stopped part way leaves each file empty or complete. Anything else (a
// symbolic link, a device, a file with further hard links), or a folder where
// no new file can be made, is written in place through the file itself.
struct OutputFile {
    std::string name;
    std::string temp;  // empty: written in place
    mode_t mode = 0;
    int fd = -1;       // the file itself, open and emptied
    TextOut out;
};

// Opens the seven files; only when all of them opened are they emptied, so a
// file that cannot be created leaves the earlier results of the others alone.
void openOutputs(const Profile& prof, Kernels kernels, OutputFile (&files)[7])
{
    for (int k = 0; k < 7; ++k) {
        files[k].name = std::string(prof.prefix) + std::string(kSuffixes[k]);
        const int fd = ::open(files[k].name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) fail(files[k].name + ": " + std::strerror(errno));
        files[k].fd = fd;
        files[k].out.literal = kernels == Kernels::literal;
    }
    for (OutputFile& f : files) {
        struct stat st {};
        if (::fstat(f.fd, &st) == 0 && S_ISREG(st.st_mode) && ::ftruncate(f.fd, 0) != 0)
            fail(f.name + ": " + std::strerror(errno));
        if (::lstat(f.name.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1) {
            f.temp = f.name + "." + std::to_string(::getpid()) + ".part";
            f.mode = st.st_mode & 07777;
        }
    }
}

// Runs a writer on f: into its temporary file, renamed over f once complete,
// or straight into f. Leaves the errno of a failure in f.out.error.
template <class Writer>
void writeOutput(OutputFile& f, Writer&& writer)
{
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    f.out.fd = f.temp.empty() ? -1 : ::open(f.temp.c_str(), flags, 0600);
    if (f.out.fd >= 0 && ::fchmod(f.out.fd, f.mode) != 0) {
        ::close(f.out.fd);
        ::unlink(f.temp.c_str());
        f.out.fd = -1;
    }
    if (f.out.fd < 0) {  // in place
        f.temp.clear();
        f.out.fd = f.fd;
    }
    writer(f.out);
    flushOut(f.out);
    if (f.temp.empty()) {
        f.out.fd = -1;
        return;
    }
    if (::close(f.out.fd) != 0 && f.out.error == 0) f.out.error = errno;
    f.out.fd = -1;
    if (f.out.error == 0 && ::rename(f.temp.c_str(), f.name.c_str()) != 0) f.out.error = errno;
    if (f.out.error != 0) ::unlink(f.temp.c_str());
}

void closeOutputs(OutputFile (&files)[7])
{
    for (int k = 6; k >= 0; --k) {
        if (files[k].fd < 0) continue;
        const int rc = ::close(files[k].fd);
        files[k].fd = -1;
        if (rc != 0) fail(files[k].name + ": " + std::strerror(errno));
    }
}

void writeTimeLine(const char* label)
{
    const std::time_t now = std::time(nullptr);
    const char* text = std::ctime(&now);
    std::cout << label << (text ? text : "?\n") << std::flush;
}

int run(const Profile& prof, Kernels kernels, OutputFile (&files)[7])
{
    int V = 0, N = 0;
    const std::string answer = askCounts(std::cin, std::cout, V, N);
    if (!answer.empty()) fail(answer);

    const std::string text = readFile("data.txt");
    checkMemory(prof, V, N);
    Names varNames(V), obsNames(N);
    Matrix obs(N, V);
    const std::string problem = getObsMat(V, N, obs, varNames, obsNames, text);
    if (!problem.empty()) fail("data.txt, " + problem);

    openOutputs(prof, kernels, files);
    writeTimeLine("Start time: ");

    const bool literal = kernels == Kernels::literal;
    Matrix result;
    Progress progress;
    progress.out = &std::cout;
    analyse(Method{prof.spearman, prof.order, 1.96}, kernels, V, N, obs, result, progress);
    std::cout << std::flush;

    // The seven files are independent: the fast programs write each on one
    // thread, whole; the literal ones write them one after another.
    auto writeFile = [&](long k) {
        const int level = static_cast<int>(k - 1) % 3;
        writeOutput(files[k], [&](TextOut& out) {
            if (k == 0)
                printStuff(V, varNames, result, out, prof.report);
            else if (k <= 3)
                getCytoScapeInput(V, N, prof.z[level], result, out, varNames, prof.order,
                                  prof.labels);
            else
                getPajekInput(V, N, prof.z[level], result, out, varNames, prof.order);
        });
    };
    if (literal)
        for (long k : {1, 2, 3, 4, 5, 6, 0}) writeFile(k);
    else
        parallelFor(0, 7, 20.0 * V * V, writeFile);
    for (OutputFile& f : files)
        if (f.out.error != 0) fail(f.name + ": " + std::strerror(f.out.error));

    writeTimeLine("End time: ");
    closeOutputs(files);
    if (!std::cout) fail("standard output: the dialogue could not be written");
    return 0;
}

}  // namespace

int runProgram(const Profile& prof, Kernels kernels)
{
    std::ios::sync_with_stdio(false);
    OutputFile files[7];
    try {
        return run(prof, kernels, files);
    } catch (const Failure& f) {
        std::cerr << prof.program << ": " << f.message << std::endl;
    } catch (const std::bad_alloc&) {
        std::cerr << prof.program << ": not enough memory for the matrices of this run" << std::endl;
    } catch (const std::length_error&) {
        std::cerr << prof.program << ": not enough memory for the matrices of this run" << std::endl;
    }
    for (OutputFile& f : files)
        if (f.fd >= 0) ::close(f.fd);
    return 1;
}

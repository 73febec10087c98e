// Output files: temporary names, renaming, the lock, and the clean-up when a
// run fails or a signal ends it.
#include "files.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Paths to remove if a signal ends the process: temporary files and the lock.
// The handler may run at any moment, so the slots are atomic and the strings
// are never freed while registered.
constexpr int kSlots = 64;
std::atomic<char*> gRemove[kSlots];

void registerPath(const std::string& path)
{
    char* copy = ::strdup(path.c_str());
    if (!copy) return;
    for (auto& slot : gRemove) {
        char* expected = nullptr;
        if (slot.compare_exchange_strong(expected, copy)) return;
    }
    std::free(copy);
}

void unregisterPath(const std::string& path)
{
    for (auto& slot : gRemove) {
        char* p = slot.load();
        if (p && path == p && slot.compare_exchange_strong(p, nullptr)) {
            std::free(p);
            return;
        }
    }
}

extern "C" void removeAndReraise(int sig)
{
    for (auto& slot : gRemove)
        if (char* p = slot.load()) ::unlink(p);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// Files that grow past this are written past the page cache, where the file
// system allows: copying gigabytes into the cache costs as much time as
// formatting them, while smaller files are done before it would pay.
constexpr long long kDirectFrom = 8 << 20;

int gLockFd = -1;
std::string gLockPath;

std::string failure(const std::string& name, int err) { return name + ": " + std::strerror(err); }

}  // namespace

void installCleanupHandlers()
{
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        struct sigaction sa {};
        sa.sa_handler = removeAndReraise;
        sigemptyset(&sa.sa_mask);
        ::sigaction(sig, &sa, nullptr);
    }
}

std::string lockOutputs(const std::string& dir, const std::string& prefix)
{
    const std::string path = (dir.empty() ? std::string() : dir + "/") + "." + prefix + ".lock";
    // A lock file removed by its holder between our open and our lock is
    // stale: open the name again until the locked file is the one named.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        // A folder closed to new files has no room for the lock; files
        // written in place there go without it.
        if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) return "";
        if (fd < 0) return failure(path, errno);
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            char pid[32] = {};
            const ssize_t n = ::pread(fd, pid, sizeof pid - 1, 0);
            ::close(fd);
            if (err != EWOULDBLOCK) return failure(path, err);
            std::string holder = n > 0 ? std::string(pid, static_cast<size_t>(n)) : "";
            while (!holder.empty() && (holder.back() == '\n' || holder.back() == ' '))
                holder.pop_back();
            return "another run (process " + (holder.empty() ? std::string("unknown") : holder) +
                   ") is writing the " + prefix + " files in " + (dir.empty() ? "this folder" : dir) +
                   "; wait for it to end or choose another prefix or folder";
        }
        struct stat held {}, named {};
        if (::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
            held.st_ino == named.st_ino && held.st_dev == named.st_dev) {
            const std::string pid = std::to_string(::getpid()) + "\n";
            if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) < 0) {
                // The process number is only shown to a second run.
            }
            gLockFd = fd;
            gLockPath = path;
            registerPath(path);
            return "";
        }
        ::close(fd);
    }
    return path + ": the lock file keeps changing";
}

void unlockOutputs()
{
    if (gLockFd < 0) return;
    unregisterPath(gLockPath);
    ::unlink(gLockPath.c_str());
    ::close(gLockFd);
    gLockFd = -1;
}

std::string openInPlace(std::vector<OutputFile>& files)
{
    for (OutputFile& f : files) {
        const int fd = ::open(f.name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) return failure(f.name, errno);
        f.fd = fd;
    }
    for (OutputFile& f : files) {
        struct stat st {};
        if (::fstat(f.fd, &st) == 0 && S_ISREG(st.st_mode) && ::ftruncate(f.fd, 0) != 0)
            return failure(f.name, errno);
        if (::lstat(f.name.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1) {
            f.temp = f.name + "." + std::to_string(::getpid()) + ".part";
            f.mode = st.st_mode & 07777;
        }
    }
    return "";
}

namespace {

// Opens f's temporary file (or readies it to be written in place).
void beginFile(OutputFile& f)
{
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    if (!f.temp.empty()) registerPath(f.temp);
    f.out.fd = f.temp.empty() ? -1 : ::open(f.temp.c_str(), flags, 0600);
    if (f.out.fd >= 0 && ::fchmod(f.out.fd, f.mode) != 0) {
        ::close(f.out.fd);
        ::unlink(f.temp.c_str());
        f.out.fd = -1;
    }
    if (f.out.fd < 0) {  // in place
        if (!f.temp.empty()) unregisterPath(f.temp);
        f.temp.clear();
        f.out.fd = f.fd;
    }
    // A file written in place is seen as it grows: only whole lines go there.
    if (!f.temp.empty() && !f.out.literal) f.out.directFrom = kDirectFrom;
}

// Writes what is left of f's text and puts the file in place.
void endFile(OutputFile& f)
{
    finishOut(f.out);
    if (f.temp.empty()) {
        f.out.fd = -1;
        return;
    }
    if (::close(f.out.fd) != 0 && f.out.error == 0) f.out.error = errno;
    f.out.fd = -1;
    if (f.out.error == 0 && ::rename(f.temp.c_str(), f.name.c_str()) != 0) f.out.error = errno;
    if (f.out.error != 0) ::unlink(f.temp.c_str());
    unregisterPath(f.temp);
}

}  // namespace

void writeFileNow(OutputFile& f, const std::function<void(TextOut&)>& writer)
{
    beginFile(f);
    writer(f.out);
    endFile(f);
}

void writeFilesNow(const std::vector<OutputFile*>& files,
                   const std::function<void(const std::vector<TextOut*>&)>& writer)
{
    std::vector<TextOut*> outs;
    for (OutputFile* f : files) {
        beginFile(*f);
        outs.push_back(&f->out);
    }
    writer(outs);
    for (OutputFile* f : files) endFile(*f);
}

std::string closeInPlace(std::vector<OutputFile>& files)
{
    std::string problem;
    for (auto f = files.rbegin(); f != files.rend(); ++f) {
        if (f->fd < 0) continue;
        const int rc = ::close(f->fd);
        f->fd = -1;
        if (rc != 0 && problem.empty()) problem = failure(f->name, errno);
    }
    return problem;
}

std::string writeAside(OutputFile& f, const std::function<void(TextOut&)>& writer)
{
    const size_t slash = f.name.rfind('/');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    f.temp = f.name.substr(0, base) + "." + f.name.substr(base) + "." +
             std::to_string(::getpid()) + ".tmp";
    registerPath(f.temp);
    f.out.fd = ::open(f.temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (f.out.fd < 0) return failure(f.name, errno);
    if (!f.out.literal) f.out.directFrom = kDirectFrom;
    writer(f.out);
    finishOut(f.out);
    if (::close(f.out.fd) != 0 && f.out.error == 0) f.out.error = errno;
    f.out.fd = -1;
    return f.out.error != 0 ? failure(f.name, f.out.error) : "";
}

std::string commitAll(std::vector<OutputFile>& files)
{
    for (OutputFile& f : files) {
        if (f.temp.empty()) continue;
        if (::rename(f.temp.c_str(), f.name.c_str()) != 0) return failure(f.name, errno);
        unregisterPath(f.temp);
        f.temp.clear();
    }
    return "";
}

void discardAll(std::vector<OutputFile>& files)
{
    for (OutputFile& f : files) {
        f.out.blocks.reset();  // no write under way on the descriptor closed
        if (f.out.fd >= 0) ::close(f.out.fd);
        f.out.fd = -1;
        if (f.temp.empty()) continue;
        ::unlink(f.temp.c_str());
        unregisterPath(f.temp);
        f.temp.clear();
    }
}

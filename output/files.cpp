// Output files: temporary names, renaming, the commit of a set, the lock, and
// the clean-up when a run fails or a signal ends it.
#include "files.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Paths to remove if a signal ends the process: temporary files and locks.
// The handler may run at any moment, so the slots are atomic and the strings
// are never freed while registered.
constexpr int kSlots = 64;
std::atomic<char*> gRemove[kSlots];

// While sets are committed (how many), a signal only leaves its number here;
// the last commit to end meets it once its files are in place or put back.
std::atomic<int> gCommitting{0};
std::atomic<int> gDeferred{0};

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

void removeAndReraise(int sig)
{
    for (auto& slot : gRemove)
        if (char* p = slot.load()) ::unlink(p);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

extern "C" void onSignal(int sig)
{
    if (gCommitting.load() != 0) {
        gDeferred.store(sig);
        return;
    }
    removeAndReraise(sig);
}

// Files that grow past this are written past the page cache, where the file
// system allows: copying gigabytes into the cache costs as much time as
// formatting them, while smaller files are done before it would pay.
constexpr long long kDirectFrom = 8 << 20;

std::string failure(const std::string& name, int err) { return name + ": " + std::strerror(err); }

std::string baseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// The hidden name beside path that this process writes it under (ending
// "part") or keeps its earlier file under during a commit ("old").
std::string besideName(const std::string& path, const char* ending)
{
    const size_t base = path.rfind('/') + 1;
    return path.substr(0, base) + "." + path.substr(base) + "." + std::to_string(::getpid()) + "." +
           ending;
}

// Creates f.temp, registered for removal: never an existing file or link
// (one this process number left, killed, is removed first); with f.mode
// exactly, else as a new file. The descriptor, or -1 with errno set.
int createTemporary(OutputFile& f)
{
    registerPath(f.temp);
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    const mode_t mode = f.mode ? 0600 : 0666;
    int fd = ::open(f.temp.c_str(), flags, mode);
    if (fd < 0 && errno == EEXIST && ::unlink(f.temp.c_str()) == 0) fd = ::open(f.temp.c_str(), flags, mode);
    if (fd >= 0 && f.mode && ::fchmod(fd, *f.mode) != 0) {
        const int err = errno;
        ::close(fd);
        ::unlink(f.temp.c_str());
        errno = err;
        return -1;
    }
    return fd;
}

// Forgets f's temporary file, removing it first when remove.
void dropTemporary(OutputFile& f, bool remove)
{
    if (f.temp.empty()) return;
    if (remove) ::unlink(f.temp.c_str());
    unregisterPath(f.temp);
    f.temp.clear();
}

// Opens f's temporary file, or readies f to be written in place.
void beginFile(OutputFile& f)
{
    f.out.fd = f.temp.empty() ? -1 : createTemporary(f);
    if (f.out.fd < 0) {  // in place
        dropTemporary(f, false);
        f.out.fd = f.fd;
    }
    // A file written in place is seen as it grows: only whole lines go there.
    if (!f.temp.empty() && !f.out.literal) f.out.directFrom = kDirectFrom;
}

// Writes what is left of f's text and closes its temporary file.
void finishTemporary(OutputFile& f)
{
    finishOut(f.out);
    if (::close(f.out.fd) != 0 && f.out.error == 0) f.out.error = errno;
    f.out.fd = -1;
}

// Writes what is left of f's text and puts the file in place.
void endFile(OutputFile& f)
{
    if (f.temp.empty()) {
        finishOut(f.out);
        f.out.fd = -1;
        return;
    }
    finishTemporary(f);
    if (f.out.error == 0 && ::rename(f.temp.c_str(), f.name.c_str()) != 0) f.out.error = errno;
    dropTemporary(f, f.out.error != 0);
}

}  // namespace

void installCleanupHandlers(bool fileSizeEnds)
{
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ}) {
        // A signal the process was started ignoring (nohup) stays ignored.
        struct sigaction sa {}, was {};
        if (::sigaction(sig, nullptr, &was) == 0 && was.sa_handler == SIG_IGN) continue;
        sa.sa_handler = sig == SIGXFSZ && !fileSizeEnds ? SIG_IGN : onSignal;
        sigemptyset(&sa.sa_mask);
        ::sigaction(sig, &sa, nullptr);
    }
}

void openClosedStandardStreams()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        const int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
}

OutputSet::OutputSet(std::string dir, std::string prefix) : dir_(std::move(dir)), prefix_(std::move(prefix)) {}

OutputSet::~OutputSet() { discard(); }

std::string OutputSet::folder() const { return dir_.empty() || dir_ == "." ? "" : dir_ + "/"; }

OutputFile& OutputSet::add(const std::string& suffix)
{
    files_.emplace_back();
    files_.back().name = folder() + prefix_ + suffix;
    return files_.back();
}

std::string OutputSet::lock(bool withoutInClosed)
{
    const std::string path = folder() + "." + prefix_ + ".lock";
    const std::string shown = dir_.empty() ? "this folder" : dir_ == "." ? "the current folder" : dir_;
    // A lock file removed by its holder between our open and our lock is
    // stale: open the name again until the locked file is the one named.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            const int err = errno;
            const bool closed = err == EACCES || err == EPERM || err == EROFS;
            if (closed && withoutInClosed) return "";
            if (closed && ::access(path.c_str(), F_OK) != 0)
                return "cannot write in " + shown + ": " + std::strerror(err);
            return failure(path, err);
        }
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
                   ") is writing the " + prefix_ + " files in " + shown +
                   "; wait for it to end or choose another prefix or folder";
        }
        struct stat held {}, named {};
        if (::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
            held.st_ino == named.st_ino && held.st_dev == named.st_dev) {
            const std::string pid = std::to_string(::getpid()) + "\n";
            if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) < 0) {
                // The process number is only shown to a second run.
            }
            lockFd_ = fd;
            lockPath_ = path;
            registerPath(path);
            return "";
        }
        ::close(fd);
    }
    return path + ": the lock file keeps changing";
}

void OutputSet::unlock()
{
    if (lockFd_ < 0) return;
    unregisterPath(lockPath_);
    ::unlink(lockPath_.c_str());
    ::close(lockFd_);
    lockFd_ = -1;
}

std::string OutputSet::openInPlace()
{
    for (OutputFile& f : files_) {
        const int fd = ::open(f.name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) return failure(f.name, errno);
        f.fd = fd;
    }
    for (OutputFile& f : files_) {
        struct stat st {};
        if (::fstat(f.fd, &st) == 0 && S_ISREG(st.st_mode) && ::ftruncate(f.fd, 0) != 0)
            return failure(f.name, errno);
        if (::lstat(f.name.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1) {
            f.temp = besideName(f.name, "part");
            f.mode = st.st_mode & 07777;
        }
    }
    return "";
}

void OutputSet::writeNow(OutputFile& f, const std::function<void(TextOut&)>& writer)
{
    beginFile(f);
    writer(f.out);
    endFile(f);
}

void OutputSet::writeNow(const std::vector<OutputFile*>& files,
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

std::string OutputSet::closeInPlace()
{
    std::string problem;
    for (auto f = files_.rbegin(); f != files_.rend(); ++f) {
        if (f->fd < 0) continue;
        const int rc = ::close(f->fd);
        f->fd = -1;
        if (rc != 0 && problem.empty()) problem = failure(f->name, errno);
    }
    return problem;
}

std::string OutputSet::writeAside(OutputFile& f, const std::function<void(TextOut&)>& writer)
{
    f.temp = besideName(f.name, "part");
    f.out.fd = createTemporary(f);
    if (f.out.fd < 0) return failure(f.name, errno);
    if (!f.out.literal) f.out.directFrom = kDirectFrom;
    writer(f.out);
    finishTemporary(f);
    return f.out.error != 0 ? failure(f.name, f.out.error) : "";
}

std::string OutputSet::commit()
{
    gCommitting.fetch_add(1);
    std::vector<OutputFile*> todo;
    for (OutputFile& f : files_)
        if (!f.temp.empty()) todo.push_back(&f);
    // The earlier file of each name, kept under its "old" name: a second link
    // to it, or, where the file system has no links, the file moved there.
    struct Earlier {
        std::string path;  // empty: nothing kept
        bool moved = false;
    };
    std::vector<Earlier> earlier(todo.size());
    std::string problem;
    for (size_t k = 0; k < todo.size() && problem.empty(); ++k) {
        const std::string& name = todo[k]->name;
        struct stat st {};
        if (::lstat(name.c_str(), &st) != 0) {
            if (errno != ENOENT) problem = failure(name, errno);
            continue;
        }
        if (S_ISDIR(st.st_mode)) continue;  // never replaced: its rename fails
        Earlier& e = earlier[k];
        e.path = besideName(name, "old");
        ::unlink(e.path.c_str());  // left by a killed process of this number
        if (::linkat(AT_FDCWD, name.c_str(), AT_FDCWD, e.path.c_str(), 0) == 0) continue;
        e.moved = ::rename(name.c_str(), e.path.c_str()) == 0;
        if (!e.moved) {
            problem = failure(name, errno);
            e.path.clear();
        }
    }
    size_t placed = 0;  // files renamed into place
    while (problem.empty() && placed < todo.size()) {
        const OutputFile& f = *todo[placed];
        if (::rename(f.temp.c_str(), f.name.c_str()) != 0)
            problem = failure(f.name, errno);
        else
            ++placed;
    }
    if (!problem.empty()) {
        // Back to the folder as it was: the earlier files where they were,
        // none of this run's.
        for (size_t k = 0; k < todo.size(); ++k) {
            Earlier& e = earlier[k];
            const std::string& name = todo[k]->name;
            if (e.path.empty()) {
                if (k < placed) ::unlink(name.c_str());
            } else if (k < placed || e.moved) {
                if (::rename(e.path.c_str(), name.c_str()) != 0)
                    problem += "; the earlier " + baseName(name) + " is kept as " + baseName(e.path);
                e.path.clear();
            }
        }
    }
    for (const Earlier& e : earlier)
        if (!e.path.empty()) ::unlink(e.path.c_str());
    for (OutputFile* f : todo) dropTemporary(*f, !problem.empty());
    // The files are in place: the run completes whatever becomes of its
    // standard streams.
    if (problem.empty()) ::signal(SIGPIPE, SIG_IGN);
    if (gCommitting.fetch_sub(1) != 1) return problem;  // another set meets the signal
    const int sig = gDeferred.exchange(0);
    if (sig != 0 && !(sig == SIGPIPE && problem.empty())) removeAndReraise(sig);
    return problem;
}

void OutputSet::discard()
{
    for (OutputFile& f : files_) {
        f.out.blocks.reset();  // no write under way on the descriptor closed
        if (f.out.fd >= 0 && f.out.fd != f.fd) ::close(f.out.fd);
        f.out.fd = -1;
        if (f.fd >= 0) ::close(f.fd);
        f.fd = -1;
        dropTemporary(f, true);
    }
    unlock();
}

std::vector<std::string> OutputSet::strays(const std::function<bool(std::string_view)>& ours) const
{
    std::vector<std::string> found;
    DIR* d = ::opendir(folder().empty() ? "." : dir_.c_str());
    if (!d) return found;
    std::set<std::string> written;
    for (const OutputFile& f : files_) written.insert(baseName(f.name));
    while (const dirent* e = ::readdir(d)) {
        const std::string_view name = e->d_name;
        struct stat st {};
        if (name.size() > prefix_.size() && name.substr(0, prefix_.size()) == prefix_ &&
            ours(name.substr(prefix_.size())) && !written.count(std::string(name)) &&
            ::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)))
            found.emplace_back(name);
    }
    ::closedir(d);
    std::sort(found.begin(), found.end());
    return found;
}

std::string OutputSet::remove(const std::string& name) const
{
    const std::string path = folder() + name;
    return ::unlink(path.c_str()) == 0 ? "" : failure(path, errno);
}

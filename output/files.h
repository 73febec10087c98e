// The output files of a run: the one place that creates, names, renames and
// removes them. An OutputSet owns, for one prefix in one folder, the lock,
// the paths, the temporary files, their commit and their clean-up. Every file
// is written whole under a hidden temporary name beside it (".NAME.PID.part",
// created anew, never through an existing file or link) and then renamed into
// place, a large one past the page cache except in the literal programs. The
// temporary files and the lock are removed when a run fails or a signal
// (Ctrl-C, SIGTERM, SIGHUP, a closed pipe, a file-size limit) ends it.
#pragma once

#include "output.h"

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

// One output file. temp empty: written in place through fd.
struct OutputFile {
    std::string name;  // path of the final file
    std::string temp;  // path written while the run lasts
    std::optional<mode_t> mode;  // the temporary file's mode; none: a new file's (0666 less the umask)
    int fd = -1;       // the final file, opened and emptied (the seven programs' way)
    TextOut out;
};

// Installs the handlers that remove the registered temporary files and the
// locks when a signal ends the process, then let the signal take its course
// (one the process was started ignoring stays ignored).
// A signal that comes while a set is committed waits until the commit is
// over. fileSizeEnds: SIGXFSZ (a write past the file-size limit) is met the
// same way; otherwise it is ignored, and the write fails with "File too
// large" like any other.
void installCleanupHandlers(bool fileSizeEnds);

// Opens /dev/null where standard input, output or error is closed, so that
// no output file takes its number; writes to a closed stream are then lost.
void openClosedStandardStreams();

// The files PREFIX* of one run in one folder.
class OutputSet {
public:
    // dir: "" for the current folder in the seven programs' words ("this
    // folder"), "." for it in assocnet's ("the current folder"), or a path.
    OutputSet(std::string dir, std::string prefix);
    ~OutputSet();  // discard()
    OutputSet(const OutputSet&) = delete;
    OutputSet& operator=(const OutputSet&) = delete;

    // Takes the lock: a hidden file ".PREFIX.lock" in the folder holding the
    // process number. "" or why not: another run holds it, naming its
    // process. In a folder where no new file can be made, withoutInClosed
    // gives "" without a lock (the seven programs then write in place);
    // otherwise "cannot write in DIR: cause".
    std::string lock(bool withoutInClosed);
    // Releases and removes the lock.
    void unlock();

    // Adds the file PREFIX + suffix; the reference stays valid.
    OutputFile& add(const std::string& suffix);
    std::deque<OutputFile>& files() { return files_; }
    const std::deque<OutputFile>& files() const { return files_; }

    // The seven programs' way, file by file: opens every file (creating it),
    // and only when all opened empties them, so a file that cannot be created
    // leaves the others' earlier results alone. Each regular file with a
    // single link is then written under its temporary name with its own mode
    // and renamed over it; anything else, and any file in a folder closed to
    // new files, is written in place. "" or "NAME: cause".
    std::string openInPlace();
    // Runs writer(TextOut&) on f and puts the result in place; a failure
    // leaves its errno in f.out.error.
    static void writeNow(OutputFile& f, const std::function<void(TextOut&)>& writer);
    // The same for several files written together: writer gets their outputs
    // in the order of files.
    static void writeNow(const std::vector<OutputFile*>& files,
                         const std::function<void(const std::vector<TextOut*>&)>& writer);
    // Closes the files opened by openInPlace; "" or "NAME: cause".
    std::string closeInPlace();

    // A run's way, all files together: writes f under its temporary name
    // (distinct files may be written at once); "" or "NAME: cause".
    std::string writeAside(OutputFile& f, const std::function<void(TextOut&)>& writer);
    // Renames every file written aside into place. When one rename fails,
    // every earlier file of these names is put back as it was (the files
    // that were not there are removed again) and the temporary files are
    // removed: all files of the run appear, or none. Once they are in place,
    // a closed pipe no longer ends the process (its writes fail instead).
    // "" or "NAME: cause".
    std::string commit();
    // Closes and removes what is not in place yet and releases the lock.
    void discard();

    // The entries of the folder, files or links, named PREFIX + a suffix that
    // ours accepts, that are not files of this set; sorted.
    std::vector<std::string> strays(const std::function<bool(std::string_view)>& ours) const;
    // Removes the entry name of the folder; "" or "PATH: cause".
    std::string remove(const std::string& name) const;

private:
    std::string folder() const;  // "" or "DIR/"
    std::string dir_, prefix_;
    std::deque<OutputFile> files_;
    int lockFd_ = -1;
    std::string lockPath_;
};

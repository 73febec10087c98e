// The output files of a run: the one place that creates, names, renames and
// removes them. Every file is written whole under a temporary name and then
// renamed into place (a large one past the page cache, except in the literal
// programs); the temporary files of a run are removed when it fails or when a
// signal (Ctrl-C, SIGTERM, SIGHUP, a closed pipe) ends it. A lock per folder
// and prefix keeps two runs from writing the same files at once.
#pragma once

#include "output.h"

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

// One output file. temp empty: written in place through fd.
struct OutputFile {
    std::string name;  // path of the final file
    std::string temp;  // path written while the run lasts
    mode_t mode = 0;
    int fd = -1;       // the final file, opened and emptied (the seven programs' way)
    TextOut out;
};

// Installs the handlers that remove the registered temporary files and the
// lock when a signal ends the process, then let the signal take its course.
void installCleanupHandlers();

// Takes the lock of prefix in dir (a hidden file ".PREFIX.lock" holding the
// process number); "" or why not: another run holds it, naming its process.
// In a folder where no new file can be made, "" without a lock.
std::string lockOutputs(const std::string& dir, const std::string& prefix);
// Releases and removes the lock.
void unlockOutputs();

// The seven programs' way, file by file: opens every file (creating it), and
// only when all opened empties them, so a file that cannot be created leaves
// the others' earlier results alone. Each regular file with a single link is
// then written under "NAME.PID.part" beside it and renamed over it; anything
// else is written in place. "" or "NAME: cause".
std::string openInPlace(std::vector<OutputFile>& files);
// Runs writer(TextOut&) on f and puts the result in place; a failure leaves
// its errno in f.out.error.
void writeFileNow(OutputFile& f, const std::function<void(TextOut&)>& writer);
// The same for several files written together: writer gets their outputs in
// the order of files.
void writeFilesNow(const std::vector<OutputFile*>& files,
                   const std::function<void(const std::vector<TextOut*>&)>& writer);
// Closes the files opened by openInPlace; "" or "NAME: cause".
std::string closeInPlace(std::vector<OutputFile>& files);

// A run's way, all files together: each file is written under a hidden
// temporary name in its folder (".NAME.PID.tmp"); "" or "NAME: cause".
std::string writeAside(OutputFile& f, const std::function<void(TextOut&)>& writer);
// Renames every file written aside into place; "" or "NAME: cause".
std::string commitAll(std::vector<OutputFile>& files);
// Removes the temporary files of files (after a failure).
void discardAll(std::vector<OutputFile>& files);

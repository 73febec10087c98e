// The seven programs: one driver, seven profiles.
#pragma once

#include "../core/core.h"
#include "../output/output.h"

#include <istream>
#include <ostream>
#include <string>
#include <string_view>

struct Profile {
    std::string_view program;  // name of the executable
    bool spearman;             // correlate ranks instead of values
    int order;                 // largest number of controlling variables, 0..3
    std::string_view prefix;   // front of the seven output file names
    double z[3];               // z-values of the "_0.01", "_0.001", "_0.0001" files
    ReportLayout report;
    SifLabels labels;
};

// Every program's settings, in one table.
extern const Profile kProfiles[7];
// The profile of the named program; aborts on a name not in the table.
const Profile& profileOf(std::string_view program);

// The seven output suffixes, in the order the files are opened.
extern const std::string_view kSuffixes[7];

// The dialogue: asks for the number of variables, then of observations, on
// out and reads each from in. Returns "" or why the answers cannot be used
// (not a whole number of int range, negative, or the input ended).
std::string askCounts(std::istream& in, std::ostream& out, int& V, int& N);


// Runs the whole program (dialogue, table, statistics, seven files) and
// returns its exit status.
int runProgram(const Profile& profile, Kernels kernels);

// The kernels an entry file runs: the fast ones, unless the build asks for the
// literal loops (the reference programs of the benchmark and the tests).
#ifndef PROGRAM_KERNELS
#define PROGRAM_KERNELS Kernels::fast
#endif

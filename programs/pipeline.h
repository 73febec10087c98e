// The run of the assocnet command: a table, the settings of the run, the
// statistics core, the selection of edges with their p and q, then the
// writers. The seven programs drive the same core and writers from their
// dialogue (driver.cpp).
#pragma once

#include "assocnet/assocnet.h"
#include "profiles.h"

#include <string>
#include <vector>

// Everything a run is told.
struct RunOptions {
    std::string table;           // path, or "-" for standard input
    Method method{false, 1, 1.96};
    double pruneAlpha = 0.05;
    std::vector<assocnet::Level> levels;  // loosest first
    std::string outDir = ".";
    std::string prefix;
    std::vector<std::string> formats;  // among sif, net, matrix, edges, graphml, html
    bool clean = false;          // remove the files of the prefix that the run did not write
    assocnet::ReadOptions reading;
    bool quiet = false;
    const Profile* profile = nullptr;  // the settings and files of one of the seven programs
    Kernels kernels = Kernels::fast;
};

// The version of assocnet.
extern const char* const kVersion;

struct Cluster;

// Runs the whole analysis, on this process alone or with the other ranks of
// an MPI job; returns the exit status (0, or 1 after a one-line message on
// standard error).
int runAssocnet(const RunOptions& options, const Cluster& cluster);

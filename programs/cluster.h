// The processes of one assocnet run: this process alone, or the ranks of an
// MPI job started by mpirun (in a build with Open MPI). Rank 0 reads, sweeps
// its share, gathers the combined values and writes every file; the other
// ranks read the same table, compute the correlation themselves and sweep the
// blocks of pairs that rank 0 hands them as they ask. A pair's combined value
// depends only on the correlation matrix, so the files are the same bits for
// any number of processes and threads.
//
//   joinCluster     starts MPI when this process is a rank of an MPI job
//   agreeToSweep    every rank says whether it got ready; true when all did
//   analyseAcross   analyse() with the sweep shared out among the ranks
//   abortCluster    ends every rank of the job at once, status 1
//   leaveCluster    ends MPI at the end of a run
#pragma once

#include "core.h"

#include <string>
#include <vector>

struct Cluster {
    int rank = 0;
    int size = 1;
    bool report = false;  // rank 0 prints, on standard error, what each rank did
};

// The cluster this process belongs to: a rank of the MPI job when mpirun (or
// another MPI launcher) started it and the build has MPI, else a cluster of one.
Cluster joinCluster(int& argc, char**& argv);

// Collective: every rank says whether it is ready to sweep. Fills failed with
// the ranks that are not; returns true when every rank is ready.
bool agreeToSweep(const Cluster& c, bool ready, std::vector<int>& failed);

// Fills result on rank 0 as analyse() does; every rank takes part, and the
// other ranks end with result empty. Rank 0 hands out blocks of pairs as
// ranks ask for them and works through blocks itself in between; p.done sees
// the share of the whole job.
void analyseAcross(const Cluster& c, const Method& method, Kernels k, int V, int N, Matrix& obs,
                   Matrix& result, Progress& p);

// Ends the whole job with status 1 (after this rank's message was printed).
[[noreturn]] void abortCluster(const Cluster& c);

// Ends MPI; a no-op in a cluster of one.
void leaveCluster(const Cluster& c);

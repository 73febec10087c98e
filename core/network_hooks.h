// What the front-ends of this project add to a network() call: a step once
// the input is checked (the command takes its output folder's lock there,
// and the processes of an MPI job agree to start), the statistics spread
// over the processes of a job, and the literal loops of the reference builds.
#pragma once

#include "assocnet/assocnet.h"
#include "core.h"

#include <functional>

struct NetworkHooks {
    // Called with the genes and the number of samples to be used, before any
    // matrix of the statistics is made; may throw assocnet::Error.
    std::function<void(const Names& genes, int samples)> ready;
    // Fills result from obs (N x V) as analyse() does; returns false on a
    // process that holds no result (a rank other than 0 of a job). Absent:
    // analyse() on this process.
    std::function<bool(const Method&, Kernels, int V, int N, Matrix& obs, Matrix& result,
                       Progress& p)>
        analyse;
    Kernels kernels = Kernels::fast;
    // With Select::edges: leave each candidate's q in the store's mirror
    // cell (selectInPlace) instead of gathering the edges into Result::edges;
    // the caller reads them through StoredEdges. Needs Options::coefficients.
    bool edgesInStore = false;
};

// network() with the hooks; a process whose analyse hook holds no result
// returns a Result without edges or coefficients.
assocnet::Result runNetwork(const assocnet::Data& data, const assocnet::Options& options,
                            const assocnet::Callbacks& callbacks, const NetworkHooks& hooks);

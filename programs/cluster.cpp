// The processes of one run: MPI when the build has it and mpirun started this
// process, else this process alone.
#include "cluster.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#ifdef ASSOCNET_MPI
#include <mpi.h>
#endif

namespace {

// True when an MPI launcher started this process as one of several.
bool launchedAsRank()
{
    for (const char* name : {"OMPI_COMM_WORLD_SIZE", "PMI_SIZE", "PMIX_SIZE"}) {
        const char* v = std::getenv(name);
        if (v && std::atoi(v) > 1) return true;
    }
    return false;
}

}  // namespace

#ifdef ASSOCNET_MPI

namespace {

double seconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Pairs (i, j), i < j, of the rows of r.
long pairsIn(int V, PairRows r)
{
    long n = 0;
    for (int i = r.begin; i < r.end; ++i) n += V - 1 - i;
    return n;
}

// Blocks of consecutive rows holding about equal numbers of pairs, a few for
// every rank; their first rows fall on bands of 64 where the rows allow.
// Every block of the third order computes again the first-order rows of
// nearly every variable (its pairs' partners, and every c2), V^3 operations
// whatever its size, which costs more there than the imbalance of fewer,
// larger blocks; the first and second orders copy only V^2 values per block.
std::vector<PairRows> blocksOf(int V, int order, int ranks)
{
    const int perRank = order == 3 ? 2 : 4;
    const int count = std::max(1, std::min(V, perRank * ranks));
    const int step = V >= 128 * count ? 64 : 1;
    const double total = 0.5 * V * (V - 1.0);
    std::vector<PairRows> blocks;
    int begin = 0;
    double before = 0;  // pairs in the rows before row
    int row = 0;
    for (int k = 1; k <= count && begin < V; ++k) {
        int end = V;
        if (k < count) {
            const double target = total * k / count;
            while (row < V && before < target) before += V - 1 - row++;
            end = std::min(V, (row + step - 1) / step * step);
        }
        if (end > begin) blocks.push_back(PairRows{begin, end});
        begin = std::max(begin, end);
        while (row < begin) before += V - 1 - row++;
    }
    return blocks;
}

constexpr int kAsk = 1;   // rank -> 0: {block just swept or -1, seconds swept so far}
constexpr int kRows = 2;  // rank -> 0: the combined values of that block, row after row
constexpr int kTake = 3;  // 0 -> rank: the next block, or -1 when none is left

constexpr long kPiece = 1L << 26;  // doubles per message: counts stay within int

void sendDoubles(const double* data, long count, int to, int tag)
{
    for (long at = 0; at < count; at += kPiece)
        MPI_Send(data + at, static_cast<int>(std::min(kPiece, count - at)), MPI_DOUBLE, to, tag,
                 MPI_COMM_WORLD);
}

void receiveDoubles(double* data, long count, int from, int tag)
{
    for (long at = 0; at < count; at += kPiece)
        MPI_Recv(data + at, static_cast<int>(std::min(kPiece, count - at)), MPI_DOUBLE, from, tag,
                 MPI_COMM_WORLD, MPI_STATUS_IGNORE);
}

// The upper triangle of the rows of r, row after row, into buf.
void packRows(const Matrix& store, int V, PairRows r, std::vector<double>& buf)
{
    buf.clear();
    for (int i = r.begin; i < r.end; ++i) buf.insert(buf.end(), store[i] + i + 1, store[i] + V);
}

void unpackRows(Matrix& store, int V, PairRows r, const double* buf)
{
    for (int i = r.begin; i < r.end; ++i) {
        std::copy(buf, buf + (V - 1 - i), store[i] + i + 1);
        buf += V - 1 - i;
    }
}

// What one rank did, for the report.
struct RankWork {
    int blocks = 0;
    long pairs = 0;
    double busy = 0;  // seconds in the sweeps
};

void printReport(const std::vector<RankWork>& work, int V)
{
    double most = 0, sum = 0;
    for (const RankWork& w : work) {
        most = std::max(most, w.busy);
        sum += w.busy;
    }
    for (size_t r = 0; r < work.size(); ++r) {
        const RankWork& w = work[r];
        const double bytes = r == 0 ? 0.0 : 8.0 * w.pairs + 16.0 * (w.blocks + 1);
        std::fprintf(stderr,
                     "rank %zu: %d blocks, %ld of %ld pairs, %.0f bytes sent, %.3f s sweeping\n", r,
                     w.blocks, w.pairs, static_cast<long>(V) * (V - 1) / 2, bytes, w.busy);
    }
    std::fprintf(stderr, "balance: busiest rank %.3f s, average %.3f s, ratio %.3f\n", most,
                 sum / work.size(), sum > 0 ? most * work.size() / sum : 1.0);
}

// Rank 0: hands out blocks as ranks ask for them, takes their results into
// store, and sweeps blocks itself in between, answering between the passes.
void lead(const Cluster& c, const Method& m, int V, int N, Matrix& store,
          const std::vector<PairRows>& blocks, Progress& p)
{
    const double total = std::max(1.0, 0.5 * V * (V - 1.0));
    double done = 0;  // pairs whose combined values are in store
    size_t next = 0;
    int working = c.size - 1;
    std::vector<RankWork> work(c.size);
    std::vector<double> buf;
    auto answer = [&](const MPI_Status& asked) {
        const int from = asked.MPI_SOURCE;
        double ask[2];
        MPI_Recv(ask, 2, MPI_DOUBLE, from, kAsk, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        const int swept = static_cast<int>(ask[0]);
        if (swept >= 0) {
            const long n = pairsIn(V, blocks[swept]);
            buf.resize(n);
            receiveDoubles(buf.data(), n, from, kRows);
            unpackRows(store, V, blocks[swept], buf.data());
            done += n;
            work[from].blocks += 1;
            work[from].pairs += n;
        }
        work[from].busy = ask[1];
        const int give = next < blocks.size() ? static_cast<int>(next++) : -1;
        if (give < 0) --working;
        MPI_Send(&give, 1, MPI_INT, from, kTake, MPI_COMM_WORLD);
    };
    auto answerAll = [&] {
        int waiting = 0;
        MPI_Status asked;
        while (MPI_Iprobe(MPI_ANY_SOURCE, kAsk, MPI_COMM_WORLD, &waiting, &asked) == MPI_SUCCESS &&
               waiting)
            answer(asked);
    };
    double share = 0;  // pairs of the block rank 0 sweeps
    Progress mine;
    mine.done = [&](double s) {
        answerAll();
        reportDone(p, std::min(1.0, (done + s * share) / total));
    };
    for (;;) {
        answerAll();
        if (next >= blocks.size()) break;
        const PairRows rows = blocks[next++];
        share = static_cast<double>(pairsIn(V, rows));
        const double start = seconds();
        sweepPairs(m, V, N, store, rows, mine);
        work[0].busy += seconds() - start;
        work[0].blocks += 1;
        work[0].pairs += static_cast<long>(share);
        done += share;
        share = 0;
        reportDone(p, std::min(1.0, done / total));
    }
    while (working > 0) {
        MPI_Status asked;
        MPI_Probe(MPI_ANY_SOURCE, kAsk, MPI_COMM_WORLD, &asked);
        answer(asked);
        reportDone(p, std::min(1.0, done / total));
    }
    if (c.report) printReport(work, V);
}

// The other ranks: ask for a block, sweep it, send its rows with the next ask.
void follow(const Method& m, int V, int N, Matrix& store, const std::vector<PairRows>& blocks)
{
    double busy = 0;
    int swept = -1;
    std::vector<double> buf;
    Progress none;
    for (;;) {
        const double ask[2] = {static_cast<double>(swept), busy};
        MPI_Send(ask, 2, MPI_DOUBLE, 0, kAsk, MPI_COMM_WORLD);
        if (swept >= 0) {
            packRows(store, V, blocks[swept], buf);
            sendDoubles(buf.data(), static_cast<long>(buf.size()), 0, kRows);
        }
        int block = -1;
        MPI_Recv(&block, 1, MPI_INT, 0, kTake, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        if (block < 0) return;
        const double start = seconds();
        sweepPairs(m, V, N, store, blocks[block], none);
        busy += seconds() - start;
        swept = block;
    }
}

}  // namespace

Cluster joinCluster(int& argc, char**& argv)
{
    Cluster c;
    if (!launchedAsRank()) return c;
    int provided = 0;
    MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
    MPI_Comm_rank(MPI_COMM_WORLD, &c.rank);
    MPI_Comm_size(MPI_COMM_WORLD, &c.size);
    return c;
}

bool agreeToSweep(const Cluster& c, bool ready, std::vector<int>& failed)
{
    failed.clear();
    if (c.size == 1) {
        if (!ready) failed.push_back(0);
        return ready;
    }
    const int mine = ready ? 1 : 0;
    std::vector<int> all(c.size);
    MPI_Allgather(&mine, 1, MPI_INT, all.data(), 1, MPI_INT, MPI_COMM_WORLD);
    for (int r = 0; r < c.size; ++r)
        if (!all[r]) failed.push_back(r);
    return failed.empty();
}

void analyseAcross(const Cluster& c, const Method& method, Kernels k, int V, int N, Matrix& obs,
                   Matrix& result, Progress& p)
{
    if (c.size == 1 || k == Kernels::literal || method.order == 0) {
        if (c.rank == 0) analyse(method, k, V, N, obs, result, p);
        return;
    }
    correlate(method, V, N, obs, result);
    const std::vector<PairRows> blocks = blocksOf(V, method.order, c.size);
    if (c.rank == 0) {
        lead(c, method, V, N, result, blocks, p);
    } else {
        follow(method, V, N, result, blocks);
        result = Matrix();
    }
}

void abortCluster(const Cluster& c)
{
    if (c.size > 1) MPI_Abort(MPI_COMM_WORLD, 1);
    std::exit(1);
}

void leaveCluster(const Cluster& c)
{
    if (c.size > 1) MPI_Finalize();
}

#else  // a build without MPI: always a cluster of one

Cluster joinCluster(int&, char**&)
{
    if (launchedAsRank()) {
        std::cerr << "assocnet: this build has no MPI support, so it cannot share a run among the "
                     "processes of an MPI job; run it without mpirun, or build it with Open MPI "
                     "installed\n";
        std::exit(1);
    }
    return Cluster{};
}

bool agreeToSweep(const Cluster&, bool ready, std::vector<int>& failed)
{
    failed.clear();
    if (!ready) failed.push_back(0);
    return ready;
}

void analyseAcross(const Cluster&, const Method& method, Kernels k, int V, int N, Matrix& obs,
                   Matrix& result, Progress& p)
{
    analyse(method, k, V, N, obs, result, p);
}

void abortCluster(const Cluster&) { std::exit(1); }

void leaveCluster(const Cluster&) {}

#endif

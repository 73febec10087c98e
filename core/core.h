// Statistics core: the reading of one number, covariance and correlation,
// ranks, significance thresholds and the partial-correlation sweeps.
//
// Every routine fills the object it is given and allocates nothing that
// outlives the call; counts come first, then what is filled, then what is read.
// Each kernel has a literal form, which follows the textbook loops step by step,
// and a fast form that produces the same bits; the driver picks one (Kernels).
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "isa.h"
#include "matrix.h"

using Names = std::vector<std::string>;

enum class Kernels { literal, fast };

// --- reading -----------------------------------------------------------------

// Fills value with the whole token read as a decimal number in the classic
// locale ([+-] digits [. digits] [e [+-] digits]; no hexadecimal, inf or nan,
// no separators); underflow gives zero or a subnormal. Returns "", "expected a
// number" or "expected a number within the range of a double".
std::string parseNumber(std::string_view token, double& value);
// A token as it may stand in a message: at most 40 bytes (then "..."),
// unprintable bytes as '?'.
std::string shownToken(std::string_view token);

// --- ranks (Spearman) --------------------------------------------------------

// Sorts a[0..n) ascending with the plain exchange sort (all n-1 passes).
void bubbleSort1(double* a, int n);
// Fills rank (N x V) with the fractional rank of every cell of obs within its
// column: ties get the mean of their positions. Literal: bubble sort and counting.
void getRanksLiteral(int V, int N, Matrix& rank, const Matrix& obs);
// Same ranks through one O(N log N) sort per column.
void getRanks(int V, int N, Matrix& rank, const Matrix& obs);

// --- covariance and correlation ----------------------------------------------

// Fills cov (V x V) with sample covariances of the columns of input (N x V),
// centring input in place and accumulating column means into means (zeros on entry).
void getCovMatLiteral(int V, int N, Matrix& cov, Matrix& input, std::vector<double>& means);
// Same bits: each cell summed in observation order in tiles of vector
// registers, mirror cells copied, rows threaded.
void getCovMat(int V, int N, Matrix& cov, Matrix& input, std::vector<double>& means);
// The same with vectors of the given width (8, 4 or 2 doubles) on this
// processor; getCovMat takes that of currentIsa() (2 for its width 1).
void getCovMatWith(int width, int V, int N, Matrix& cov, Matrix& input, std::vector<double>& means);
// Fills corr (V x V) with cov[a][b] / sqrt(cov[b][b] * cov[a][a]), every cell.
void getCorrMatLiteral(int V, Matrix& corr, const Matrix& cov);
// Same bits: one triangle computed, the mirror copied.
void getCorrMat(int V, Matrix& corr, const Matrix& cov);
// Fills store (V x V) with the correlation matrix of the columns of input
// (N x V, centred in place, column means into means): the bits of the
// covariance followed by the correlation, each cell divided as it leaves the
// sums, so the covariance is never stored.
void getCorrStore(int V, int N, Matrix& store, Matrix& input, std::vector<double>& means);
// The fast forms sum blocks of kCovarianceBlock observations at a time, each
// block packed beside the input (8 bytes a value).
constexpr int kCovarianceBlock = 256;

// --- thresholds --------------------------------------------------------------

// Fills the critical absolute correlation tanh(z / sqrt(N - 3 - k)), formed
// through one exponential, for the orders k = 0..3.
void getThresholds(int N, double z, double& t0, double& t1, double& t2, double& t3);
// The threshold of one order (0..3), through getThresholds.
double thresholdFor(int N, double z, int order);

// --- partial-correlation sweeps ----------------------------------------------

// A stretch of passes of a sweep's highest order K that the sweep has
// completed. A pass is the set of K controlling variables c[0] < ... < c[K-1]
// (each below V) whose coefficients it offers; a sweep completes them in
// lexicographic order, and a stretch holds every pass from `first` to `last`,
// both included (the cells past K unused).
struct Passes {
    int order = 0;
    int V = 0;
    std::array<int, 3> first{}, last{};
};

// Where a sweep reports how far it is: the share of its work done, from 0 to
// 1 (for a progress display), and each stretch of passes of its highest
// order once it is complete, in order (for the seven programs' lines). Either
// may be absent. The sweeps call them between their parallel loops, on the
// thread that called the sweep; either may throw to end the sweep, which
// then lets go of everything it holds and passes the exception on.
// `stop`, when given, is a flag the caller may set from any thread: the
// longest parallel loops then skip what they have left, so that the next
// report comes soon, and `done` is expected to throw there.
struct Progress {
    std::function<void(double)> done;
    std::function<void(const Passes&)> passes;
    const std::atomic<bool>* stop = nullptr;
};
// Whether p's caller has asked the sweep to end early.
inline bool stopping(const Progress& p)
{
    return p.stop && p.stop->load(std::memory_order_relaxed);
}
// Tells p.done, when there is one, that the given share of the sweep is done.
inline void reportDone(Progress& p, double share)
{
    if (p.done) p.done(share);
}
// Tells p.passes, when there is one, that the passes from first to last of
// order K in a sweep of V variables are complete.
inline void reportPasses(Progress& p, int K, int V, std::array<int, 3> first, std::array<int, 3> last)
{
    if (p.passes) p.passes(Passes{K, V, first, last});
}

// Fills the strict upper triangle of combined (V x V) with, per pair, the
// coefficient of smallest magnitude among its correlation and its partial
// correlations of orders up to 1, 2 or 3, pruned at the order's threshold
// for pruneZ (1.96 in the seven programs); reads corr (V x V, symmetric).
// Reports each pass of the highest order to p. The fast first-order form
// works on a copy of corr in combined, whose lower triangle and diagonal then
// hold the correlation.
void getPartCorrMat1Literal(int V, int N, double pruneZ, Matrix& combined, const Matrix& corr,
                            Progress& p);
void getPartCorrMat1(int V, int N, double pruneZ, Matrix& combined, const Matrix& corr,
                     Progress& p);
void getPartCorrMat2Literal(int V, int N, double pruneZ, Matrix& combined, const Matrix& corr,
                            Progress& p);
void getPartCorrMat2(int V, int N, double pruneZ, Matrix& combined, const Matrix& corr,
                     Progress& p);
void getPartCorrMat3Literal(int V, int N, double pruneZ, Matrix& combined, const Matrix& corr,
                            Progress& p);
void getPartCorrMat3(int V, int N, double pruneZ, Matrix& combined, const Matrix& corr,
                     Progress& p);

// The pairs a sweep works on: (i, j) with i < j and i in [begin, end). A
// pair's combined value depends only on the correlation matrix, so the
// pairs can be taken in any split and order with the same bits.
struct PairRows {
    int begin = 0;
    int end = 0;
};

// The fast sweeps on one store (V x V): its lower triangle and diagonal hold
// the correlation matrix, and so does the strict upper triangle in the rows
// of `rows` on entry; on return those rows of the upper triangle hold the
// combined values. The lower triangle, and the upper one outside `rows`, are
// left as they were.
void getPartCorrMat1InPlace(int V, int N, double pruneZ, Matrix& store, PairRows rows, Progress& p);
void getPartCorrMat2InPlace(int V, int N, double pruneZ, Matrix& store, PairRows rows, Progress& p);
void getPartCorrMat3InPlace(int V, int N, double pruneZ, Matrix& store, PairRows rows, Progress& p);

// --- the statistics of a run -------------------------------------------------

// What a run computes: Pearson or Spearman, the order (0..3) and the z of the
// sweeps' pruning.
struct Method {
    bool spearman = false;
    int order = 0;
    double pruneZ = 1.96;
};
// Fills result (V x V) from the observations obs (N x V, centred in place,
// or ranked first for Spearman): the correlation matrix for order 0 (every
// cell), else the combined matrix (its strict upper triangle). The kernels
// are the literal loops or the fast forms, chosen here and nowhere else.
void analyse(const Method& method, Kernels k, int V, int N, Matrix& obs, Matrix& result,
             Progress& p);

// The fast forms of analyse in two steps, for runs that share the pairs out
// among processes. correlate fills store (V x V) with the correlation matrix
// of obs (ranked first for Spearman); sweepPairs then runs the method's sweep
// on the pairs of `rows` (nothing at order 0).
void correlate(const Method& method, int V, int N, Matrix& obs, Matrix& store);
void sweepPairs(const Method& method, int V, int N, Matrix& store, PairRows rows, Progress& p);

// The bytes a run of this method on V variables and N observations takes at
// its peak on `threads` threads, the fast sweeps' buffers counted at their
// sizes: the observations (and their ranks), names, means and variances, the
// V x V store and what the sweep of the method's order adds to it.
long double runBytes(const Method& method, int V, int N, int threads);
// "" when the matrices of a run of this method, order and size fit in this
// machine's memory (on the calling thread's count of threads), else a
// message saying how much it needs and has.
std::string memoryShortfall(bool spearman, int order, int V, int N);

// Statistics core: the table reader, covariance and correlation, ranks,
// significance thresholds and the partial-correlation sweeps.
//
// Every routine fills the object it is given and allocates nothing that
// outlives the call; counts come first, then what is filled, then what is read.
// Each kernel has a literal form, which follows the textbook loops step by step,
// and a fast form that produces the same bits; the driver picks one (Kernels).
#pragma once

#include <ctime>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "matrix.h"

using Names = std::vector<std::string>;

enum class Kernels { literal, fast };

// --- instruction sets --------------------------------------------------------

// The widest vectors the fast kernels use on this processor: 8 doubles
// (AVX-512), 4 (AVX2) or 1; every width gives the same bits.
int widestBlockTest();

// --- reading -----------------------------------------------------------------

// Fills value with the whole token read as a decimal number in the classic
// locale ([+-] digits [. digits] [e [+-] digits]; no hexadecimal, inf or nan,
// no separators); underflow gives zero or a subnormal. Returns "", "expected a
// number" or "expected a number within the range of a double".
std::string parseNumber(std::string_view token, double& value);
// A token as it may stand in a message: at most 40 bytes (then "..."),
// unprintable bytes as '?'.
std::string shownToken(std::string_view token);

// Fills obs (N rows of V), varNames (V, first "-" removed) and obsNames (N)
// from the text of the table. Returns "" when the table holds everything that
// V and N promise, else a one-line message naming the line and what was expected.
std::string getObsMat(int V, int N, Matrix& obs, Names& varNames, Names& obsNames,
                      std::string_view text);

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
// The same with vectors of the given width (8, 4 or 2 doubles) on this processor.
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

// --- thresholds --------------------------------------------------------------

// Fills the critical absolute correlation tanh(z / sqrt(N - 3 - k)), formed
// through one exponential, for the orders k = 0..3.
void getThresholds(int N, double z, double& t0, double& t1, double& t2, double& t3);
// The threshold of one order (0..3), through getThresholds.
double thresholdFor(int N, double z, int order);

// --- partial-correlation sweeps ----------------------------------------------

// Where a sweep reports how far it is: the per-pass lines of the seven
// programs (the time text formatted at most once per second), and the share
// of the sweep's work done, from 0 to 1, for a progress display. Either may
// be absent.
struct Progress {
    std::ostream* out = nullptr;
    std::function<void(double)> done;
    std::time_t shown = -1;
    std::string timeText;
};
// Appends the ctime text of the current time (with its line feed) to *out.
void writeTime(Progress& p);
// Tells p.done, when there is one, that the given share of the sweep is done.
inline void reportDone(Progress& p, double share)
{
    if (p.done) p.done(share);
}

// Fills the strict upper triangle of combined (V x V) with, per pair, the
// coefficient of smallest magnitude among its correlation and its partial
// correlations of orders up to 1, 2 or 3, pruned at the order's threshold
// for pruneZ (1.96 in the seven programs); reads corr (V x V, symmetric).
// Writes one progress line per pass of the highest order. The fast
// first-order form works on a copy of corr in combined, whose lower triangle
// and diagonal then hold the correlation.
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

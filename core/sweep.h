// Shared pieces of the three partial-correlation sweeps: the recursion step,
// the replacement and pruning rules of the literal loops, and the sizes the
// fast sweeps work in.
#pragma once

#include "core.h"

#include <cmath>

// The coefficient of a pair given one more controlling variable w, from the
// pair's coefficient x and the coefficients a (i with w) and b (j with w) of
// the level below, in this operation order.
inline double partialStep(double x, double a, double b)
{
    return (x - a * b) / std::sqrt((1 - a * a) * (1 - b * b));
}

// The replacement rule: a strictly smaller magnitude replaces, a tie or a
// not-a-number never does.
inline void offer(double& stored, double r)
{
    if (std::fabs(stored) > std::fabs(r)) stored = r;
}

// The pruning test of the highest order: the pair is skipped while its stored
// magnitude is strictly below the threshold (never when either is not-a-number).
inline bool pruned(double stored, double threshold)
{
    return threshold > std::fabs(stored);
}

// Copies the strict upper triangle of corr into combined: all of it, or the
// rows of one range.
void initCombined(int V, Matrix& combined, const Matrix& corr);
void initCombined(PairRows rows, int V, Matrix& combined, const Matrix& corr);

// The fast first-order sweep takes the controlling variables in passes of
// kFirstOrderPanel, and the pairs in bands of kFirstOrderBand rows (one bit
// per pair of a band and column).
constexpr int kFirstOrderPanel = 1024;
constexpr int kFirstOrderBand = 64;

// The fast second-order sweep takes the first controlling variables in
// batches of kSecondOrderBatch.
constexpr int kSecondOrderBatch = 32;

// The fast third-order sweep takes the values of c2 in batches of 64 and
// windows of 2048: per first controlling variable, the rows of every c2 of a
// window are formed at once and its batches taken in one parallel loop.
// getPartCorrMat3Windows is getPartCorrMat3InPlace with windows of `window`
// values of c2 (a multiple of the batch).
constexpr int kThirdOrderBatch = 64;
constexpr int kThirdOrderWindow = 32 * kThirdOrderBatch;
void getPartCorrMat3Windows(int V, int N, double pruneZ, Matrix& store, PairRows rows, int window,
                            Progress& p);

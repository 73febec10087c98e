// Shared pieces of the three partial-correlation sweeps.
#pragma once

#include "core.h"

#include <cmath>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

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

// Offers to the pair (i, j), whose stored value is v and whose coefficient at
// the level below is x, the coefficients given each w in [w0, w1) other than i
// and j, in ascending w, with the pruning test before each; A and B are the
// rows of i and j at the level below. Returns the new stored value. Whole
// blocks of w whose coefficients are all sure to be larger in magnitude than v
// are passed over without a division or a square root.
double offerRun(double v, double x, const double* A, const double* B, int w0, int w1, int i,
                int j, double threshold);

// The same run with the block test of one instruction set: width 8 (AVX-512),
// 4 (AVX2) or 1 (plain); every width gives the same result. The widest
// this processor runs (widestBlockTest) is the one offerRun uses.
double offerRunWith(int width, double v, double x, const double* A, const double* B, int w0,
                    int w1, int i, int j, double threshold);

// A pair's two panel rows in 16-bit fixed point, as fixedPanelRow fills them
// (readable up to n rounded up to 64, at a and at a + rest): the lanes of i
// from a, those of j from b; a null when there are none, or when both rows
// hold a magnitude above 1.
struct FixedRows {
    const std::int16_t* a = nullptr;
    const std::int16_t* b = nullptr;
    int rest = 0;
};

// Offers to the pair whose stored value is v and whose coefficient at the
// level below is x the coefficients given the controlling variables of the
// lanes [0, n) of A and B (the rows of i and j at the level below, one lane
// per controlling variable, readable up to n rounded up to 8), in ascending
// lane order, with the pruning test before each; the lanes skip1 and skip2
// (those of i and j, or outside [0, n)) are passed over. fq are the same rows
// in fixed point, tested first where the processor can. Returns the new
// stored value.
double offerPanel(double v, double x, const double* A, const double* B, const FixedRows& fq, int n,
                  int skip1, int skip2, double threshold);
// The same with the block test of one width (8, 4 or 1), as offerRunWith;
// only width 8 reads fq, where the processor can (panelFixedTests).
double offerPanelWith(int width, double v, double x, const double* A, const double* B,
                      const FixedRows& fq, int n, int skip1, int skip2, double threshold);
// Whether offerPanel reads fixed-point rows on this processor.
bool panelFixedTests();
// Fills out[0, n) with the lanes a of row in units of 2^-15 and out[rest,
// rest + n) with their sqrt(1 - a^2), both 0 where |a| is above 1 or not a
// number; returns whether a lane's magnitude is above 1.
bool fixedPanelRow(const double* row, int n, std::int16_t* out, int rest);

// The fast third-order sweep takes the values of c2 in batches of 64 and
// windows of 2048: per first controlling variable, the rows of every c2 of a
// window are formed at once and its batches taken in one parallel loop.
// getPartCorrMat3Windows is getPartCorrMat3InPlace with windows of `window`
// values of c2 (a multiple of the batch).
constexpr int kThirdOrderBatch = 64;
constexpr int kThirdOrderWindow = 32 * kThirdOrderBatch;
void getPartCorrMat3Windows(int V, int N, double pruneZ, Matrix& store, PairRows rows, int window,
                            Progress& p);

// The correlation matrix as the batch forms read it: row r of lower holds
// corr[r][w] for w <= r, and upper(r)[w] holds corr[r][w] for w > r, from a
// packed strict upper triangle (row r from r * (2V - r - 3) / 2 on) or, when
// there is none, from the rows of lower itself (a whole symmetric matrix).
struct CorrRows {
    const Matrix* lower = nullptr;
    const double* packed = nullptr;
    int V = 0;
    const double* upper(int r) const
    {
        return packed ? packed + static_cast<long>(r) * (2L * V - r - 3) / 2 : (*lower)[r];
    }
    double at(int r, int w) const { return w <= r ? (*lower)[r][w] : upper(r)[w]; }
};

// The rows of a batch of first controlling variables c in [c0, c1) that the
// batch forms of offerFirstOrder and offerSecondOrder read besides the
// correlation matrix: row c - c0 of rows holds the row c of corr and row c - c0
// of rest 1 - corr[c][w] * corr[c][w] for every w, and g and e hold the same
// in single precision (row c - c0 from (c - c0) * V on) for a first, coarser
// lane test of offerSecondOrder; h holds the row in 16-bit fixed point (units
// of 2^-15, 0 where its magnitude is above 1) for that of offerFirstOrder.
struct BatchRows {
    int c0 = 0, c1 = 0;
    Matrix rows, rest;
    std::vector<float> g, e;
    std::vector<std::int16_t> h;
};
// Fills batch for the c in [c0, c1) from corr (V x V).
void prepareBatch(int V, const CorrRows& corr, int c0, int c1, BatchRows& batch);
// The same in two steps, for rows filled on several threads: sizeBatch makes
// batch hold the rows of [c0, c1) (their cells not set), and
// prepareBatchRow fills those of one c in that range.
void sizeBatch(int V, int c0, int c1, BatchRows& batch);
void prepareBatchRow(int V, const CorrRows& corr, int c, BatchRows& batch);

// A row of the correlation matrix in single precision, its cells [from, to)
// converted.
struct SingleRow {
    std::vector<float> cells;
    int row = -1, from = 0, to = 0;
};
// What the batch forms keep between calls on one thread: the rows of a
// pair's two variables in single precision, converted as its runs reach them.
// It serves one matrix and one batch; forget() before another.
struct SingleRows {
    SingleRow i, j;
    std::vector<std::int16_t> xq;     // per lane of a row, fixed point
    std::vector<std::uint16_t> tq;    // per lane of a row, fixed point
    std::vector<unsigned char> left;  // per block of eight lanes
    std::vector<std::uint32_t> given; // per vector of 32 lanes and c of a group
    void forget() { i.row = j.row = -1; }
};

// The first-order offers of the pairs (i, j), j in [from, to) with from > i,
// but j = skip, whose stored values are row[j]: for each pair pruned (at
// threshold) on entry, its coefficients given each c of the batch other than
// i and j, in ascending c, from the correlation matrix corr; each offer is
// decided without the division and the square root when it is sure not to
// replace. The pairs not pruned on entry are appended to open, in ascending
// j, untouched; the pair (i, skip) is neither offered nor listed. scratch as
// for offerSecondOrder.
void offerFirstOrder(double* row, const CorrRows& corr, const BatchRows& batch,
                     SingleRows& scratch, int i, int from, int to, int skip, double threshold,
                     std::vector<int>& open);
// The same with the lane tests of one width: 8 (a fixed-point test before the
// double one, with AVX-512 BW and VL; the plain form without them) or 1; both
// give the same result.
void offerFirstOrderWith(int width, double* row, const CorrRows& corr, const BatchRows& batch,
                         SingleRows& scratch, int i, int from, int to, int skip, double threshold,
                         std::vector<int>& open);

// The offers that the pair (i, j), i < j, whose stored value is v, takes for
// the first controlling variables c of the batch other than i and j, in
// ascending c: its first-order coefficient given c, then, while it is not
// pruned (at threshold), its second-order coefficients given (c, w) for each
// w > c other than i and j, in ascending w, with the pruning test before each.
// corr is the correlation matrix (V x V). Returns the new stored value: the
// bits of the literal offers, every first-order coefficient formed as
// partialRow forms it.
double offerSecondOrder(double v, const CorrRows& corr, const BatchRows& batch,
                        SingleRows& scratch, int i, int j, double threshold);
// The same with the lane tests of one width: 8 (a single-precision test of 16
// lanes a vector before the double one) or 1; both give the same result.
double offerSecondOrderWith(int width, double v, const CorrRows& corr, const BatchRows& batch,
                            SingleRows& scratch, int i, int j, double threshold);

// Fills Fi[from..to) with the coefficients of i with each variable given c,
// from the symmetric X of the level below: Fi[j] has the bits of the literal
// coefficient of the pair {i, j} (products commute). Cells i and c are set to 0.
void partialRow(double* Fi, const Matrix& X, int i, int c, int from, int to);

// The current time text (ctime, with its line feed), formatted once per second.
const std::string& timeNow(Progress& p);
// Appends one progress line per number n in [from, to): the head, n, the
// closing text and the time text (which ends the line).
void appendProgressLines(std::string& lines, std::string_view head, int from, int to,
                         std::string_view closing, const std::string& time);

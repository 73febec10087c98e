// The batch forms of the second- and third-order sweeps: the rows of a batch
// of first controlling variables (batch_rows.cpp), the first-order offers of a
// row's pruned pairs over the batch (first_order_offers.cpp) and the offers of
// one open pair over it (second_order_offers.cpp).
#pragma once

#include "isa.h"
#include "matrix.h"

#include <cstdint>
#include <vector>

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
// When the second-order sweep fills them (sizeBatchPeaks, prepareBatchPeaks),
// s holds 1 / sqrt(e) in single precision and peaks holds, per c and variable
// r, the peaks of r's first-order coefficients given c over the stretches of
// 64 lanes from c + 1 (stride cells from ((c - c0) * V + r) * stride, each the
// top 16 bits of a float rounded up), with which offerSecondOrder passes over
// whole stretches; peaksOf[r] is the c0 of the batch whose peaks of r are
// there (-1: none).
struct BatchRows {
    int c0 = 0, c1 = 0;
    Matrix rows, rest;
    std::vector<float> g, e, s;
    std::vector<std::int16_t> h;
    std::vector<std::uint16_t> peaks;
    std::vector<int> peaksOf;
    int stride = 0;
};
// Fills batch for the c in [c0, c1) from corr (V x V), with the instructions
// of isa (the cells are the same with any).
void prepareBatch(Isa isa, int V, const CorrRows& corr, int c0, int c1, BatchRows& batch);
// The same in two steps, for rows filled on several threads: sizeBatch makes
// batch hold the rows of [c0, c1) (their cells not set), and
// prepareBatchRow fills those of one c in that range.
void sizeBatch(int V, int c0, int c1, BatchRows& batch);
void prepareBatchRow(Isa isa, int V, const CorrRows& corr, int c, BatchRows& batch);
// Makes batch (prepared) hold s and peaks for V variables, their cells not
// set (none without AVX2, where offerSecondOrder reads none); prepareBatchPeaks
// then fills those of variable r for every c of the batch. offerSecondOrder
// passes over stretches of a pair only when both its variables have them.
void sizeBatchPeaks(Isa isa, int V, BatchRows& batch);
void prepareBatchPeaks(int V, const CorrRows& corr, int r, BatchRows& batch);
// Fills peaks[k] with the largest term (|C[w] - a * g[w]| + 2^-21) * s[w] of
// the lanes w in [from + 64 k, from + 64 k + 64) below `to`, but skip1 and
// skip2, for every k that [from, to) reaches (a not-a-number term counting as
// the largest). Needs AVX2 and FMA.
void termPeaks(const float* C, const float* g, const float* s, float a, int from, int to, int skip1,
               int skip2, float* peaks);

// A row of the correlation matrix in single precision, converted 64 cells at
// a time as they are first read: bit b % 64 of done[b / 64] tells whether
// cells [64 b, 64 b + 64) are.
struct SingleRow {
    std::vector<float> cells;
    std::vector<std::uint64_t> done;
    int row = -1;
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
// for offerSecondOrder. Where isa has the fixed-point tests, a test in fixed
// point comes before the one in double; every isa gives the same result.
void offerFirstOrder(Isa isa, double* row, const CorrRows& corr, const BatchRows& batch,
                     SingleRows& scratch, int i, int from, int to, int skip, double threshold,
                     std::vector<int>& open);

// The offers that the pair (i, j), i < j, whose stored value is v, takes for
// the first controlling variables c of the batch other than i and j, in
// ascending c: its first-order coefficient given c, then, while it is not
// pruned (at threshold), its second-order coefficients given (c, w) for each
// w > c other than i and j, in ascending w, with the pruning test before each.
// corr is the correlation matrix (V x V). Returns the new stored value: the
// bits of the literal offers, every first-order coefficient formed as
// partialRow forms it. At isa's widths 4 and 8 a single-precision test of 8 or
// 16 lanes a vector comes before the one in double; every isa gives the same
// result.
double offerSecondOrder(Isa isa, double v, const CorrRows& corr, const BatchRows& batch,
                        SingleRows& scratch, int i, int j, double threshold);

// Fills Fi[from..to) with the coefficients of i with each variable given c,
// from the symmetric X of the level below, with vectors of isa's width: Fi[j]
// has the bits of the literal coefficient of the pair {i, j} (products
// commute). Cells i and c are set to 0.
void partialRow(Isa isa, double* Fi, const Matrix& X, int i, int c, int from, int to);

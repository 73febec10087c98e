// The first-order sweep's kernel: a run of offers to one pair over the lanes
// of two panel rows (one lane per controlling variable of a pass).
#pragma once

#include "isa.h"

#include <cstdint>

// A pair's two panel rows in 16-bit fixed point, as fixedPanelRow fills them
// (readable up to n rounded up to 64, at a and at a + rest): the lanes of i
// from a, those of j from b; a null when there are none, or when both rows
// hold a magnitude above 1.
struct FixedRows {
    const std::int16_t* a = nullptr;
    const std::int16_t* b = nullptr;
    int rest = 0;
};

// The largest magnitude of each stretch of 64 lanes of a pair's two panel
// rows, as stretchPeaks fills them (a lane from a, j's from b); a null when
// there are none.
struct Peaks {
    const double* a = nullptr;
    const double* b = nullptr;
};

// Offers to the pair whose stored value is v and whose coefficient at the
// level below is x the coefficients given the controlling variables of the
// lanes [0, n) of A and B (the rows of i and j at the level below, one lane
// per controlling variable, readable up to n rounded up to 8), in ascending
// lane order, with the pruning test before each; the lanes skip1 and skip2
// (those of i and j, or outside [0, n)) are passed over. Returns the new
// stored value. Whole blocks of lanes whose coefficients are all sure to be
// larger in magnitude than v are passed over without a division or a square
// root, tested with vectors of isa's width; where isa has the fixed-point
// tests, fq (when both rows are there) are tested first. Stretches whose
// peaks (when there are) show that none of their coefficients can replace v
// are not tested at all. Every isa gives the same result.
double offerPanel(Isa isa, double v, double x, const double* A, const double* B,
                  const FixedRows& fq, const Peaks& peaks, int n, int skip1, int skip2,
                  double threshold);

// Fills peaks[k] with the largest magnitude of the lanes [64 k, 64 k + 64) of
// row, for the stretches k that lanes [0, n) reach, lane skip passed over;
// infinity where a lane is not a number.
void stretchPeaks(const double* row, int n, int skip, double* peaks);

// Fills out[0, n) with the lanes a of row in units of 2^-15 and out[rest,
// rest + n) with their sqrt(1 - a^2), both 0 where |a| is above 1 or not a
// number; returns whether a lane's magnitude is above 1.
bool fixedPanelRow(Isa isa, const double* row, int n, std::int16_t* out, int rest);

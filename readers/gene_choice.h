// The genes a run keeps from a file: those asked for by name (all when no
// name is given), then of those the most variable; selected genes keep the
// file's order. The variance that ranks them is formed in one fixed order
// whatever the layout of the values.
#pragma once

#include "core.h"
#include "sparse.h"

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

// The sums of one gene's variance. The values that are not zero (a stored
// -0 counts as one) are taken in cell order: their sum gives the mean, then
// their squared deviations are summed and the zeros' share, each (0 - mean)^2,
// added at once, so a sparse gene and its dense row give the same bits.
struct VarianceSums {
    double sum = 0;
    double squares = 0;
    long stored = 0;  // values taken that are not zero
};

inline void addValue(VarianceSums& v, double x)
{
    v.sum += x;
    ++v.stored;
}

inline void addSquare(VarianceSums& v, double x, double mean)
{
    const double d = x - mean;
    v.squares += d * d;
}

inline double meanOf(const VarianceSums& v, long cells)
{
    return v.sum / static_cast<double>(cells);
}

// The sample variance (n - 1) over `cells` cells, 0 for fewer than two.
inline double varianceOf(const VarianceSums& v, double mean, long cells)
{
    if (cells < 2) return 0;
    const double zeros = static_cast<double>(cells - v.stored);
    return (v.squares + zeros * (mean * mean)) / static_cast<double>(cells - 1);
}

// The variance of each row of a dense gene-major block (genes x samples).
std::vector<double> rowVariances(const double* values, long genes, long samples);

struct GeneChoice {
    std::vector<long> genes;  // the genes kept, in file order
    long candidates = 0;      // genes there were to choose from
    double varianceCut = std::numeric_limits<double>::quiet_NaN();  // the least variance kept
    std::string text;  // how they were chosen, for the user ("the 2000 most variable of ...")
};

// Chooses among the genes of `names` that are not `dropped` (dropped[g] != 0;
// empty drops none): those named in `wanted` (every one when empty; each
// name picks every gene of that name), then, when top > 0, the top genes of
// largest variance (variances() gives one per gene), ties going to the name
// that sorts first. Throws assocnet::Error, with `where` first ("counts.h5ad: "),
// when a wanted name is not among the genes.
GeneChoice chooseGenes(const Names& names, const std::vector<char>& dropped,
                       const std::vector<std::string>& wanted, long top,
                       const std::function<std::vector<double>()>& variances,
                       const std::string& where);

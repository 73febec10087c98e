// A genes x cells matrix of which only the values other than zero are stored,
// as single-cell files hold their mostly zero counts: compressed by cell or
// by gene, as the file was. The gene variances and the dense rows of the
// chosen genes come from the stored values alone, so the whole matrix is
// never made dense.
//
//   StoredValues    floats while every value is exactly a float, else doubles
//   SparseMatrix    the compressed matrix
//   SparseTable     the matrix with the names of its genes and cells
//   settle          checks a matrix read from a file and sorts each gene's
//                   (cell's) indices
//   findMissing     the cells that are not numbers, and the first infinite one
//   geneVariances   the variance of every gene, as the choice of genes ranks it
//   denseRows       the chosen genes over the kept cells, one gene after another
#pragma once

#include "core.h"

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

// A +0, the value a sparse matrix leaves out (a -0 is stored, keeping its sign).
inline bool isZero(double x) { return x == 0 && !std::signbit(x); }

// The stored values of a matrix. Counts and float32 files keep four bytes a
// value; the first value that a float does not hold exactly turns the store
// into doubles.
class StoredValues {
public:
    void reserve(size_t n);
    void push(double x);
    double operator[](size_t k) const { return wide_ ? doubles_[k] : floats_[k]; }
    // Sets value k to x, a value that the store held already.
    void set(size_t k, double x);
    size_t size() const { return wide_ ? doubles_.size() : floats_.size(); }
    bool wide() const { return wide_; }

private:
    bool wide_ = false;
    std::vector<float> floats_;
    std::vector<double> doubles_;
};

struct SparseMatrix {
    long genes = 0, cells = 0;
    bool byGene = false;  // each gene's values together (indices are cells), else each cell's
    std::vector<int64_t>
        starts;  // where each gene's (cell's) values start, then their end: majors() + 1
    std::vector<int32_t> indices;  // the cell (gene) of each stored value
    StoredValues values;

    long majors() const { return byGene ? genes : cells; }
    long minors() const { return byGene ? cells : genes; }
};

struct SparseTable {
    SparseMatrix matrix;
    Names genes, cells;  // one name each, in file order
};

// Checks that t.matrix is whole (starts rising from 0 to the number of
// values, every index within its axis, no gene and cell stored twice, as
// many names as genes and cells) and sorts the indices of each gene (cell)
// that the file left unsorted. "" or the fault, naming genes and cells.
std::string settle(SparseTable& t);

// The values that are not numbers: how many, the genes and cells holding
// one, and the first (lowest gene, then cell) of them; and the first value
// that is infinite (gene -1 when none).
struct MissingCells {
    long long count = 0;
    std::vector<char> genes, cells;  // 1 where a gene (cell) holds one
    long firstGene = -1, firstCell = -1;
    long infiniteGene = -1, infiniteCell = -1;
};
MissingCells findMissing(const SparseMatrix& m);

// The variance of every gene over the cells not left out (cellOut[c] != 0
// leaves cell c out; empty leaves none out), in the fixed order of
// geneVariance (gene_choice.h): the same bits from either compression and
// from the dense rows of the same values.
std::vector<double> geneVariances(const SparseMatrix& m, const std::vector<char>& cellOut);

// The rows of the given genes (rising indices) over the given cells (rising
// indices), gene after gene, as doubles.
std::vector<double> denseRows(const SparseMatrix& m, const std::vector<long>& genes,
                              const std::vector<long>& cells);

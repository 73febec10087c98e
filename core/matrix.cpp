// The matrix store: one block per matrix. Blocks of 2 MiB or more are
// aligned to 2 MiB and advised for huge pages; nothing is zero-filled unless
// a fill value is given.
#include "matrix.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <sys/mman.h>

namespace {

constexpr size_t kHuge = size_t{1} << 21;
constexpr size_t kAdvised = size_t{1} << 26;  // 64 MiB

size_t roundedBytes(size_t bytes)
{
    return bytes >= kHuge ? (bytes + kHuge - 1) / kHuge * kHuge : (bytes + 63) / 64 * 64;
}

double* allocateCells(long rows, long cols)
{
    if (rows < 0 || cols < 0) throw std::bad_alloc();
    const size_t n = static_cast<size_t>(rows) * static_cast<size_t>(cols);
    if (n == 0) return nullptr;
    if (n > SIZE_MAX / sizeof(double) / 2) throw std::bad_alloc();
    const size_t bytes = roundedBytes(n * sizeof(double));
    const size_t align = bytes >= kHuge ? kHuge : 64;
    void* p = std::aligned_alloc(align, bytes);
    if (!p) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    // Small blocks are touched quickly either way; finding huge pages for
    // them can cost more than it saves.
    if (bytes >= kAdvised) ::madvise(p, bytes, MADV_HUGEPAGE);
#endif
    return static_cast<double*>(p);
}

}  // namespace

double matrixBytes(double rows, double cols)
{
    const double bytes = rows * cols * sizeof(double);
    return bytes >= kHuge ? std::ceil(bytes / kHuge) * kHuge : bytes;
}

Matrix::Matrix(long rows, long cols)
    : cells(allocateCells(rows, cols)), nRows(rows), nCols(cols)
{
}

Matrix::Matrix(long rows, long cols, double fill) : Matrix(rows, cols)
{
    std::fill(cells, cells + rows * cols, fill);
}

Matrix::Matrix(std::initializer_list<std::initializer_list<double>> rows)
    : Matrix(static_cast<long>(rows.size()), rows.size() ? static_cast<long>(rows.begin()->size()) : 0)
{
    long i = 0;
    for (const auto& row : rows) {
        if (static_cast<long>(row.size()) != nCols) {
            std::free(cells);
            throw std::length_error("Matrix: rows of different lengths");
        }
        std::copy(row.begin(), row.end(), (*this)[i++]);
    }
}

Matrix::Matrix(const Matrix& other) : Matrix(other.nRows, other.nCols)
{
    if (cells) std::memcpy(cells, other.cells, sizeof(double) * nRows * nCols);
}

Matrix::Matrix(Matrix&& other) noexcept
    : cells(other.cells), nRows(other.nRows), nCols(other.nCols)
{
    other.cells = nullptr;
    other.nRows = other.nCols = 0;
}

Matrix& Matrix::operator=(const Matrix& other)
{
    if (this != &other) *this = Matrix(other);
    return *this;
}

Matrix& Matrix::operator=(Matrix&& other) noexcept
{
    std::swap(cells, other.cells);
    std::swap(nRows, other.nRows);
    std::swap(nCols, other.nCols);
    return *this;
}

Matrix::~Matrix() { std::free(cells); }

bool Matrix::operator==(const Matrix& other) const
{
    return nRows == other.nRows && nCols == other.nCols &&
           std::equal(cells, cells + nRows * nCols, other.cells);
}

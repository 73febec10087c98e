// The matrix store: rows x cols doubles in one contiguous block, row after
// row, indexed m[row][column]. Large blocks start on a 2 MiB boundary with
// huge pages advised, so the first touch of the memory costs one fault per
// 2 MiB instead of one per 4 KiB.
//
//   Matrix(rows, cols)        a block whose cells are not set (every cell must
//                             be written before it is read)
//   Matrix(rows, cols, fill)  every cell set to fill
//   Matrix{{...}, {...}}      rows given in full (equal lengths)
//   m[i]                      pointer to row i; m[i][j] the cell
//   rows(), cols(), data()    the shape and the block
//   a == b                    same shape and equal cells
#pragma once

#include <cstddef>
#include <initializer_list>

struct Matrix {
    Matrix() = default;
    Matrix(long rows, long cols);
    Matrix(long rows, long cols, double fill);
    Matrix(std::initializer_list<std::initializer_list<double>> rows);
    Matrix(const Matrix& other);
    Matrix(Matrix&& other) noexcept;
    Matrix& operator=(const Matrix& other);
    Matrix& operator=(Matrix&& other) noexcept;
    ~Matrix();

    double* operator[](long i) { return cells + i * nCols; }
    const double* operator[](long i) const { return cells + i * nCols; }
    long rows() const { return nRows; }
    long cols() const { return nCols; }
    double* data() { return cells; }
    const double* data() const { return cells; }
    bool operator==(const Matrix& other) const;

private:
    double* cells = nullptr;
    long nRows = 0, nCols = 0;
};

// Bytes a store of rows x cols takes, rounded as it is allocated.
double matrixBytes(double rows, double cols);

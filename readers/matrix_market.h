// Matrix Market coordinate files, as 10x Genomics writes its counts
// (matrix.mtx): a banner, comment lines, a size line (rows, columns,
// entries), then one line per stored value: its row, its column (both from
// 1) and, but for pattern files, its value. Rows are genes, columns cells.
#pragma once

#include "sparse.h"

#include <functional>
#include <string>

// Fills buffer with up to size bytes of the file; returns how many (0 at its
// end), or -1 after setting why.
using ReadBytes = std::function<long(char* buffer, size_t size, std::string& why)>;
// Told the size line's counts before anything is stored: "" to go on, or
// why the file cannot be used.
using CheckSize = std::function<std::string(long long rows, long long columns, long long entries)>;

// Reads the whole file into m (genes x cells, compressed by cell; each
// cell's genes in file order). "" or one line: "line L: cause", or the cause
// alone when it concerns the whole file (a short file, a read that failed).
std::string readMatrixMarket(const ReadBytes& read, const CheckSize& check, SparseMatrix& m);

// Expression files told apart by their content, whatever their names: HDF5
// files (h5ad, 10x h5 or loom, by what they hold), 10x Matrix Market
// folders and matrix files (plain or gzip-compressed), else text tables; and
// the genes that a read keeps.
#pragma once

#include "assocnet/assocnet.h"

#include <string>

enum class FileKind { text, hdf5, matrixMarket, folder };

// The kind of the file at path. Standard input ("-"), and what is not a
// regular file or folder or cannot be opened, is text, whose reader says why.
FileKind fileKind(const std::string& path);

// Reads a single-cell file (any kind but text) into the table of the genes
// that options choose, densifying those genes alone; applies the
// missing-value policy and refuses infinite values.
assocnet::Table readCellFile(const std::string& path, FileKind kind,
                             const assocnet::ReadOptions& options);

// For a table read from text: refuses the options that only single-cell
// files take and keeps the genes that options choose.
void chooseTableGenes(assocnet::Table& table, const assocnet::ReadOptions& options);

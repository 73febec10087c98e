// The readers of single-cell files, each into a sparse table of genes x
// cells with their names:
//
//   readH5ad        AnnData .h5ad: X or a layer, dense or CSR/CSC, genes from var
//   readLoom        loom: matrix or a layer (genes x cells), row_attrs/Gene, col_attrs/CellID
//   readTenxH5      10x Genomics .h5: matrix/data, indices, indptr, shape, features
//   readTenxFolder  10x Genomics Matrix Market: a folder, or its matrix file with
//                   the features (or genes) and barcodes files beside it
//
// Every failure throws assocnet::Error naming the file and what is wrong.
#pragma once

#include "assocnet/assocnet.h"
#include "hdf5_file.h"
#include "sparse.h"

#include <string>

SparseTable readH5ad(const Hdf5File& f, const assocnet::ReadOptions& options);
SparseTable readLoom(const Hdf5File& f, const assocnet::ReadOptions& options);
SparseTable readTenxH5(const Hdf5File& f, const assocnet::ReadOptions& options);
// path is a folder (folder) or a matrix file; shown names it in messages.
SparseTable readTenxFolder(const std::string& path, bool folder, const std::string& shown,
                           const assocnet::ReadOptions& options);

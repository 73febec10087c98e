// AnnData .h5ad files: the matrix X (or layers/NAME), cells x genes, stored
// dense or as a CSR or CSC group; the gene names from var, the cell names
// from obs. Read in the encoding of AnnData 0.8 and later (encoding-type
// attributes, data frames as groups whose _index attribute names the index
// column) and in the older ones (sparse groups marked by h5sparse_format,
// data frames without attributes or as one compound dataset).
#include "cell_files.h"

#include <algorithm>
#include <climits>

namespace {

using Kind = Hdf5File::Kind;

std::string joinedNames(const std::vector<std::string>& names)
{
    std::string s;
    for (const std::string& n : names) s += (s.empty() ? "" : ", ") + n;
    return s.empty() ? "none" : s;
}

// A column of strings: a dataset, or a categorical group (categories and codes).
Names stringColumn(const Hdf5File& f, const std::string& path)
{
    if (f.kind(path) == Kind::dataset) return f.dataset(path).readText();
    const Names categories = f.dataset(path + "/categories").readText();
    const Hdf5Dataset codes = f.dataset(path + "/codes");
    const std::vector<long long> d = codes.dims();
    if (d.size() != 1 || codes.holds() != Hdf5Holds::integers)
        f.fail(codes.path(), "does not hold codes");
    std::vector<long long> code(static_cast<size_t>(d[0]));
    codes.readIntegers(0, d[0], code.data());
    Names names;
    for (long long c : code) {
        if (c >= static_cast<long long>(categories.size()))
            f.fail(codes.path(), "holds a code without a category");
        names.push_back(c < 0 ? "" : categories[c]);
    }
    return names;
}

// The index of the data frame `frame` (obs, var), or its column `column`.
Names frameColumn(const Hdf5File& f, const std::string& frame, const std::string& column,
                  const char* names)
{
    const Kind kind = f.kind(frame);
    if (kind == Kind::none) f.fail(frame, std::string("is missing; it names the ") + names);
    if (kind == Kind::dataset) {
        // One compound dataset: the index is its field index.
        const Hdf5Dataset d = f.dataset(frame);
        const std::vector<std::string> fields = d.fields();
        const std::string wanted =
            !column.empty()                                                    ? column
            : std::find(fields.begin(), fields.end(), "index") != fields.end() ? "index"
                                                                               : "_index";
        if (std::find(fields.begin(), fields.end(), wanted) == fields.end())
            f.fail(frame, "has no field " + wanted + "; its fields are " + joinedNames(fields));
        return d.readText(wanted);
    }
    std::string wanted = column;
    if (wanted.empty())
        wanted = f.hasAttribute(frame, "_index")           ? f.textAttribute(frame, "_index")
                 : f.kind(frame + "/_index") != Kind::none ? "_index"
                                                           : "index";
    if (f.kind(frame + "/" + wanted) == Kind::none) {
        std::vector<std::string> columns = f.members(frame);
        f.fail(frame, "has no column " + wanted + "; its columns are " + joinedNames(columns));
    }
    return stringColumn(f, frame + "/" + wanted);
}

}  // namespace

SparseTable readH5ad(const Hdf5File& f, const assocnet::ReadOptions& o)
{
    const std::string matrix = matrixPath(f, "X", o.layer);
    SparseTable t;
    t.genes = frameColumn(f, "var", o.geneIds ? "gene_ids" : "", "genes");
    t.cells = frameColumn(f, "obs", "", "cells");
    if (f.kind(matrix) == Kind::dataset) {
        t.matrix = readDense(f, matrix, false);
    } else {
        // A sparse group: its encoding and shape (cells x genes) from its
        // attributes, as either encoding names them.
        std::string type;
        if (f.hasAttribute(matrix, "encoding-type"))
            type = f.textAttribute(matrix, "encoding-type");
        else if (f.hasAttribute(matrix, "h5sparse_format"))
            type = f.textAttribute(matrix, "h5sparse_format") + "_matrix";
        if (type != "csr_matrix" && type != "csc_matrix")
            f.fail(matrix, type.empty()
                               ? "is a group without the encoding of a sparse matrix"
                               : "is a group of encoding " + type +
                                     "; expected a dense matrix, csr_matrix or csc_matrix");
        std::vector<long long> shape{static_cast<long long>(t.cells.size()),
                                     static_cast<long long>(t.genes.size())};
        if (f.hasAttribute(matrix, "shape"))
            shape = f.integerAttribute(matrix, "shape");
        else if (f.hasAttribute(matrix, "h5sparse_shape"))
            shape = f.integerAttribute(matrix, "h5sparse_shape");
        if (shape.size() != 2 || shape[0] < 0 || shape[1] < 0 || shape[0] > INT32_MAX ||
            shape[1] > INT32_MAX)
            f.fail(matrix, "its shape is not two counts (cells and genes)");
        t.matrix = readCompressed(f, matrix, static_cast<long>(shape[1]),
                                  static_cast<long>(shape[0]), type == "csc_matrix");
    }
    if (const std::string why = settle(t); !why.empty()) f.fail(matrix, why);
    return t;
}

// loom files: the dense matrix (or layers/NAME) of genes x cells, the gene
// names in row_attrs/Gene (ids in row_attrs/Accession), the cell names in
// col_attrs/CellID (numbered from 1 when the file has none).
#include "cell_files.h"

SparseTable readLoom(const Hdf5File& f, const assocnet::ReadOptions& o)
{
    const std::string matrix = matrixPath(f, "matrix", o.layer);
    const std::string genes = o.geneIds ? "row_attrs/Accession" : "row_attrs/Gene";
    if (f.kind(genes) == Hdf5File::Kind::none) {
        std::string held;
        if (f.kind("row_attrs") == Hdf5File::Kind::group)
            for (const std::string& name : f.members("row_attrs"))
                held += (held.empty() ? "" : ", ") + name;
        f.fail(genes, "is missing; it names the genes (row_attrs holds " +
                          (held.empty() ? "nothing" : held) + ")");
    }
    SparseTable t;
    t.genes = f.dataset(genes).readText();
    t.matrix = readDense(f, matrix, true);
    if (f.kind("col_attrs/CellID") != Hdf5File::Kind::none)
        t.cells = f.dataset("col_attrs/CellID").readText();
    else
        for (long c = 0; c < t.matrix.cells; ++c) t.cells.push_back(std::to_string(c + 1));
    if (const std::string why = settle(t); !why.empty()) f.fail(matrix, why);
    return t;
}

// The kind of an expression file from its first bytes (or its being a
// folder), the single-cell readers chosen by it, and the genes kept: a
// single-cell file's missing values found, its genes chosen and only those
// made dense; a text table's rows cut to the genes chosen.
#include "expression_file.h"

#include "cell_files.h"
#include "gene_choice.h"
#include "genes.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace {

using assocnet::Error;

// The signature of an HDF5 file, at offset 0 or at 512, 1024, 2048, ...
// (after a user block).
constexpr char kHdf5Signature[] = "\x89HDF\r\n\x1a\n";
constexpr char kMatrixMarket[] = "%%matrixmarket";

bool hdf5At(int fd, off_t size)
{
    for (off_t at = 0; at + 8 <= size; at = at == 0 ? 512 : at * 2) {
        char head[8];
        if (::pread(fd, head, sizeof head, at) != static_cast<ssize_t>(sizeof head)) return false;
        if (std::memcmp(head, kHdf5Signature, sizeof head) == 0) return true;
    }
    return false;
}

// True when the file, inflated if it is gzip, starts with the Matrix Market banner.
bool matrixMarketAt(const std::string& path)
{
    gzFile z = gzopen(path.c_str(), "rb");
    if (z == nullptr) return false;
    char head[sizeof kMatrixMarket - 1];
    const int n = gzread(z, head, sizeof head);
    gzclose(z);
    if (n != static_cast<int>(sizeof head)) return false;
    for (size_t k = 0; k < sizeof head; ++k)
        if (std::tolower(static_cast<unsigned char>(head[k])) != kMatrixMarket[k]) return false;
    return true;
}

SparseTable readSparse(const std::string& path, FileKind kind, const assocnet::ReadOptions& o)
{
    if (kind != FileKind::hdf5) return readTenxFolder(path, kind == FileKind::folder, path, o);
    const Hdf5File f(path, path);
    using Kind = Hdf5File::Kind;
    if (f.kind("matrix") == Kind::group) return readTenxH5(f, o);
    if (f.kind("matrix") == Kind::dataset && f.kind("row_attrs") == Kind::group)
        return readLoom(f, o);
    if (f.kind("X") != Kind::none || (f.kind("var") != Kind::none && f.kind("obs") != Kind::none))
        return readH5ad(f, o);
    const Names top = f.members("/");
    throw Error(path + ": an HDF5 file that is neither h5ad, 10x nor loom: " +
                (top.empty() ? std::string("it holds nothing")
                             : "at its top level it holds " + someNames(top)));
}

std::string quoted(const std::string& name) { return "\"" + name + "\""; }

}  // namespace

FileKind fileKind(const std::string& path)
{
    struct stat st {};
    if (path == "-" || ::stat(path.c_str(), &st) != 0) return FileKind::text;
    if (S_ISDIR(st.st_mode)) return FileKind::folder;
    if (!S_ISREG(st.st_mode)) return FileKind::text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FileKind::text;
    const bool hdf5 = hdf5At(fd, st.st_size);
    ::close(fd);
    if (hdf5) return FileKind::hdf5;
    return matrixMarketAt(path) ? FileKind::matrixMarket : FileKind::text;
}

assocnet::Table readCellFile(const std::string& path, FileKind kind, const assocnet::ReadOptions& o)
{
    if (o.samplesInRows)
        throw Error(
            path +
            ": a single-cell file says how its matrix lies; samples in rows is for text tables");
    try {
        const SparseTable t = readSparse(path, kind, o);
        const SparseMatrix& m = t.matrix;
        const MissingCells missing = findMissing(m);
        if (missing.infiniteGene >= 0)
            throw Error(path + ": gene " + quoted(t.genes[missing.infiniteGene]) + ", cell " +
                        quoted(t.cells[missing.infiniteCell]) + ": the value is infinite");
        assocnet::Table out;
        out.source = path;
        std::vector<char> droppedGenes, cellOut;
        if (missing.count > 0) {
            if (o.missing == assocnet::Missing::refuse)
                throw Error(path + ": " + plural(missing.count, "missing value", "missing values") +
                            " (not a number); the first is gene " +
                            quoted(t.genes[missing.firstGene]) + ", cell " +
                            quoted(t.cells[missing.firstCell]) +
                            "; use --missing drop-genes or --missing drop-samples");
            const bool byGene = o.missing == assocnet::Missing::dropGenes;
            const std::vector<char>& holding = byGene ? missing.genes : missing.cells;
            const Names& all = byGene ? t.genes : t.cells;
            (byGene ? droppedGenes : cellOut) = holding;
            Names names;
            for (size_t k = 0; k < holding.size(); ++k)
                if (holding[k]) names.push_back(all[k]);
            out.dropped.push_back(
                plural(names.size(), byGene ? "gene" : "sample", byGene ? "genes" : "samples") +
                " with missing values: " + someNames(names));
        }
        const GeneChoice choice = chooseGenes(
            t.genes, droppedGenes, o.genes, o.topVariable,
            [&] { return geneVariances(m, cellOut); }, path + ": ");
        std::vector<long> cells;
        for (long c = 0; c < m.cells; ++c)
            if (cellOut.empty() || !cellOut[c]) cells.push_back(c);
        out.values = denseRows(m, choice.genes, cells);
        for (long g : choice.genes) out.genes.push_back(t.genes[g]);
        for (long c : cells) out.samples.push_back(t.cells[c]);
        out.chosen = choice.text;
        out.varianceCut = choice.varianceCut;
        return out;
    } catch (const std::bad_alloc&) {
        throw Error(path + ": too large to read into memory");
    } catch (const std::length_error&) {
        throw Error(path + ": too large to read into memory");
    }
}

void chooseTableGenes(assocnet::Table& t, const assocnet::ReadOptions& o)
{
    if (!o.layer.empty()) throw Error(t.source + ": a text table has no layers to choose from");
    if (o.geneIds)
        throw Error(t.source +
                    ": a text table has one name per gene; gene ids are for single-cell files");
    if (o.genes.empty() && o.topVariable <= 0) return;
    const long G = static_cast<long>(t.genes.size()), S = static_cast<long>(t.samples.size());
    const GeneChoice choice = chooseGenes(
        t.genes, {}, o.genes, o.topVariable, [&] { return rowVariances(t.values.data(), G, S); },
        t.source + ": ");
    long row = 0;
    for (long g : choice.genes) {
        if (g != row) {
            std::copy_n(t.values.data() + g * S, S, t.values.data() + row * S);
            t.genes[row] = std::move(t.genes[g]);
        }
        ++row;
    }
    t.genes.resize(row);
    t.values.resize(static_cast<size_t>(row * S));
    t.values.shrink_to_fit();
    t.chosen = choice.text;
    t.varianceCut = choice.varianceCut;
}

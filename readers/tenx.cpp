// The files of 10x Genomics: a Matrix Market folder (matrix.mtx, features.tsv
// or the older genes.tsv, barcodes.tsv, each plain or gzip-compressed, their
// names perhaps behind a common prefix), and the HDF5 file of the same counts.
// Genes go by their symbol (the second column, features/name) or, asked, by
// their id (the first, features/id).
#include "cell_files.h"

#include "matrix_market.h"
#include "table_bytes.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <zlib.h>

namespace {

using assocnet::Error;

const char* const kMatrixNames[] = {"matrix.mtx.gz", "matrix.mtx"};
const char* const kFeatureNames[] = {"features.tsv.gz", "features.tsv", "genes.tsv.gz",
                                     "genes.tsv"};
const char* const kBarcodeNames[] = {"barcodes.tsv.gz", "barcodes.tsv"};

bool isFile(const std::filesystem::path& p)
{
    std::error_code ec;
    return std::filesystem::is_regular_file(p, ec);
}

std::string joined(const std::filesystem::path& folder, const std::string& name)
{
    return folder.empty() ? name : (folder / name).string();
}

// The first of prefix + names that is a file in folder, or "".
template <size_t N>
std::string firstFile(const std::filesystem::path& folder, const std::string& prefix,
                      const char* const (&names)[N])
{
    for (const char* name : names)
        if (isFile(joined(folder, prefix + name))) return joined(folder, prefix + name);
    return "";
}

template <size_t N>
std::string listed(const std::string& prefix, const char* const (&names)[N])
{
    std::string s;
    for (size_t k = 0; k < N; ++k)
        s += (k == 0 ? "" : k + 1 == N ? " or " : ", ") + prefix + names[k];
    return s;
}

struct TenxFiles {
    std::string matrix, features, barcodes;
};

// The three files of a folder, or those beside a matrix file (with the
// prefix of its name: GSM123_matrix.mtx.gz goes with GSM123_features.tsv.gz).
TenxFiles findFiles(const std::string& path, bool folder, const std::string& shown)
{
    TenxFiles files;
    std::filesystem::path dir;
    std::string prefix;
    if (folder) {
        dir = path;
        files.matrix = firstFile(dir, "", kMatrixNames);
        if (files.matrix.empty()) {
            std::vector<std::string> found;
            std::error_code ec;
            for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
                const std::string name = e.path().filename().string();
                for (const char* suffix : kMatrixNames)
                    if (name.size() > std::strlen(suffix) &&
                        name.compare(name.size() - std::strlen(suffix), std::string::npos,
                                     suffix) == 0 &&
                        isFile(e.path()))
                        found.push_back(name);
            }
            if (found.empty())
                throw Error(shown +
                            ": the folder holds no 10x matrix (matrix.mtx or matrix.mtx.gz)");
            if (found.size() > 1)
                throw Error(shown + ": the folder holds several matrices (" + found[0] + ", " +
                            found[1] + "); name the one to read");
            files.matrix = joined(dir, found[0]);
            prefix = found[0].substr(0, found[0].rfind("matrix.mtx"));
        }
    } else {
        const std::filesystem::path p(path);
        dir = p.parent_path();
        const std::string name = p.filename().string();
        const size_t at = name.rfind("matrix.mtx");
        prefix = at == std::string::npos ? "" : name.substr(0, at);
        files.matrix = path;
    }
    files.features = firstFile(dir, prefix, kFeatureNames);
    files.barcodes = firstFile(dir, prefix, kBarcodeNames);
    const std::string where = dir.empty() ? "the current folder" : dir.string();
    if (files.features.empty())
        throw Error(shown + ": no " + listed(prefix, kFeatureNames) + " in " + where +
                    " to name its genes");
    if (files.barcodes.empty())
        throw Error(shown + ": no " + listed(prefix, kBarcodeNames) + " in " + where +
                    " to name its cells");
    return files;
}

// One field of each line of a tab-separated file (the last field when a
// line has fewer); a last empty line is no line.
Names column(const std::string& path, size_t field)
{
    std::string bytes;
    if (const std::string why = loadTable(path, bytes); !why.empty()) throw Error(why);
    Names names;
    for (size_t start = 0; start < bytes.size();) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        std::string_view line(bytes.data() + start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        for (size_t k = 0; k < field; ++k) {
            const size_t tab = line.find('\t');
            if (tab == std::string_view::npos) break;
            line.remove_prefix(tab + 1);
        }
        names.emplace_back(line.substr(0, line.find('\t')));
        start = end + 1;
    }
    return names;
}

std::string fileName(const std::string& path)
{
    return std::filesystem::path(path).filename().string();
}

}  // namespace

SparseTable readTenxFolder(const std::string& path, bool folder, const std::string& shown,
                           const assocnet::ReadOptions& o)
{
    if (!o.layer.empty()) throw Error(shown + ": a 10x matrix has no layers to choose from");
    const TenxFiles files = findFiles(path, folder, shown);
    SparseTable t;
    t.genes = column(files.features, o.geneIds ? 0 : 1);
    t.cells = column(files.barcodes, 0);

    const std::string matrixShown = folder ? files.matrix : shown;
    gzFile z = gzopen(files.matrix.c_str(), "rb");
    if (z == nullptr) throw Error(matrixShown + ": " + std::strerror(errno != 0 ? errno : ENOMEM));
    gzbuffer(z, 1 << 20);
    const ReadBytes read = [&](char* buffer, size_t size, std::string& why) -> long {
        const int n = gzread(z, buffer, static_cast<unsigned>(std::min<size_t>(size, INT_MAX)));
        int code = 0;
        const char* message = gzerror(z, &code);
        // A stream cut short gives what it holds, then its end with Z_BUF_ERROR.
        if (n > 0 || (n == 0 && code != Z_BUF_ERROR)) return n;
        why = code == Z_ERRNO       ? std::strerror(errno)
              : code == Z_BUF_ERROR ? "not a complete gzip stream"
                                    : "not a complete gzip stream (" + std::string(message) + ")";
        return -1;
    };
    const CheckSize check = [&](long long rows, long long columns, long long) -> std::string {
        if (rows != static_cast<long long>(t.genes.size()))
            return "the matrix has " + std::to_string(rows) + " rows (genes) but " +
                   fileName(files.features) + " lists " + std::to_string(t.genes.size());
        if (columns != static_cast<long long>(t.cells.size()))
            return "the matrix has " + std::to_string(columns) + " columns (cells) but " +
                   fileName(files.barcodes) + " lists " + std::to_string(t.cells.size());
        return "";
    };
    const std::string problem = readMatrixMarket(read, check, t.matrix);
    gzclose(z);
    if (!problem.empty())
        throw Error(matrixShown + (problem.compare(0, 5, "line ") == 0 ? ", " : ": ") + problem);
    if (const std::string why = settle(t); !why.empty()) throw Error(matrixShown + ": " + why);
    return t;
}

SparseTable readTenxH5(const Hdf5File& f, const assocnet::ReadOptions& o)
{
    if (!o.layer.empty()) throw Error(f.shown() + ": a 10x matrix has no layers to choose from");
    const Hdf5Dataset shape = f.dataset("matrix/shape");
    if (shape.dims() != std::vector<long long>{2} || shape.holds() != Hdf5Holds::integers)
        f.fail(shape.path(), "does not hold the two counts of genes and cells");
    long long dims[2];
    shape.readIntegers(0, 2, dims);
    if (dims[0] < 0 || dims[1] < 0 || dims[0] > INT32_MAX || dims[1] > INT32_MAX)
        f.fail(shape.path(), "does not hold the two counts of genes and cells");
    SparseTable t;
    t.genes = f.dataset(o.geneIds ? "matrix/features/id" : "matrix/features/name").readText();
    t.cells = f.dataset("matrix/barcodes").readText();
    t.matrix =
        readCompressed(f, "matrix", static_cast<long>(dims[0]), static_cast<long>(dims[1]), false);
    if (const std::string why = settle(t); !why.empty()) f.fail("matrix", why);
    return t;
}

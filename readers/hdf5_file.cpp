// HDF5 files read through the C library: identifiers closed by their owners,
// objects found by path, attributes and datasets read with the library's
// conversions, and the matrices of single-cell files built from them.
#include "hdf5_file.h"

#include "assocnet/assocnet.h"

#include <hdf5.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <type_traits>

static_assert(std::is_same_v<hid_t, int64_t>, "Hdf5Id holds a hid_t");

namespace {

// Rows of a dense dataset read at once hold about this many values.
constexpr long long kBlockValues = 1 << 22;
// A dataset's chunk cache: enough for a band of chunks across a wide matrix.
constexpr size_t kChunkCache = size_t{64} << 20;

void closeId(hid_t id)
{
    switch (H5Iget_type(id)) {
    case H5I_FILE: H5Fclose(id); break;
    case H5I_GROUP: H5Gclose(id); break;
    case H5I_DATASET: H5Dclose(id); break;
    case H5I_ATTR: H5Aclose(id); break;
    case H5I_DATATYPE: H5Tclose(id); break;
    case H5I_DATASPACE: H5Sclose(id); break;
    case H5I_GENPROP_LST: H5Pclose(id); break;
    default: break;
    }
}

herr_t keepInnermost(unsigned n, const H5E_error2_t* e, void* out)
{
    if (n == 0 && e->desc) *static_cast<std::string*>(out) = e->desc;
    return 0;
}

// What the library said of the last failure, innermost first ("" when nothing failed).
std::string libraryReason()
{
    std::string reason;
    H5Ewalk2(H5E_DEFAULT, H5E_WALK_UPWARD, keepInnermost, &reason);
    return reason;
}

// A memory type for the strings of the file type t: pointers for strings of
// variable length, else t itself.
Hdf5Id memoryStrings(hid_t t)
{
    if (H5Tis_variable_str(t) <= 0) return Hdf5Id(H5Tcopy(t));
    Hdf5Id m(H5Tcopy(H5T_C_S1));
    H5Tset_size(m.get(), H5T_VARIABLE);
    H5Tset_cset(m.get(), H5Tget_cset(t));
    return m;
}

// The string at p of a buffer read with memoryStrings(t); frees the
// library's copy of a variable-length one.
std::string takeString(hid_t t, char* p)
{
    if (H5Tis_variable_str(t) > 0) {
        char* s = nullptr;
        std::memcpy(&s, p, sizeof s);
        std::string out = s ? s : "";
        H5free_memory(s);
        return out;
    }
    const size_t size = H5Tget_size(t);
    std::string out(p, strnlen(p, size));
    if (H5Tget_strpad(t) == H5T_STR_SPACEPAD)
        while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

}  // namespace

Hdf5Id& Hdf5Id::operator=(Hdf5Id&& other) noexcept
{
    if (this != &other) {
        if (id_ >= 0) closeId(id_);
        id_ = other.id_;
        other.id_ = -1;
    }
    return *this;
}

Hdf5Id::~Hdf5Id()
{
    if (id_ >= 0) closeId(id_);
}

// --- the file ------------------------------------------------------------------------

Hdf5File::Hdf5File(const std::string& path, const std::string& shown) : shown_(shown)
{
    // Failures become messages; the library prints nothing itself.
    static const bool quiet = H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr) >= 0;
    (void)quiet;
    const Hdf5Id access(H5Pcreate(H5P_FILE_ACCESS));
    H5Pset_fclose_degree(access.get(), H5F_CLOSE_STRONG);
    file_ = Hdf5Id(H5Fopen(path.c_str(), H5F_ACC_RDONLY, access.get()));
    if (file_.get() < 0) {
        const std::string reason = libraryReason();
        throw assocnet::Error(shown_ +
                              ": the HDF5 file cannot be opened; it is truncated or corrupt" +
                              (reason.empty() ? "" : " (HDF5: " + reason + ")"));
    }
}

void Hdf5File::fail(const std::string& object, const std::string& what) const
{
    const std::string reason = libraryReason();
    throw assocnet::Error(shown_ + ": " + object + ": " + what +
                          (reason.empty() ? "" : " (HDF5: " + reason + ")"));
}

Hdf5File::Kind Hdf5File::kind(const std::string& path) const
{
    for (size_t at = path.find('/');; at = path.find('/', at + 1)) {
        if (H5Lexists(file_.get(), path.substr(0, at).c_str(), H5P_DEFAULT) <= 0) return Kind::none;
        if (at == std::string::npos) break;
    }
    const Hdf5Id object(H5Oopen(file_.get(), path.c_str(), H5P_DEFAULT));
    if (object.get() < 0) return Kind::none;
    const H5I_type_t type = H5Iget_type(object.get());
    return type == H5I_GROUP ? Kind::group : type == H5I_DATASET ? Kind::dataset : Kind::other;
}

std::vector<std::string> Hdf5File::members(const std::string& group) const
{
    const Hdf5Id g(H5Gopen2(file_.get(), group.c_str(), H5P_DEFAULT));
    H5G_info_t info;
    if (g.get() < 0 || H5Gget_info(g.get(), &info) < 0) fail(group, "cannot be read as a group");
    std::vector<std::string> names;
    for (hsize_t k = 0; k < info.nlinks; ++k) {
        const ssize_t size = H5Lget_name_by_idx(g.get(), ".", H5_INDEX_NAME, H5_ITER_INC, k,
                                                nullptr, 0, H5P_DEFAULT);
        if (size < 0) fail(group, "its members cannot be read");
        std::string name(static_cast<size_t>(size) + 1, '\0');
        H5Lget_name_by_idx(g.get(), ".", H5_INDEX_NAME, H5_ITER_INC, k, name.data(), name.size(),
                           H5P_DEFAULT);
        name.resize(static_cast<size_t>(size));
        names.push_back(name);
    }
    return names;
}

Hdf5Dataset Hdf5File::dataset(const std::string& path) const
{
    const Hdf5Id access(H5Pcreate(H5P_DATASET_ACCESS));
    H5Pset_chunk_cache(access.get(), 12421, kChunkCache, 1.0);
    Hdf5Id d(H5Dopen2(file_.get(), path.c_str(), access.get()));
    if (d.get() < 0) fail(path, kind(path) == Kind::none ? "is missing" : "is not a dataset");
    return Hdf5Dataset(*this, path, std::move(d));
}

bool Hdf5File::hasAttribute(const std::string& object, const std::string& name) const
{
    return H5Aexists_by_name(file_.get(), object.c_str(), name.c_str(), H5P_DEFAULT) > 0;
}

std::string Hdf5File::textAttribute(const std::string& object, const std::string& name) const
{
    const Hdf5Id a(
        H5Aopen_by_name(file_.get(), object.c_str(), name.c_str(), H5P_DEFAULT, H5P_DEFAULT));
    if (a.get() < 0) fail(object, "its attribute " + name + " cannot be read");
    const Hdf5Id type(H5Aget_type(a.get())), space(H5Aget_space(a.get()));
    if (H5Tget_class(type.get()) != H5T_STRING || H5Sget_simple_extent_npoints(space.get()) != 1)
        fail(object, "its attribute " + name + " is not one string");
    const Hdf5Id memory = memoryStrings(type.get());
    std::vector<char> buffer(std::max(H5Tget_size(memory.get()), sizeof(char*)) + 1, '\0');
    if (H5Aread(a.get(), memory.get(), buffer.data()) < 0)
        fail(object, "its attribute " + name + " cannot be read");
    return takeString(memory.get(), buffer.data());
}

std::vector<long long> Hdf5File::integerAttribute(const std::string& object,
                                                  const std::string& name) const
{
    const Hdf5Id a(
        H5Aopen_by_name(file_.get(), object.c_str(), name.c_str(), H5P_DEFAULT, H5P_DEFAULT));
    if (a.get() < 0) fail(object, "its attribute " + name + " cannot be read");
    const Hdf5Id type(H5Aget_type(a.get())), space(H5Aget_space(a.get()));
    const hssize_t n = H5Sget_simple_extent_npoints(space.get());
    if (H5Tget_class(type.get()) != H5T_INTEGER || n < 0)
        fail(object, "its attribute " + name + " does not hold integers");
    std::vector<long long> values(static_cast<size_t>(n));
    if (n > 0 && H5Aread(a.get(), H5T_NATIVE_LLONG, values.data()) < 0)
        fail(object, "its attribute " + name + " cannot be read");
    return values;
}

// --- datasets ------------------------------------------------------------------------

Hdf5Dataset::Hdf5Dataset(const Hdf5File& file, std::string path, Hdf5Id id)
    : file_(&file), path_(std::move(path)), id_(std::move(id))
{
}

void Hdf5Dataset::fail(const std::string& what) const { file_->fail(path_, what); }

std::vector<long long> Hdf5Dataset::dims() const
{
    const Hdf5Id space(H5Dget_space(id_.get()));
    const int rank = H5Sget_simple_extent_ndims(space.get());
    if (rank < 0) fail("its shape cannot be read");
    std::vector<hsize_t> d(static_cast<size_t>(rank));
    H5Sget_simple_extent_dims(space.get(), d.data(), nullptr);
    return std::vector<long long>(d.begin(), d.end());
}

Hdf5Holds Hdf5Dataset::holds() const
{
    const Hdf5Id type(H5Dget_type(id_.get()));
    switch (H5Tget_class(type.get())) {
    case H5T_INTEGER: return Hdf5Holds::integers;
    case H5T_FLOAT: return Hdf5Holds::reals;
    case H5T_STRING: return Hdf5Holds::text;
    case H5T_COMPOUND: return Hdf5Holds::compound;
    default: return Hdf5Holds::other;
    }
}

long long Hdf5Dataset::chunkRows() const
{
    const Hdf5Id plist(H5Dget_create_plist(id_.get()));
    if (H5Pget_layout(plist.get()) != H5D_CHUNKED) return 0;
    hsize_t chunk[H5S_MAX_RANK];
    return H5Pget_chunk(plist.get(), H5S_MAX_RANK, chunk) >= 1 ? static_cast<long long>(chunk[0])
                                                               : 0;
}

namespace {

// Reads elements (1-D) or rows (2-D) [first, first + count) of d as memory type t.
bool readSlab(hid_t d, hid_t t, long long first, long long count, void* out)
{
    if (count <= 0) return true;
    const Hdf5Id space(H5Dget_space(d));
    const int rank = H5Sget_simple_extent_ndims(space.get());
    if (rank != 1 && rank != 2) return false;
    hsize_t dims[2] = {0, 1};
    H5Sget_simple_extent_dims(space.get(), dims, nullptr);
    const hsize_t start[2] = {static_cast<hsize_t>(first), 0};
    const hsize_t size[2] = {static_cast<hsize_t>(count), rank == 2 ? dims[1] : 1};
    if (H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, start, nullptr, size, nullptr) < 0)
        return false;
    const hsize_t n = size[0] * size[1];
    const Hdf5Id memory(H5Screate_simple(1, &n, nullptr));
    return H5Dread(d, t, memory.get(), space.get(), H5P_DEFAULT, out) >= 0;
}

}  // namespace

void Hdf5Dataset::readNumbers(long long first, long long count, double* out) const
{
    if (!readSlab(id_.get(), H5T_NATIVE_DOUBLE, first, count, out))
        fail("cannot be read; the file is truncated or corrupt");
}

void Hdf5Dataset::readIntegers(long long first, long long count, long long* out) const
{
    if (!readSlab(id_.get(), H5T_NATIVE_LLONG, first, count, out))
        fail("cannot be read; the file is truncated or corrupt");
}

std::vector<std::string> Hdf5Dataset::readText(const std::string& field) const
{
    const Hdf5Id type(H5Dget_type(id_.get()));
    Hdf5Id strings;
    if (field.empty()) {
        if (H5Tget_class(type.get()) != H5T_STRING) fail("does not hold names (strings)");
        strings = Hdf5Id(H5Tcopy(type.get()));
    } else {
        const int k = H5Tget_member_index(type.get(), field.c_str());
        if (k < 0) fail("has no field " + field);
        strings = Hdf5Id(H5Tget_member_type(type.get(), static_cast<unsigned>(k)));
        if (H5Tget_class(strings.get()) != H5T_STRING)
            fail("its field " + field + " does not hold names (strings)");
    }
    const std::vector<long long> d = dims();
    if (d.size() != 1) fail("is not a list of names");
    const Hdf5Id memory = memoryStrings(strings.get());
    const size_t size = H5Tget_size(memory.get());
    Hdf5Id element;
    if (field.empty()) {
        element = Hdf5Id(H5Tcopy(memory.get()));
    } else {
        element = Hdf5Id(H5Tcreate(H5T_COMPOUND, size));
        H5Tinsert(element.get(), field.c_str(), 0, memory.get());
    }
    std::vector<char> buffer(static_cast<size_t>(d[0]) * size + 1, '\0');
    if (d[0] > 0 &&
        H5Dread(id_.get(), element.get(), H5S_ALL, H5S_ALL, H5P_DEFAULT, buffer.data()) < 0)
        fail("cannot be read; the file is truncated or corrupt");
    std::vector<std::string> names;
    names.reserve(static_cast<size_t>(d[0]));
    for (long long k = 0; k < d[0]; ++k)
        names.push_back(takeString(memory.get(), buffer.data() + k * size));
    return names;
}

std::vector<std::string> Hdf5Dataset::fields() const
{
    const Hdf5Id type(H5Dget_type(id_.get()));
    std::vector<std::string> names;
    if (H5Tget_class(type.get()) != H5T_COMPOUND) return names;
    const int n = H5Tget_nmembers(type.get());
    for (int k = 0; k < n; ++k) {
        char* name = H5Tget_member_name(type.get(), static_cast<unsigned>(k));
        names.emplace_back(name ? name : "");
        H5free_memory(name);
    }
    return names;
}

// --- the matrices --------------------------------------------------------------------

std::string matrixPath(const Hdf5File& f, const std::string& main, const std::string& layer)
{
    const std::string path = layer.empty() ? main : "layers/" + layer;
    if (f.kind(path) != Hdf5File::Kind::none) return path;
    const std::vector<std::string> layers = f.kind("layers") == Hdf5File::Kind::group
                                                ? f.members("layers")
                                                : std::vector<std::string>{};
    std::string names;
    for (const std::string& name : layers) names += (names.empty() ? "" : ", ") + name;
    const std::string which = layers.empty() ? "it has no layers" : "its layers are " + names;
    if (layer.empty())
        throw assocnet::Error(f.shown() + ": the file holds no " + main + " matrix; " + which);
    throw assocnet::Error(f.shown() + ": no layer " + layer + "; " + which);
}

SparseMatrix readCompressed(const Hdf5File& f, const std::string& group, long genes, long cells,
                            bool byGene)
{
    const Hdf5Dataset data = f.dataset(group + "/data"), indices = f.dataset(group + "/indices"),
                      indptr = f.dataset(group + "/indptr");
    for (const Hdf5Dataset* d : {&data, &indices, &indptr})
        if (d->dims().size() != 1)
            f.fail(d->path(),
                   "is not a list (it has " + std::to_string(d->dims().size()) + " dimensions)");
    if (data.holds() != Hdf5Holds::integers && data.holds() != Hdf5Holds::reals)
        f.fail(data.path(), "does not hold numbers");
    if (indices.holds() != Hdf5Holds::integers) f.fail(indices.path(), "does not hold integers");
    if (indptr.holds() != Hdf5Holds::integers) f.fail(indptr.path(), "does not hold integers");
    const long long stored = data.dims()[0];
    if (indices.dims()[0] != stored)
        f.fail(group, std::to_string(stored) + " values (data) but " +
                          std::to_string(indices.dims()[0]) + " indices");
    SparseMatrix m;
    m.genes = genes;
    m.cells = cells;
    m.byGene = byGene;
    const long majors = m.majors(), minors = m.minors();
    if (indptr.dims()[0] != majors + 1)
        f.fail(indptr.path(), "holds " + std::to_string(indptr.dims()[0]) + " offsets; " +
                                  std::to_string(majors + 1) + " were expected for " +
                                  std::to_string(majors) + (byGene ? " genes" : " cells"));
    m.starts.resize(static_cast<size_t>(majors) + 1);
    std::vector<long long> offsets(m.starts.size());
    indptr.readIntegers(0, majors + 1, offsets.data());
    std::copy(offsets.begin(), offsets.end(), m.starts.begin());
    std::vector<long long>().swap(offsets);

    m.indices.reserve(static_cast<size_t>(stored));
    m.values.reserve(static_cast<size_t>(stored));
    std::vector<long long> index;
    std::vector<double> value;
    for (long long first = 0; first < stored; first += kBlockValues) {
        const long long n = std::min(kBlockValues, stored - first);
        index.resize(static_cast<size_t>(n));
        value.resize(static_cast<size_t>(n));
        indices.readIntegers(first, n, index.data());
        data.readNumbers(first, n, value.data());
        for (long long k = 0; k < n; ++k) {
            if (index[k] < 0 || index[k] >= minors)
                f.fail(indices.path(), "an index of " + std::to_string(index[k]) +
                                           " where there are " + std::to_string(minors) +
                                           (byGene ? " cells" : " genes"));
            m.indices.push_back(static_cast<int32_t>(index[k]));
            m.values.push(value[k]);
        }
    }
    return m;
}

SparseMatrix readDense(const Hdf5File& f, const std::string& path, bool rowsAreGenes)
{
    const Hdf5Dataset d = f.dataset(path);
    const std::vector<long long> dims = d.dims();
    if (dims.size() != 2)
        f.fail(path, "is not a matrix (it has " + std::to_string(dims.size()) + " dimensions)");
    if (d.holds() != Hdf5Holds::integers && d.holds() != Hdf5Holds::reals)
        f.fail(path, "does not hold numbers");
    const long long rows = dims[0], cols = dims[1];
    if (rows > INT32_MAX || cols > INT32_MAX) f.fail(path, "is too large");
    SparseMatrix m;
    m.byGene = rowsAreGenes;
    m.genes = static_cast<long>(rowsAreGenes ? rows : cols);
    m.cells = static_cast<long>(rowsAreGenes ? cols : rows);
    // Whole chunks of rows at a time, so each chunk is read once.
    long long per = std::max<long long>(1, kBlockValues / std::max<long long>(cols, 1));
    if (const long long chunk = d.chunkRows(); chunk > 0)
        per = std::max(chunk, per / chunk * chunk);
    per = std::min(per, std::max<long long>(rows, 1));
    std::vector<double> block(static_cast<size_t>(per * cols));
    m.starts.reserve(static_cast<size_t>(rows) + 1);
    m.starts.push_back(0);
    for (long long first = 0; first < rows; first += per) {
        const long long n = std::min(per, rows - first);
        d.readNumbers(first, n, block.data());
        for (long long r = 0; r < n; ++r) {
            const double* row = block.data() + r * cols;
            for (long long c = 0; c < cols; ++c)
                if (!isZero(row[c])) {
                    m.indices.push_back(static_cast<int32_t>(c));
                    m.values.push(row[c]);
                }
            m.starts.push_back(static_cast<int64_t>(m.indices.size()));
        }
    }
    return m;
}

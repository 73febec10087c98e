// The HDF5 files of single-cell tools (h5ad, 10x h5, loom) read through the
// HDF5 C library: objects by their path in the file, attributes, numbers
// converted to doubles or integers, strings of fixed or variable length, and
// the two forms of matrix they hold (a compressed sparse group, a dense
// dataset). Every failure throws assocnet::Error naming the file and the
// object; the library's own printing of errors is kept off.
#pragma once

#include "sparse.h"

#include <cstdint>
#include <string>
#include <vector>

// An identifier of the HDF5 library (hid_t), closed when it goes.
class Hdf5Id {
public:
    Hdf5Id() = default;
    explicit Hdf5Id(int64_t id) : id_(id) {}
    Hdf5Id(Hdf5Id&& other) noexcept : id_(other.id_) { other.id_ = -1; }
    Hdf5Id& operator=(Hdf5Id&& other) noexcept;
    Hdf5Id(const Hdf5Id&) = delete;
    Hdf5Id& operator=(const Hdf5Id&) = delete;
    ~Hdf5Id();
    int64_t get() const { return id_; }

private:
    int64_t id_ = -1;
};

// What a dataset holds.
enum class Hdf5Holds { integers, reals, text, compound, other };

class Hdf5File;

// A dataset kept open while it is read in pieces (its chunk cache lasts).
class Hdf5Dataset {
public:
    const std::string& path() const { return path_; }
    std::vector<long long> dims() const;
    Hdf5Holds holds() const;
    // The rows of a chunk along the first axis; 0 when not chunked.
    long long chunkRows() const;
    // Elements [first, first + count) of a 1-D dataset, or whole rows of a
    // 2-D one, converted to doubles (integers: to long long).
    void readNumbers(long long first, long long count, double* out) const;
    void readIntegers(long long first, long long count, long long* out) const;
    // A 1-D dataset of strings, or the string field of a compound dataset.
    std::vector<std::string> readText(const std::string& field = "") const;
    // The fields of a compound dataset.
    std::vector<std::string> fields() const;

private:
    friend class Hdf5File;
    Hdf5Dataset(const Hdf5File& file, std::string path, Hdf5Id id);
    [[noreturn]] void fail(const std::string& what) const;
    const Hdf5File* file_;
    std::string path_;
    Hdf5Id id_;
};

class Hdf5File {
public:
    // Opens path for reading; shown names the file in messages.
    Hdf5File(const std::string& path, const std::string& shown);
    const std::string& shown() const { return shown_; }

    enum class Kind { none, group, dataset, other };
    // What stands at path ("X/data"); none when a part of the path is missing.
    Kind kind(const std::string& path) const;
    // The names of a group's members, in name order.
    std::vector<std::string> members(const std::string& group) const;
    Hdf5Dataset dataset(const std::string& path) const;

    bool hasAttribute(const std::string& object, const std::string& name) const;
    // A scalar (or one-element) string attribute.
    std::string textAttribute(const std::string& object, const std::string& name) const;
    std::vector<long long> integerAttribute(const std::string& object,
                                            const std::string& name) const;

    // Throws the Error "FILE: object: what", adding what the library said.
    [[noreturn]] void fail(const std::string& object, const std::string& what) const;

private:
    std::string shown_;
    Hdf5Id file_;
};

// The matrix to read: main ("X", "matrix"), or layers/NAME when a layer is
// named; throws, listing the file's layers, when it has no such layer.
std::string matrixPath(const Hdf5File& f, const std::string& main, const std::string& layer);
// A compressed sparse matrix stored as the group's data, indices and indptr
// (compressed by gene when byGene, else by cell).
SparseMatrix readCompressed(const Hdf5File& f, const std::string& group, long genes, long cells,
                            bool byGene);
// A dense 2-D dataset whose rows are genes (rowsAreGenes) or cells, read a
// block of rows at a time with only the values other than zero kept.
SparseMatrix readDense(const Hdf5File& f, const std::string& path, bool rowsAreGenes);

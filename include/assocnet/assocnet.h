// assocnet: association networks between the genes of an expression matrix.
//
// The one entry point of the statistics: the assocnet command, the seven
// programs' profiles, the processes of an MPI job and the Python and R
// packages all call network(). It reads a matrix that the caller owns, drops
// what cannot be analysed (missing values, genes without variance), computes
// Pearson or Spearman correlations and, for orders 1 to 3, keeps per pair the
// partial correlation of smallest magnitude over every conditioning set up to
// that order (pruned by Fisher's z test), and selects the edges of each
// significance level with their p- and q-values.
//
// The same matrix and options give the same bits on any machine, for any
// number of threads. There is no global state: two analyses may run at once
// in one process, each on its own threads.
//
//   Data        the caller's matrix: where each value stands, and the names
//   Options     method, order, levels, pruning, missing values, threads
//   Callbacks   progress, warnings and a cancel flag
//   network()   runs the analysis; returns a Result or throws Error
//   Result      genes kept and dropped, levels, edges, kept coefficients
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct Matrix;

namespace assocnet {

// --- the input -------------------------------------------------------------------

// An expression matrix of `genes` x `samples` doubles that the caller owns and
// keeps alive during the call: the value of gene g in sample s stands at
// values[g * geneStride + s * sampleStride]. The shorthands below give the
// strides of the usual layouts. Missing values are not-a-number.
struct Data {
    const double* values = nullptr;
    long genes = 0;
    long samples = 0;
    long geneStride = 0;
    long sampleStride = 0;
    std::vector<std::string> geneNames;    // one per gene; empty: "g0", "g1", ...
    std::vector<std::string> sampleNames;  // one per sample, for messages; empty: "s0", ...
    std::string source;                    // what messages name first ("counts.tsv"); may be empty

    // Row-major with one gene per row (the layout of an expression table).
    static Data genesInRows(const double* values, long genes, long samples);
    // Row-major with one sample per row (an AnnData matrix, a samples x genes table).
    static Data samplesInRows(const double* values, long samples, long genes);
};

enum class Method { pearson, spearman };

// What to do with the values that are not numbers (missing).
enum class Missing {
    refuse,       // an Error naming the first gene and sample that holds one
    dropGenes,    // every gene with a missing value is left out
    dropSamples,  // every sample with a missing value is left out
};

// One significance level of the network: a two-sided alpha (an edge has
// p < alpha, that is |r| above the threshold of z) or a false-discovery level
// (an edge has Benjamini-Hochberg q <= alpha).
struct Level {
    std::string name;     // as in file names: "0.01", or "q0.05" for a false-discovery level
    double alpha = 0;
    bool fdr = false;
    double z = 0;         // the z of an alpha level (not-a-number for a false-discovery level)
    double threshold = 0; // filled in the result: the |r| an edge must exceed (NaN for fdr)
    long long edges = 0;  // filled in the result: the edges at this level
};

// What an edge list holds: nothing, the count of each level only, or the
// edges with p and q.
enum class Select { none, counts, edges };

struct Options {
    Method method = Method::pearson;
    int order = 1;                                    // 0 (correlation) to 3
    std::vector<double> alpha{0.01, 0.001, 0.0001};  // the levels, any order
    bool fdr = false;              // alpha holds false-discovery levels instead
    double pruneAlpha = 0.05;      // the sweeps' pruning level (0.05 prunes at z = 1.96)
    Missing missing = Missing::refuse;
    int threads = 0;               // 0: every core (or OMP_NUM_THREADS)
    Select select = Select::edges;
    bool coefficients = false;     // keep the kept-coefficient matrix in the result
    // Levels given in full (name, alpha, fdr, z), loosest first; when not
    // empty they replace alpha and fdr (the seven programs' z-values).
    std::vector<Level> levels;
    // The name of one of the seven programs (assocnet --profile) whose
    // handling of genes the run keeps: genes without variance and repeated
    // names are kept as they are, with a warning. Empty: they are dropped
    // and made unique.
    std::string profile;
};

// The levels of Options (alpha and fdr, or levels), loosest first, or an
// Error saying why they cannot be used (a level outside (0, 1), one given
// twice, none; at orders 1 to 3, an alpha level looser than the pruning level).
std::vector<Level> levelsOf(const Options& options);

// --- progress and cancelling ---------------------------------------------------------

struct Callbacks {
    // A stage begins ("correlating", "partial correlations up to order 2",
    // "selecting edges") or moves on: the share of it done, from 0 to 1.
    std::function<void(std::string_view stage, double share)> progress;
    // A warning for the user, one line (dropped genes, repeated names).
    std::function<void(std::string_view text)> warning;
    // Set from any thread (a signal handler, a user interface) to stop the
    // run: network() then throws Cancelled within about a second.
    const std::atomic<bool>* cancel = nullptr;
};

// --- the result ----------------------------------------------------------------------

// An edge between the genes i < j (indices into Result::genes): its kept
// coefficient, its two-sided Fisher-z p-value at the run's order, its
// Benjamini-Hochberg q-value over all pairs, and the strictest level it
// passes (an index into Result::levels, loosest first).
struct Edge {
    int i, j;
    double r, p, q;
    int level;
};

// The kept coefficient of every pair of the genes used, read in place.
class Coefficients {
public:
    Coefficients();
    explicit Coefficients(std::unique_ptr<Matrix> store);
    Coefficients(Coefficients&&) noexcept;
    Coefficients& operator=(Coefficients&&) noexcept;
    ~Coefficients();
    // Genes on each side (0 when the result holds no coefficients).
    long size() const;
    // The kept coefficient of the pair {i, j}; 1 where i == j.
    double at(long i, long j) const;
    // The store as the writers read it: for order 0 the correlation matrix
    // as computed, every cell; else the kept values in the strict upper
    // triangle (the rest is not part of the result).
    const Matrix& store() const;

private:
    std::unique_ptr<Matrix> store_;
};

struct Dropped {
    std::string name;
    std::string why;  // "missing values" or "constant"
};

struct Result {
    std::vector<std::string> genes;    // the genes used, in input order (repeated names made unique)
    std::vector<std::string> samples;  // the samples used
    std::vector<Dropped> droppedGenes;
    std::vector<std::string> droppedSamples;  // for missing values
    std::vector<std::string> dropped;  // for the user, one line each: what was dropped and why
    Method method = Method::pearson;
    int order = 0;
    double pruneAlpha = 0.05;
    double pruneThreshold = 0;         // the |r| below which the sweeps prune (orders 1 to 3)
    std::vector<Level> levels;         // loosest first, with thresholds and edge counts
    std::vector<Edge> edges;           // passing the loosest level, by i then j (Select::edges)
    Coefficients coefficients;         // with Options::coefficients
    double seconds = 0;                // time the call took
};

// --- reading a table file ------------------------------------------------------------

// Whether the first line of a table names its columns.
enum class Header {
    detect,   // it does, unless every field after its first is a number: then distinct
              // whole numbers are sample IDs, and other numbers an Error (say which)
    present,  // it does, whatever it holds
    absent,   // it is a data line; the columns are named 1, 2, ...
};

// The encoding of a table's names: UTF-8, or ISO-8859-1 or Windows-1252
// converted to UTF-8. Names that are not UTF-8 text are an Error.
enum class Encoding { utf8, latin1, cp1252 };

struct ReadOptions {
    bool samplesInRows = false;         // the file's lines are samples, its columns genes (text)
    Missing missing = Missing::refuse;  // empty cells, NA, NaN, null, N/A, #N/A, None (in any
                                        // case) and the tokens of naValues; in a
                                        // single-cell file, the values that are not numbers
    bool programNames = false;          // names as the seven programs read them: the raw
                                        // field, its first '-' removed
    // How a text table is read (single-cell files pay them no heed).
    Header header = Header::detect;
    Encoding encoding = Encoding::utf8;
    std::vector<std::string> naValues;  // more tokens of missing values, in any case
    // Single-cell files (h5ad, loom, 10x): the layer to read instead of the
    // main matrix (h5ad, loom), and genes by their ids instead of their
    // symbols (10x: the first column or features/id; h5ad: var's gene_ids;
    // loom: row_attrs/Accession).
    std::string layer;
    bool geneIds = false;
    // The genes to keep, of any table: only those named (each name keeps
    // every gene of that name; a name the file lacks is refused), then only
    // the topVariable of largest variance (ties to the name that sorts
    // first). They keep the file's order. Empty and 0: every gene.
    std::vector<std::string> genes;
    long topVariable = 0;
};

// An expression table read from a file: text (tab-, comma-, semicolon- or
// whitespace-separated, gzip read as such; "-" is standard input), AnnData
// h5ad, loom, or 10x Genomics (a Matrix Market folder or its matrix file, or
// the .h5), told apart by content. A single-cell file stays sparse while it
// is read: values holds only the genes chosen.
struct Table {
    std::string source;                 // the path as given, "standard input" for "-"
    std::vector<std::string> genes, samples;  // samples: the cells of a single-cell file
    std::vector<double> values;         // genes x samples, one gene after another
    std::vector<std::string> warnings;  // one line each, for the user
    std::vector<std::string> dropped;   // what the missing-value policy dropped, one line each
    std::string chosen;                 // how ReadOptions chose the genes, for the user; empty: all kept
    double varianceCut = 0;             // with topVariable: the least variance of a gene kept
    // The table as network() reads it: a view of values, with the names.
    Data data() const;
};

// Reads the table at path; throws Error with the command's message (the
// file, the line or the object, and what is wrong) when it cannot be read or used.
Table readTable(const std::string& path, const ReadOptions& options = {});

// --- running -------------------------------------------------------------------------

// Every failure: bad options or input, too little memory. what() is the
// one-line message the assocnet command prints (without "assocnet: ").
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// The run needs more memory than this machine has, or an allocation failed.
class NotEnoughMemory : public Error {
public:
    using Error::Error;
};
// The run was cancelled through Callbacks::cancel.
class Cancelled : public Error {
public:
    Cancelled() : Error("cancelled") {}
};

// Runs the analysis of data with options; see the top of this file.
Result network(const Data& data, const Options& options, const Callbacks& callbacks = {});

}  // namespace assocnet

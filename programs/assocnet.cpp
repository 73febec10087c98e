// assocnet: association networks from an expression table, one command with
// options. Usage errors end with status 2, failures of the run with status 1.
// Started by mpirun, its processes share the sweep (cluster.h).
#include "cluster.h"
#include "files.h"
#include "parallel.h"
#include "pipeline.h"
#include "pvalues.h"
#include "table_bytes.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <sstream>
#include <sys/stat.h>

namespace {

struct UsageError {
    std::string message;
};

std::vector<std::string> splitList(const std::string& text)
{
    std::vector<std::string> items;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');)
        if (!item.empty()) items.push_back(item);
    return items;
}

std::vector<double> numbersOf(const std::string& option, const std::string& text)
{
    std::vector<double> values;
    for (const std::string& item : splitList(text)) {
        double x = 0;
        if (!parseNumber(item, x).empty())
            throw UsageError{option + ": " + item + " is not a number"};
        values.push_back(x);
    }
    return values;
}

// The names of --genes: a file of one name a line (blanks around a name
// ignored), else the comma-separated names themselves.
std::vector<std::string> genesOf(const std::string& given)
{
    if (given.empty()) return {};
    struct stat st {};
    if (given.find(',') != std::string::npos || ::stat(given.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
        return splitList(given);
    std::string bytes;
    if (const std::string why = loadTable(given, bytes); !why.empty()) throw UsageError{"--genes: " + why};
    std::vector<std::string> names;
    std::stringstream in(bytes);
    for (std::string line; std::getline(in, line);) {
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos) continue;
        names.push_back(line.substr(first, line.find_last_not_of(" \t\r") - first + 1));
    }
    if (names.empty()) throw UsageError{"--genes: " + given + " names no gene"};
    return names;
}

const char* const kFormats[] = {"sif", "net", "matrix", "edges", "graphml", "html"};

std::string defaultPrefix(bool spearman, int order)
{
    static const char* const orders[] = {"0th", "1st", "2nd", "3rd"};
    return std::string(spearman ? "Spearman" : "Pearson") + orders[order];
}

int command(int argc, char** argv, Cluster& cluster)
{
    // Only rank 0 of a job speaks to the user about the options.
    const bool speaks = cluster.rank == 0;
    CLI::App app{"Infers an association network between the genes (rows) of an expression table\n"
                 "from their Pearson or Spearman correlations and, for orders 1 to 3, the partial\n"
                 "correlation of smallest magnitude over every conditioning set, and writes it\n"
                 "for Cytoscape, Pajek, igraph, networkx and spreadsheets.",
                 "assocnet"};
    app.footer("Example:\n  assocnet -m spearman -k 2 -a 0.01,0.001 -o results expression.tsv.gz\n"
               "writes results/Spearman2nd_network_0.01.sif, ..._edges.tsv and the rest.");
    app.get_formatter()->column_width(34);
    app.set_version_flag("--version", std::string("assocnet ") + kVersion);

    std::string table, method = "pearson", alphas = "0.01,0.001,0.0001", fdrs, formats,
                        outDir = ".", prefix, missing = "refuse", profile, naValues,
                        encoding = "utf8";
    int order = 1, threads = 0;
    double pruneAlpha = 0.05;
    bool samplesInRows = false, quiet = false, literal = false, clean = false, header = false,
         noHeader = false;

    app.add_option("TABLE", table,
                   "expression table: genes in rows, samples in columns; tab-, comma-,\n"
                   "semicolon- or whitespace-separated, gzip read as such; - reads\n"
                   "standard input; or a single-cell file: h5ad, loom, a 10x folder,\n"
                   "matrix.mtx[.gz] or .h5")
        ->required();
    auto* methodOpt = app.add_option("-m,--method", method, "pearson or spearman")
                          ->check(CLI::IsMember({"pearson", "spearman"}))
                          ->capture_default_str();
    auto* orderOpt = app.add_option("-k,--order", order,
                                    "largest number of conditioning genes, 0 to 3")
                         ->check(CLI::Range(0, 3))
                         ->capture_default_str();
    auto* alphaOpt = app.add_option("-a,--alpha", alphas,
                                    "two-sided levels of the networks, one set of files each")
                         ->capture_default_str();
    auto* fdrOpt = app.add_option("--fdr", fdrs,
                                  "instead of --alpha: levels of Benjamini-Hochberg q, e.g. 0.05");
    fdrOpt->excludes(alphaOpt);
    app.add_option("--prune-alpha", pruneAlpha,
                   "level at which the sweeps stop offering a pair smaller coefficients\n"
                   "(0.05 prunes at z = 1.96, as the seven programs do)")
        ->capture_default_str();
    app.add_option("-o,--out", outDir, "folder of the output files, made when missing")
        ->capture_default_str();
    app.add_option("-p,--prefix", prefix,
                   "front of the output file names (default from method and order, Pearson1st)");
    auto* formatsOpt = app.add_option("-f,--formats", formats,
                                      "files to write, from sif,net,matrix,edges,graphml,html\n"
                                      "(default all but html)");
    app.add_flag("--samples-in-rows", samplesInRows, "the table has samples in rows, genes in columns");
    auto* headerOpt = app.add_flag("--header", header,
                                   "the first line names the columns, even when it holds numbers only");
    app.add_flag("--no-header", noHeader, "the first line is a data line; columns are named 1, 2, ...")
        ->excludes(headerOpt);
    app.add_option("--missing", missing,
                   "missing values (empty, NA, NaN, null, N/A, #N/A, None, in any case):\n"
                   "refuse the table, or drop the genes or the samples that hold them")
        ->check(CLI::IsMember({"refuse", "drop-genes", "drop-samples"}))
        ->capture_default_str();
    app.add_option("--na-values", naValues, "more tokens of missing values, e.g. -999,missing");
    app.add_option("--encoding", encoding,
                   "the names' encoding: utf8, or latin1 or cp1252 (Windows) to convert")
        ->check(CLI::IsMember({"utf8", "latin1", "cp1252"}))
        ->capture_default_str();
    std::string layer, genes;
    long topVariable = 0;
    bool geneIds = false;
    app.add_option("--layer", layer, "h5ad and loom: read layers/NAME instead of the main matrix");
    app.add_flag("--gene-ids", geneIds,
                 "single-cell files: genes by their ids (10x's first column), not symbols");
    app.add_option("--genes", genes,
                   "only these genes: a file with one name a line, or names with commas\n"
                   "(A,B,C); a name the table lacks is refused");
    app.add_option("--top-variable", topVariable,
                   "only the N genes of largest variance (of the values as given)")
        ->check(CLI::PositiveNumber);
    auto* threadsOpt = app.add_option("-t,--threads", threads, "threads to use (default every core)");
    app.add_flag("--clean", clean,
                 "remove the files of the prefix in the folder that the run did not write\n"
                 "(an earlier run's other levels or formats); otherwise they are named");
    app.add_flag("-q,--quiet", quiet, "no progress display and no summary; warnings still shown");
    std::vector<std::string> programs;
    for (const Profile& p : kProfiles) programs.emplace_back(p.program);
    auto* profileOpt = app.add_option("--profile", profile,
                                      "the settings and files of one of the seven programs\n"
                                      "(pearson0th ... spearman2nd), byte for byte")
                           ->check(CLI::IsMember(programs));
    profileOpt->excludes(methodOpt)->excludes(orderOpt)->excludes(alphaOpt)->excludes(fdrOpt);
    app.add_flag("--literal-kernels", literal)->group("");  // the reference loops, for tests
    app.add_flag("--cluster-report", cluster.report)->group("");  // what each rank of a job did

    RunOptions o;
    try {
        app.parse(argc, argv);
        const Profile* prof = profile.empty() ? nullptr : &profileOf(profile);
        o.table = table;
        o.profile = prof;
        o.quiet = quiet;
        o.clean = clean;
        o.outDir = outDir.empty() ? "." : outDir;
        while (o.outDir.size() > 1 && o.outDir.back() == '/') o.outDir.pop_back();
        o.kernels = literal ? Kernels::literal : Kernels::fast;
        o.reading.samplesInRows = samplesInRows;
        o.reading.missing = missing == "drop-genes"     ? assocnet::Missing::dropGenes
                            : missing == "drop-samples" ? assocnet::Missing::dropSamples
                                                        : assocnet::Missing::refuse;
        o.reading.programNames = prof != nullptr;
        o.reading.header = header     ? assocnet::Header::present
                           : noHeader ? assocnet::Header::absent
                                      : assocnet::Header::detect;
        o.reading.encoding = encoding == "latin1"   ? assocnet::Encoding::latin1
                             : encoding == "cp1252" ? assocnet::Encoding::cp1252
                                                    : assocnet::Encoding::utf8;
        o.reading.naValues = splitList(naValues);
        o.reading.layer = layer;
        o.reading.geneIds = geneIds;
        o.reading.genes = genesOf(genes);
        o.reading.topVariable = topVariable;
        o.pruneAlpha = pruneAlpha;
        if (!(pruneAlpha > 0 && pruneAlpha < 1))
            throw UsageError{"--prune-alpha must lie between 0 and 1"};
        const double pruneZ = pruneAlpha == 0.05 ? 1.96 : zForAlpha(pruneAlpha);
        if (prof) {
            o.method = Method{prof->spearman, prof->order, 1.96};
            o.pruneAlpha = 0.05;
            const char* names[3] = {"0.01", "0.001", "0.0001"};
            for (int k = 0; k < 3; ++k) {
                assocnet::Level l;
                l.name = names[k];
                l.z = prof->z[k];
                l.alpha = std::erfc(prof->z[k] / std::sqrt(2.0));
                o.levels.push_back(l);
            }
            o.prefix = prefix.empty() ? std::string(prof->prefix) : prefix;
        } else {
            o.method = Method{method == "spearman", order, pruneZ};
            const bool fdr = !fdrs.empty();
            // The levels alone here; the pruning level is checked below, in
            // the words of the options.
            assocnet::Options given;
            given.alpha = numbersOf(fdr ? "--fdr" : "--alpha", fdr ? fdrs : alphas);
            given.fdr = fdr;
            given.order = 0;
            try {
                o.levels = assocnet::levelsOf(given);
            } catch (const assocnet::Error& e) {
                throw UsageError{std::string(fdr ? "--fdr" : "--alpha") + ": " + e.what()};
            }
            if (order > 0 && o.levels.front().alpha > pruneAlpha)
                throw UsageError{
                    (fdr ? "--fdr " : "--alpha ") + o.levels.front().name.substr(fdr) +
                    " is looser than the pruning level " + (std::ostringstream() << pruneAlpha).str() +
                    ": the sweeps stop offering a pair smaller coefficients once it is below that "
                    "level, so an edge at a looser level would not hold its smallest coefficient; "
                    "choose a stricter level or raise --prune-alpha"};
            o.prefix = prefix.empty() ? defaultPrefix(o.method.spearman, order) : prefix;
        }
        if (o.prefix.find('/') != std::string::npos)
            throw UsageError{"--prefix: a prefix cannot hold a /; use --out for the folder"};
        if (formatsOpt->count() > 0) {
            for (const std::string& f : splitList(formats)) {
                if (std::find(std::begin(kFormats), std::end(kFormats), f) == std::end(kFormats))
                    throw UsageError{"--formats: unknown format " + f +
                                     " (choose from sif,net,matrix,edges,graphml,html)"};
                if (std::find(o.formats.begin(), o.formats.end(), f) == o.formats.end())
                    o.formats.push_back(f);
            }
            if (o.formats.empty()) throw UsageError{"--formats: no format given"};
        } else if (prof) {
            o.formats = {"matrix", "sif", "net"};
        } else {
            o.formats = {"sif", "net", "matrix", "edges", "graphml"};
        }
        if (threadsOpt->count() > 0 && threads < 1) throw UsageError{"--threads must be at least 1"};
        if (threads > 0) setThreadCount(threads);
    } catch (const CLI::Success& e) {  // --help, --version
        return speaks ? app.exit(e) : 0;
    } catch (const CLI::ParseError& e) {
        if (speaks) std::cerr << "assocnet: " << e.what() << "\nRun assocnet --help for the options.\n";
        return 2;
    } catch (const UsageError& e) {
        if (speaks) std::cerr << "assocnet: " << e.message << "\nRun assocnet --help for the options.\n";
        return 2;
    }
    return runAssocnet(o, cluster);
}

// An instruction set that ASSOCNET_ISA names and this processor lacks is
// refused as a process that cannot get ready: the other ranks of a job end too.
bool isaRefused(const Cluster& cluster)
{
    const std::string isa = isaProblem();
    if (isa.empty()) return false;
    std::vector<int> failed;
    if (cluster.size > 1) agreeToSweep(cluster, false, failed);
    const std::string who = cluster.rank == 0 ? "" : "process " + std::to_string(cluster.rank) + ": ";
    if (cluster.rank == 0 || failed.front() != 0) std::cerr << "assocnet: " << who << isa << std::endl;
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    openClosedStandardStreams();
    Cluster cluster = joinCluster(argc, argv);
    const int status = isaRefused(cluster) ? 1 : command(argc, argv, cluster);
    leaveCluster(cluster);
    return status;
}

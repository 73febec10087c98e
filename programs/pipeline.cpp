// One assocnet run: read and check the table, compute the result matrix,
// select the edges of every level with their p and q, write every file aside
// and put them all in place at the end, then print the summary.
#include "pipeline.h"

#include "cluster.h"
#include "display.h"

#include "files.h"
#include "genes.h"
#include "network_hooks.h"
#include "parallel.h"
#include "pvalues.h"
#include "selection.h"
#include "table.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <new>
#include <optional>
#include <set>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

const char* const kVersion = ASSOCNET_VERSION;

namespace {

struct Failure {
    std::string message;
};

// Other ranks of the job could not get ready; they have said why.
struct FailedElsewhere {};

// How far the ranks of a job got together.
struct JobState {
    bool asked = false;   // this rank took part in agreeToSweep
    bool swept = false;   // the sweep is over on every rank
};

[[noreturn]] void fail(std::string message) { throw Failure{std::move(message)}; }

std::string levelText(double alpha)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", alpha);
    return buf;
}

bool wants(const RunOptions& o, const std::string& format)
{
    return std::find(o.formats.begin(), o.formats.end(), format) != o.formats.end();
}

// Makes dir and the folders above it when they are missing.
void makeFolder(const std::string& dir)
{
    if (dir.empty() || dir == ".") return;
    for (size_t at = 1;; ++at) {
        at = dir.find('/', at);
        const std::string part = dir.substr(0, at);
        if (::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST)
            fail(part + ": " + std::strerror(errno));
        if (at == std::string::npos) break;
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) fail(dir + ": Not a directory");
}

// True when text is UTF-8 without the control characters that XML 1.0
// cannot hold (tab excepted).
bool xmlText(std::string_view text)
{
    for (size_t k = 0; k < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[k]);
        const size_t n = c >= 0x80 ? utf8Sequence(text, k) : c >= 0x20 || c == '\t' ? 1 : 0;
        if (n == 0) return false;
        k += n;
    }
    return true;
}

// A name as it may stand in a message: unprintable bytes as '?'.
std::string shownText(std::string_view text)
{
    std::string s;
    for (char c : text.substr(0, 60)) s += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
    return s;
}

// Refuses names that a chosen format cannot carry; returns whether a name
// holds a space (SIF fields then go between tabs).
bool checkNames(const RunOptions& o, const Names& genes, const std::string& shownName)
{
    if (wants(o, "net") && !o.profile)
        for (const std::string& name : genes)
            if (name.find('"') != std::string::npos)
                fail(shownName + ": gene " + name +
                     " has a double quote in its name, which NET files cannot carry; leave net "
                     "out of --formats or rename the gene");
    bool spaced = false;
    for (const std::string& name : genes) {
        if ((wants(o, "sif") || wants(o, "net")) && name.find_first_of("\t\n\r") != std::string::npos)
            fail(shownName + ": gene " + shownText(name) +
                 " holds a tab or a line break, which SIF and NET files cannot carry; leave sif "
                 "and net out of --formats or rename the gene");
        spaced = spaced || name.find(' ') != std::string::npos;
    }
    if (wants(o, "graphml"))
        for (const std::string& name : genes)
            if (!xmlText(name))
                fail(shownName + ": gene " + shownText(name) +
                     " holds a control character or is not UTF-8 text, which GraphML cannot "
                     "carry; leave graphml out of --formats or rename the gene");
    return spaced;
}

std::string fixed(double x, int decimals)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, x);
    return buf;
}

// True when PREFIX + suffix is a name that a run of assocnet writes: a network
// of any level, the matrix, the edge table, the GraphML file or the report,
// and under a profile the programs' matrix report.
bool runFileSuffix(std::string_view suffix, bool profile)
{
    for (std::string_view name : {"_matrix.tsv", "_edges.tsv", "_network.graphml", "_report.html"})
        if (suffix == name) return true;
    if (profile && suffix == "_matrix.csv") return true;
    constexpr std::string_view network = "_network_";
    if (suffix.size() <= network.size() + 4 || suffix.substr(0, network.size()) != network) return false;
    const std::string_view ending = suffix.substr(suffix.size() - 4);
    if (ending != ".sif" && ending != ".net") return false;
    std::string_view level = suffix.substr(network.size(), suffix.size() - network.size() - 4);
    if (level.front() == 'q') level.remove_prefix(1);
    double alpha = 0;
    const auto [end, error] = std::from_chars(level.data(), level.data() + level.size(), alpha);
    return error == std::errc() && end == level.data() + level.size() && alpha > 0 && alpha < 1;
}

// --- the run ------------------------------------------------------------------

int run(const RunOptions& o, const Cluster& cluster, Display& d, OutputSet& set, JobState& job)
{
    const bool lead = cluster.rank == 0;
    const double start = clockSeconds();
    const std::string shownName = o.table == "-" ? "standard input" : o.table;
    const Profile* prof = o.profile;
    const int K = o.method.order;

    showStage(d, "reading " + shownName);
    assocnet::Table t = assocnet::readTable(o.table, o.reading);
    for (const std::string& w : t.warnings) showWarning(d, w);
    std::vector<std::string> dropped = t.dropped;
    for (const std::string& line : dropped) showWarning(d, "dropped " + line);

    const assocnet::Data data = t.data();
    assocnet::Options options;
    options.method = o.method.spearman ? assocnet::Method::spearman : assocnet::Method::pearson;
    options.order = K;
    options.levels = o.levels;
    options.pruneAlpha = o.pruneAlpha;
    options.select = o.levels.front().fdr || wants(o, "edges") || wants(o, "graphml") || wants(o, "html")
                         ? assocnet::Select::edges
                         : assocnet::Select::counts;
    options.coefficients = true;
    if (prof) options.profile = prof->program;
    assocnet::Callbacks callbacks;
    callbacks.progress = [&](std::string_view stage, double share) {
        if (d.stage != stage) showStage(d, std::string(stage));
        if (share > 0) showShare(d, share);
    };
    callbacks.warning = [&](std::string_view text) { showWarning(d, std::string(text)); };
    bool spaced = false;
    NetworkHooks hooks;
    hooks.kernels = o.kernels;
    // The edges stay in the matrix, and are made again as each file is
    // written, unless a file reads the whole matrix as stored (the matrix
    // report of pearson0th), which the mirror cells must then hold.
    hooks.edgesInStore =
        options.select == assocnet::Select::edges && !(prof && wants(o, "matrix") && !prof->report.mirrored);
    hooks.ready = [&](const Names& genes, int) {
        spaced = checkNames(o, genes, shownName);
        if (lead) {
            makeFolder(o.outDir);
            const std::string locked = set.lock(false);
            if (!locked.empty()) fail(locked);
        }
        std::vector<int> failed;
        job.asked = true;
        if (!agreeToSweep(cluster, true, failed)) throw FailedElsewhere{};
    };
    hooks.analyse = [&](const Method& method, Kernels kernels, int V, int N, Matrix& obs,
                        Matrix& result, Progress& p) {
        analyseAcross(cluster, method, kernels, V, N, obs, result, p);
        job.swept = true;
        return lead;
    };
    const assocnet::Result net = runNetwork(data, options, callbacks, hooks);
    if (!lead) return 0;
    std::vector<double>().swap(t.values);
    dropped.insert(dropped.end(), net.dropped.begin(), net.dropped.end());
    const Names& genes = net.genes;
    const Matrix& result = net.coefficients.store();
    const int V = static_cast<int>(genes.size());
    const int N = static_cast<int>(net.samples.size());
    const bool withPQ = options.select == assocnet::Select::edges;
    std::optional<StoredEdges> stored;
    if (hooks.edgesInStore) stored.emplace(result, V, N, K, o.pruneAlpha, net.levels);
    const EdgeVector gathered(net.edges);
    const EdgeList& edges = stored ? static_cast<const EdgeList&>(*stored) : gathered;

    // The files of the run, written aside.
    showStage(d, "writing files");
    std::vector<std::function<void(TextOut&)>> writers;
    auto add = [&](const std::string& suffix, std::function<void(TextOut&)> writer) {
        set.add(suffix);
        writers.push_back(std::move(writer));
    };
    // SIF fields are split on tabs where the file holds one, else on spaces:
    // names with spaces go between tabs.
    const SifLabels labels = prof     ? prof->labels
                             : spaced ? SifLabels{"\tpos\t", "\tneg\t"}
                                      : SifLabels{" pos ", " neg "};
    std::vector<std::string> levelNames;
    for (const Level& l : o.levels) levelNames.push_back(l.name);
    if (wants(o, "matrix")) {
        if (prof)
            add("_matrix.csv", [&](TextOut& out) { printStuff(V, genes, result, out, prof->report); });
        else
            add("_matrix.tsv", [&](TextOut& out) {
                printStuff(V, genes, result, out, ReportLayout{"", true, false, true});
            });
    }
    for (int l = 0; l < static_cast<int>(o.levels.size()); ++l) {
        const std::string name = "_network_" + o.levels[l].name;
        if (wants(o, "sif"))
            add(name + ".sif", [&, l](TextOut& out) {
                if (withPQ)
                    writeSif(genes, edges, l, labels, out);
                else
                    getCytoScapeInput(V, net.levels[l].threshold, result, out, genes, labels);
            });
    }
    for (int l = 0; l < static_cast<int>(o.levels.size()); ++l) {
        const std::string name = "_network_" + o.levels[l].name;
        if (wants(o, "net"))
            add(name + ".net", [&, l](TextOut& out) {
                if (withPQ)
                    writePajek(genes, edges, l, out);
                else
                    getPajekInput(V, net.levels[l].threshold, result, out, genes);
            });
    }
    if (wants(o, "edges"))
        add("_edges.tsv", [&](TextOut& out) { writeEdgeTable(genes, edges, levelNames, out); });
    if (wants(o, "graphml"))
        add("_network.graphml", [&](TextOut& out) { writeGraphml(genes, edges, out); });
    RunFacts facts;
    if (wants(o, "html")) {
        facts.table = o.table;
        facts.version = kVersion;
        facts.method = o.method.spearman ? "Spearman" : "Pearson";
        facts.order = K;
        facts.pruneAlpha = o.pruneAlpha;
        facts.genes = V;
        facts.samples = N;
        facts.dropped = dropped;
        for (size_t l = 0; l < o.levels.size(); ++l) {
            const Level& lv = o.levels[l];
            ReportLevel rl;
            rl.name = lv.name;
            rl.rule = lv.fdr ? "q <= " + levelText(lv.alpha)
                             : "p < " + levelText(lv.alpha) + " (|r| > " + fixed(net.levels[l].threshold, 4) + ")";
            rl.edges = net.levels[l].edges;
            rl.threshold = net.levels[l].threshold;
            facts.levels.push_back(rl);
        }
        facts.seconds = clockSeconds() - start;
        const Histogram kept = keptHistogram(result, V);
        add("_report.html", [&, kept](TextOut& out) { writeHtmlReport(facts, genes, edges, kept, out); });
    }
    std::deque<OutputFile>& files = set.files();
    std::vector<std::string> problems(files.size());
    parallelFor(0, static_cast<long>(files.size()), 20.0 * V * V,
                [&](long k) { problems[k] = set.writeAside(files[k], writers[k]); });
    for (const std::string& p : problems)
        if (!p.empty()) fail(p);
    const std::string committed = set.commit();
    if (!committed.empty()) fail(committed);
    // Files of this prefix that the run did not write: named, or removed.
    const std::string folder = o.outDir == "." ? std::string("the current folder") : o.outDir;
    const std::vector<std::string> stale =
        set.strays([&](std::string_view suffix) { return runFileSuffix(suffix, prof != nullptr); });
    std::string removed;
    for (const std::string& name : stale) {
        const std::string why = o.clean ? set.remove(name) : "";
        if (!why.empty()) showWarning(d, "could not remove " + why);
        if (o.clean && why.empty()) removed += " " + name;
    }
    if (!o.clean && !stale.empty()) {
        std::string names;
        for (const std::string& name : stale) names += (names.empty() ? "" : ", ") + name;
        showWarning(d, folder + " holds " + plural(stale.size(), "file", "files") + " of prefix " +
                           o.prefix + " that this run did not write: " + names + " (--clean removes them)");
    }
    set.unlock();
    endDisplay(d);

    if (o.quiet) return 0;
    std::string s;
    s += "assocnet " + std::string(kVersion) + "\n";
    s += "table     " + shownName + ": " + plural(V, "gene", "genes") + " x " +
         plural(N, "sample", "samples") + " used\n";
    if (!t.chosen.empty()) s += "genes     " + t.chosen + "\n";
    if (dropped.empty()) s += "dropped   none\n";
    for (const std::string& line : dropped) s += "dropped   " + line + "\n";
    s += "method    " + std::string(o.method.spearman ? "Spearman" : "Pearson") +
         (K == 0 ? std::string(" correlation")
                 : ", partial correlations up to order " + std::to_string(K) + ", pruned below |r| " +
                       fixed(net.pruneThreshold, 4) + " (p " + levelText(o.pruneAlpha) + ")") +
         "\n";
    for (size_t l = 0; l < o.levels.size(); ++l) {
        const Level& lv = o.levels[l];
        s += "level " + lv.name + ": " +
             (lv.fdr ? "q <= " + levelText(lv.alpha)
                     : "|r| > " + fixed(net.levels[l].threshold, 6)) +
             ", " + plural(static_cast<size_t>(net.levels[l].edges), "edge", "edges") + "\n";
    }
    s += "files     " + plural(files.size(), "file", "files") + " in " + folder + ":";
    for (const OutputFile& f : files) s += " " + f.name.substr(f.name.rfind('/') + 1);
    if (!removed.empty()) s += "\nremoved  " + removed;
    s += "\ntime      " + fixed(clockSeconds() - start, 2) + " s\n";
    std::cout << s << std::flush;
    // The files are in place: a summary that cannot be shown does not undo the run.
    if (!std::cout) showWarning(d, "standard output: the summary could not be written");
    return 0;
}

}  // namespace

int runAssocnet(const RunOptions& options, const Cluster& cluster)
{
    std::ios::sync_with_stdio(false);
    installCleanupHandlers(false);
    Display d;
    d.quiet = options.quiet || cluster.rank != 0;
    d.silent = cluster.rank != 0;
    d.terminal = ::isatty(2) != 0;
    OutputSet set(options.outDir, options.prefix);
    JobState job;
    std::string message;
    bool elsewhere = false;
    try {
        return run(options, cluster, d, set, job);
    } catch (const Failure& f) {
        message = f.message;
    } catch (const assocnet::Error& e) {
        message = e.what();
    } catch (const FailedElsewhere&) {
        elsewhere = true;
    } catch (const std::bad_alloc&) {
        message = "not enough memory for the matrices of this run";
    } catch (const std::length_error&) {
        message = "not enough memory for the matrices of this run";
    }
    set.discard();
    endDisplay(d);
    if (cluster.size == 1) {
        std::cerr << "assocnet: " << message << std::endl;
        return 1;
    }
    // In a job, rank 0 gives its own messages as a single process does; the
    // others name their rank, unless rank 0 failed too (the same table gives
    // the same message on every rank).
    std::vector<int> failed;
    if (!job.asked && !elsewhere) agreeToSweep(cluster, false, failed);
    const bool leadFailed = !failed.empty() && failed.front() == 0;
    const std::string who = cluster.rank == 0 ? "" : "process " + std::to_string(cluster.rank) + ": ";
    if (!elsewhere && (cluster.rank == 0 || !leadFailed))
        std::cerr << "assocnet: " << who << message << std::endl;
    // Once the sweep has begun, a failure on one rank leaves the others
    // waiting on it: the whole job ends.
    if (job.asked && !elsewhere && !job.swept) abortCluster(cluster);
    return 1;
}

// One assocnet run: read and check the table, compute the result matrix,
// select the edges of every level with their p and q, write every file aside
// and put them all in place at the end, then print the summary.
#include "pipeline.h"

#include "cluster.h"

#include "files.h"
#include "genes.h"
#include "network_hooks.h"
#include "parallel.h"
#include "pvalues.h"
#include "selection.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <new>
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
        if (c < 0x80) {
            if (c < 0x20 && c != '\t') return false;
            ++k;
            continue;
        }
        const size_t more = c >= 0xc2 && c <= 0xdf ? 1 : c >= 0xe0 && c <= 0xef ? 2
                          : c >= 0xf0 && c <= 0xf4 ? 3 : 0;
        if (more == 0 || k + more >= text.size()) return false;
        for (size_t m = 1; m <= more; ++m)
            if ((static_cast<unsigned char>(text[k + m]) & 0xc0) != 0x80) return false;
        k += more + 1;
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
        if (name.find_first_of("\t\n\r") != std::string::npos)
            fail(shownName + ": gene " + shownText(name) +
                 " holds a tab or a line break, which tab-separated and network files cannot "
                 "carry; rename the gene");
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

// --- the run ------------------------------------------------------------------

int run(const RunOptions& o, const Cluster& cluster, Display& d, std::vector<OutputFile>& files,
        JobState& job)
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
    hooks.ready = [&](const Names& genes, int N) {
        spaced = checkNames(o, genes, shownName);
        const std::string shortfall = memoryShortfall(o.method.spearman, K, static_cast<int>(genes.size()), N);
        if (!shortfall.empty()) fail(shortfall);
        if (lead) {
            makeFolder(o.outDir);
            const std::string locked = lockOutputs(o.outDir, o.prefix);
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

    // The files of the run, written aside.
    showStage(d, "writing files");
    const std::string base = (o.outDir == "." ? "" : o.outDir + "/") + o.prefix;
    std::vector<std::function<void(TextOut&)>> writers;
    auto add = [&](const std::string& suffix, std::function<void(TextOut&)> writer) {
        files.emplace_back();
        files.back().name = base + suffix;
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
                printStuff(V, genes, result, out, ReportLayout{"", true, false});
            });
    }
    for (int l = 0; l < static_cast<int>(o.levels.size()); ++l) {
        const std::string name = "_network_" + o.levels[l].name;
        if (wants(o, "sif"))
            add(name + ".sif", [&, l](TextOut& out) {
                if (withPQ)
                    writeSif(genes, edgesAtLevel(net.edges, l), labels, out);
                else
                    getCytoScapeInput(V, net.levels[l].threshold, result, out, genes, labels);
            });
    }
    for (int l = 0; l < static_cast<int>(o.levels.size()); ++l) {
        const std::string name = "_network_" + o.levels[l].name;
        if (wants(o, "net"))
            add(name + ".net", [&, l](TextOut& out) {
                if (withPQ)
                    writePajek(genes, edgesAtLevel(net.edges, l), out);
                else
                    getPajekInput(V, net.levels[l].threshold, result, out, genes);
            });
    }
    if (wants(o, "edges"))
        add("_edges.tsv", [&](TextOut& out) { writeEdgeTable(genes, net.edges, levelNames, out); });
    if (wants(o, "graphml"))
        add("_network.graphml", [&](TextOut& out) { writeGraphml(genes, net.edges, out); });
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
        add("_report.html", [&, kept](TextOut& out) { writeHtmlReport(facts, genes, net.edges, kept, out); });
    }
    std::vector<std::string> problems(files.size());
    parallelFor(0, static_cast<long>(files.size()), 20.0 * V * V,
                [&](long k) { problems[k] = writeAside(files[k], writers[k]); });
    for (const std::string& p : problems)
        if (!p.empty()) fail(p);
    const std::string committed = commitAll(files);
    if (!committed.empty()) fail(committed);
    unlockOutputs();
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
    s += "files     " + plural(files.size(), "file", "files") + " in " +
         (o.outDir == "." ? std::string("the current folder") : o.outDir) + ":";
    for (const OutputFile& f : files) s += " " + f.name.substr(f.name.rfind('/') + 1);
    s += "\ntime      " + fixed(clockSeconds() - start, 2) + " s\n";
    std::cout << s << std::flush;
    if (!std::cout) fail("standard output: the summary could not be written");
    return 0;
}

}  // namespace

int runAssocnet(const RunOptions& options, const Cluster& cluster)
{
    std::ios::sync_with_stdio(false);
    installCleanupHandlers();
    Display d;
    d.quiet = options.quiet || cluster.rank != 0;
    d.silent = cluster.rank != 0;
    d.terminal = ::isatty(2) != 0;
    std::vector<OutputFile> files;
    JobState job;
    std::string message;
    bool elsewhere = false;
    try {
        return run(options, cluster, d, files, job);
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
    discardAll(files);
    unlockOutputs();
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

// One assocnet run: read and check the table, compute the result matrix,
// select the edges of every level with their p and q, write every file aside
// and put them all in place at the end, then print the summary.
#include "pipeline.h"

#include "cluster.h"

#include "files.h"
#include "parallel.h"
#include "pvalues.h"

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

// Up to five names, then how many more.
std::string someNames(const Names& names)
{
    std::string s;
    for (size_t k = 0; k < names.size() && k < 5; ++k) s += (k ? ", " : "") + names[k];
    if (names.size() > 5) s += " and " + std::to_string(names.size() - 5) + " more";
    return s;
}

std::string plural(size_t n, const std::string& one, const std::string& many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
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

// --- the table as the statistics take it -------------------------------------

// Genes whose values are all equal have no variance: their coefficients
// would be not-a-number. Dropped, or under a program's profile only named.
Names constantGenes(Table& t, bool drop)
{
    const size_t N = t.samples.size();
    Names constant;
    size_t kept = 0;
    for (size_t g = 0; g < t.genes.size(); ++g) {
        const double* v = t.values.data() + g * N;
        bool same = true;
        for (size_t s = 1; s < N && same; ++s) same = v[s] == v[0];
        if (same) constant.push_back(t.genes[g]);
        if (same && drop) continue;
        if (kept != g) {
            t.genes[kept] = std::move(t.genes[g]);
            std::copy(v, v + N, t.values.data() + kept * N);
        }
        ++kept;
    }
    t.genes.resize(kept);
    t.values.resize(kept * N);
    return constant;
}

// Makes repeated names unique: the second TP53 becomes TP53.1, the third
// TP53.2, skipping names the table already holds. Returns the renamed ones.
Names uniqueNames(Names& names, bool rename)
{
    std::set<std::string> taken(names.begin(), names.end());
    std::map<std::string, int> seen;
    Names repeated;
    for (std::string& name : names) {
        int& count = seen[name];
        if (count++ == 0) continue;
        repeated.push_back(name);
        if (!rename) continue;
        int k = count - 1;
        std::string fresh = name + "." + std::to_string(k);
        while (taken.count(fresh)) fresh = name + "." + std::to_string(++k);
        taken.insert(fresh);
        name = fresh;
    }
    return repeated;
}

// --- edges --------------------------------------------------------------------

struct Selection {
    std::vector<Edge> edges;             // passing the loosest level, row by row
    std::vector<long long> perLevel;     // edges at each level
    std::vector<double> thresholds;      // |r| of each alpha level (NaN for q levels)
    double pruneThreshold = 0;
};

// Every pair whose p might reach the loosest level or the pruning level gets
// its p; Benjamini-Hochberg over all V(V - 1)/2 pairs gives q, exact
// wherever it is at or below those levels. Without withPQ (no file shows
// them and no level needs them) the edges are selected by |r| alone.
Selection selectEdges(const RunOptions& o, const Matrix& result, int V, int N, bool withPQ)
{
    const int K = o.method.order;
    Selection sel;
    double cutoff = K > 0 ? o.pruneAlpha : 0;
    for (const Level& l : o.levels) {
        cutoff = std::max(cutoff, l.alpha);
        sel.thresholds.push_back(l.fdr ? std::nan("") : thresholdFor(N, l.z, K));
    }
    sel.pruneThreshold = thresholdFor(N, o.method.pruneZ, K);
    sel.perLevel.assign(o.levels.size(), 0);
    if (!withPQ) {
        // Only the count of each level; the writers read the matrix.
        std::vector<std::vector<long long>> counts(static_cast<size_t>(V));
        parallelFor(0, V, 4.0 * V * V, [&](long i) {
            counts[i].assign(o.levels.size(), 0);
            for (int j = static_cast<int>(i) + 1; j < V; ++j)
                for (size_t l = 0; l < o.levels.size(); ++l) {
                    if (!(std::fabs(result[i][j]) > sel.thresholds[l])) break;
                    ++counts[i][l];
                }
        });
        for (const auto& c : counts)
            for (size_t l = 0; l < c.size(); ++l) sel.perLevel[l] += c[l];
        return sel;
    }
    // Candidates: a margin below the |r| of the cutoff, so rounding keeps none out.
    const double low = thresholdFor(N, zForAlpha(std::min(cutoff, 0.999)), K) * (1 - 1e-9);

    struct Candidate {
        int i, j;
        double r;
    };
    std::vector<std::vector<Candidate>> rows(static_cast<size_t>(V));
    parallelFor(0, V, 4.0 * V * V, [&](long il) {
        const int i = static_cast<int>(il);
        for (int j = i + 1; j < V; ++j)
            if (std::fabs(result[i][j]) >= low) rows[i].push_back({i, j, result[i][j]});
    });
    std::vector<Candidate> all;
    for (auto& row : rows) {
        all.insert(all.end(), row.begin(), row.end());
        std::vector<Candidate>().swap(row);
    }
    std::vector<double> p(all.size()), q;
    parallelFor(0, static_cast<long>(all.size()), 40.0 * all.size(),
                [&](long k) { p[k] = fisherP(all[k].r, N, K); });
    const long long pairs = static_cast<long long>(V) * (V - 1) / 2;
    benjaminiHochberg(p, pairs, q);

    for (size_t k = 0; k < all.size(); ++k) {
        int level = -1;
        for (size_t l = 0; l < o.levels.size(); ++l) {
            const bool passes = o.levels[l].fdr ? q[k] <= o.levels[l].alpha
                                                : std::fabs(all[k].r) > sel.thresholds[l];
            if (!passes) break;
            level = static_cast<int>(l);
            ++sel.perLevel[l];
        }
        if (level >= 0) sel.edges.push_back({all[k].i, all[k].j, all[k].r, p[k], q[k], level});
    }
    return sel;
}

// The kept coefficients of all pairs in 100 bins over [-1, 1].
Histogram keptHistogram(const Matrix& result, int V)
{
    Histogram h{-1.0, 0.02, std::vector<long long>(100, 0)};
    for (int i = 0; i < V; ++i)
        for (int j = i + 1; j < V; ++j) {
            const double r = result[i][j];
            if (std::isnan(r)) continue;
            const int bin = std::clamp(static_cast<int>((r + 1) / 0.02), 0, 99);
            ++h.counts[bin];
        }
    return h;
}

std::vector<Edge> atLevel(const std::vector<Edge>& edges, int level)
{
    std::vector<Edge> kept;
    for (const Edge& e : edges)
        if (e.level >= level) kept.push_back(e);
    return kept;
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
    Table t;
    {
        std::string bytes;
        const std::string loaded = loadTable(o.table, bytes);
        if (!loaded.empty()) fail(loaded);
        const std::string problem = readTable(bytes, o.reading, t);
        if (!problem.empty()) fail(shownName + ", " + problem);
    }
    for (const std::string& w : t.warnings) showWarning(d, shownName + ": " + w);
    std::vector<std::string> dropped;
    if (!t.droppedGenes.empty()) {
        dropped.push_back(plural(t.droppedGenes.size(), "gene", "genes") +
                          " with missing values: " + someNames(t.droppedGenes));
        showWarning(d, "dropped " + dropped.back());
    }
    if (!t.droppedSamples.empty()) {
        dropped.push_back(plural(t.droppedSamples.size(), "sample", "samples") +
                          " with missing values: " + someNames(t.droppedSamples));
        showWarning(d, "dropped " + dropped.back());
    }
    if (const std::string why = prof ? "" : namesNotUtf8(t.genes, t.samples); !why.empty())
        fail(shownName + ": " + why);
    const int N = static_cast<int>(t.samples.size());
    if (N <= 3 + K)
        fail(shownName + ": " + plural(N, "sample is", "samples are") + " too few for order " +
             std::to_string(K) + ": it needs at least " + std::to_string(4 + K));
    const Names constant = constantGenes(t, !prof);
    if (!constant.empty()) {
        const std::string what = plural(constant.size(), "constant gene", "constant genes") +
                                 " (variance 0): " + someNames(constant);
        if (prof) {
            showWarning(d, what + "; kept, as " + std::string(prof->program) +
                               " keeps them: their coefficients are not numbers");
        } else {
            dropped.push_back(what);
            showWarning(d, "dropped " + what);
        }
    }
    const Names repeated = uniqueNames(t.genes, !prof);
    if (!repeated.empty())
        showWarning(d, plural(repeated.size(), "repeated gene name", "repeated gene names") + " (" +
                           someNames(repeated) + ")" +
                           (prof ? ": kept as they are" : ": made unique with .1, .2, ..."));

    const int V = static_cast<int>(t.genes.size());
    if (V == 0) fail(shownName + ": no genes left to analyse");
    if (const std::string why = o.method.spearman ? "" : valuesOutOfRange(t.values, t.genes, t.samples);
        !why.empty()) {
        if (!prof) fail(shownName + ": " + why + ", or use --method spearman");
        showWarning(d, why + "; kept, as " + std::string(prof->program) + " keeps them");
    }
    if (wants(o, "net") && !prof)
        for (const std::string& name : t.genes)
            if (name.find('"') != std::string::npos)
                fail(shownName + ": gene " + name +
                     " has a double quote in its name, which NET files cannot carry; leave net "
                     "out of --formats or rename the gene");
    bool spaced = false;
    for (const std::string& name : t.genes) {
        if ((wants(o, "sif") || wants(o, "net")) && name.find_first_of("\t\n\r") != std::string::npos)
            fail(shownName + ": gene " + shownText(name) +
                 " holds a tab or a line break, which SIF and NET files cannot carry; leave sif "
                 "and net out of --formats or rename the gene");
        spaced = spaced || name.find(' ') != std::string::npos;
    }
    if (wants(o, "graphml"))
        for (const std::string& name : t.genes)
            if (!xmlText(name))
                fail(shownName + ": gene " + shownText(name) +
                     " holds a control character or is not UTF-8 text, which GraphML cannot "
                     "carry; leave graphml out of --formats or rename the gene");
    const std::string shortfall = memoryShortfall(o.method.spearman, K, V, N);
    if (!shortfall.empty()) fail(shortfall);

    if (lead) {
        makeFolder(o.outDir);
        const std::string locked = lockOutputs(o.outDir, o.prefix);
        if (!locked.empty()) fail(locked);
    }
    std::vector<int> failed;
    job.asked = true;
    if (!agreeToSweep(cluster, true, failed)) throw FailedElsewhere{};

    Matrix obs(N, V);
    for (int g = 0; g < V; ++g)
        for (int s = 0; s < N; ++s) obs[s][g] = t.values[static_cast<size_t>(g) * N + s];
    std::vector<double>().swap(t.values);

    showStage(d, "correlating " + plural(V, "gene", "genes"));
    Matrix result;
    Progress progress;
    const std::string sweep = "partial correlations up to order " + std::to_string(K);
    progress.done = [&](double share) {
        if (d.stage != sweep) showStage(d, sweep);
        showShare(d, share);
    };
    analyseAcross(cluster, o.method, o.kernels, V, N, obs, result, progress);
    job.swept = true;
    if (!lead) return 0;
    obs = Matrix();

    showStage(d, "selecting edges");
    const bool withPQ = o.levels.front().fdr || wants(o, "edges") || wants(o, "graphml") ||
                        wants(o, "html");
    const Selection sel = selectEdges(o, result, V, N, withPQ);

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
            add("_matrix.csv", [&](TextOut& out) { printStuff(V, t.genes, result, out, prof->report); });
        else
            add("_matrix.tsv", [&](TextOut& out) {
                printStuff(V, t.genes, result, out, ReportLayout{"", true, false, true});
            });
    }
    for (int l = 0; l < static_cast<int>(o.levels.size()); ++l) {
        const std::string name = "_network_" + o.levels[l].name;
        if (wants(o, "sif"))
            add(name + ".sif", [&, l](TextOut& out) {
                if (withPQ)
                    writeSif(t.genes, atLevel(sel.edges, l), labels, out);
                else
                    getCytoScapeInput(V, sel.thresholds[l], result, out, t.genes, labels);
            });
    }
    for (int l = 0; l < static_cast<int>(o.levels.size()); ++l) {
        const std::string name = "_network_" + o.levels[l].name;
        if (wants(o, "net"))
            add(name + ".net", [&, l](TextOut& out) {
                if (withPQ)
                    writePajek(t.genes, atLevel(sel.edges, l), out);
                else
                    getPajekInput(V, sel.thresholds[l], result, out, t.genes);
            });
    }
    if (wants(o, "edges"))
        add("_edges.tsv", [&](TextOut& out) { writeEdgeTable(t.genes, sel.edges, levelNames, out); });
    if (wants(o, "graphml"))
        add("_network.graphml", [&](TextOut& out) { writeGraphml(t.genes, sel.edges, out); });
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
                             : "p < " + levelText(lv.alpha) + " (|r| > " + fixed(sel.thresholds[l], 4) + ")";
            rl.edges = sel.perLevel[l];
            rl.threshold = sel.thresholds[l];
            facts.levels.push_back(rl);
        }
        facts.seconds = clockSeconds() - start;
        const Histogram kept = keptHistogram(result, V);
        add("_report.html", [&, kept](TextOut& out) { writeHtmlReport(facts, t.genes, sel.edges, kept, out); });
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
    if (dropped.empty()) s += "dropped   none\n";
    for (const std::string& line : dropped) s += "dropped   " + line + "\n";
    s += "method    " + std::string(o.method.spearman ? "Spearman" : "Pearson") +
         (K == 0 ? std::string(" correlation")
                 : ", partial correlations up to order " + std::to_string(K) + ", pruned below |r| " +
                       fixed(sel.pruneThreshold, 4) + " (p " + levelText(o.pruneAlpha) + ")") +
         "\n";
    for (size_t l = 0; l < o.levels.size(); ++l) {
        const Level& lv = o.levels[l];
        s += "level " + lv.name + ": " +
             (lv.fdr ? "q <= " + levelText(lv.alpha)
                     : "|r| > " + fixed(sel.thresholds[l], 6)) +
             ", " + plural(static_cast<size_t>(sel.perLevel[l]), "edge", "edges") + "\n";
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

std::string levelsOf(const std::vector<double>& values, bool fdr, std::vector<Level>& levels)
{
    levels.clear();
    for (double a : values) {
        if (!(a > 0 && a < 1)) return "a level must lie between 0 and 1, not " + levelText(a);
        Level l;
        l.alpha = a;
        l.fdr = fdr;
        l.name = (fdr ? "q" : "") + levelText(a);
        l.z = fdr ? std::nan("") : zForAlpha(a);
        for (const Level& other : levels)
            if (other.name == l.name) return "level " + levelText(a) + " is given twice";
        levels.push_back(l);
    }
    if (levels.empty()) return "no level given";
    std::stable_sort(levels.begin(), levels.end(),
                     [](const Level& a, const Level& b) { return a.alpha > b.alpha; });
    return "";
}

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

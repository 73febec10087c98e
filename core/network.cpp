// network(): the caller's matrix checked and laid out for the statistics,
// the statistics run, then the edges selected.
#include "network_hooks.h"

#include "genes.h"
#include "parallel.h"
#include "pvalues.h"
#include "selection.h"
#include "table.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <new>
#include <stdexcept>

namespace assocnet {

Data Data::genesInRows(const double* values, long genes, long samples)
{
    Data d;
    d.values = values;
    d.genes = genes;
    d.samples = samples;
    d.geneStride = samples;
    d.sampleStride = 1;
    return d;
}

Data Data::samplesInRows(const double* values, long samples, long genes)
{
    Data d;
    d.values = values;
    d.genes = genes;
    d.samples = samples;
    d.geneStride = 1;
    d.sampleStride = genes;
    return d;
}

Coefficients::Coefficients() = default;
Coefficients::Coefficients(std::unique_ptr<Matrix> store) : store_(std::move(store)) {}
Coefficients::Coefficients(Coefficients&&) noexcept = default;
Coefficients& Coefficients::operator=(Coefficients&&) noexcept = default;
Coefficients::~Coefficients() = default;

long Coefficients::size() const { return store_ ? store_->rows() : 0; }

double Coefficients::at(long i, long j) const
{
    if (i == j) return 1;
    return i < j ? (*store_)[i][j] : (*store_)[j][i];
}

const Matrix& Coefficients::store() const
{
    static const Matrix empty;
    return store_ ? *store_ : empty;
}

}  // namespace assocnet

namespace {

using assocnet::Error;

[[noreturn]] void fail(const std::string& message) { throw Error(message); }

std::string levelText(double alpha)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", alpha);
    return buf;
}

// A level's name in file names: "0.01", or "q0.05" for a false-discovery level.
std::string levelName(double alpha, bool fdr)
{
    std::string name = fdr ? "q" : "";
    name += levelText(alpha);
    return name;
}

void checkCancel(const assocnet::Callbacks& c)
{
    if (c.cancel && c.cancel->load(std::memory_order_relaxed)) throw assocnet::Cancelled();
}

void warn(const assocnet::Callbacks& c, const std::string& text)
{
    if (c.warning) c.warning(text);
}

// The genes and samples of the caller's matrix that the statistics use.
struct Use {
    const assocnet::Data* data = nullptr;
    std::string where;                 // "counts.tsv: " or ""
    std::vector<long> genes, samples;  // indices into the caller's matrix
    Names geneNames, sampleNames;      // of every gene and sample of the matrix
    double value(long g, long s) const
    {
        return data->values[g * data->geneStride + s * data->sampleStride];
    }
};

Names namesOrNumbers(const std::vector<std::string>& given, long n, const char* stem,
                     const char* what)
{
    if (!given.empty() && static_cast<long>(given.size()) != n)
        fail(std::to_string(given.size()) + " " + what + " names for " + std::to_string(n) + " " +
             what + "s");
    if (!given.empty()) return given;
    Names names(static_cast<size_t>(n));
    for (long k = 0; k < n; ++k) names[k] = stem + std::to_string(k);
    return names;
}

Use useOf(const assocnet::Data& d)
{
    if (d.genes < 0 || d.samples < 0) fail("a matrix cannot have a negative number of rows");
    if (d.genes > 0 && d.samples > 0 && !d.values) fail("the matrix holds no values");
    if (d.genes > 2147483647L || d.samples > 2147483647L)
        fail("a matrix of " + std::to_string(d.genes) + " genes and " + std::to_string(d.samples) +
             " samples is too large");
    Use u;
    u.data = &d;
    u.where = d.source.empty() ? "" : d.source + ": ";
    u.geneNames = namesOrNumbers(d.geneNames, d.genes, "g", "gene");
    u.sampleNames = namesOrNumbers(d.sampleNames, d.samples, "s", "sample");
    for (long g = 0; g < d.genes; ++g) u.genes.push_back(g);
    for (long s = 0; s < d.samples; ++s) u.samples.push_back(s);
    return u;
}

// Applies the missing-value policy to the cells that are not numbers;
// refuses infinite values.
void applyMissing(Use& u, assocnet::Missing policy, assocnet::Result& r,
                  const assocnet::Callbacks& c)
{
    const assocnet::Data& d = *u.data;
    std::vector<char> geneMissing(d.genes, 0), sampleMissing(d.samples, 0);
    long long count = 0;
    long firstG = -1, firstS = -1;
    for (long g = 0; g < d.genes; ++g)
        for (long s = 0; s < d.samples; ++s) {
            const double x = u.value(g, s);
            if (std::isinf(x))
                fail(u.where + "gene \"" + u.geneNames[g] + "\", sample \"" + u.sampleNames[s] +
                     "\": the value is infinite");
            if (!std::isnan(x)) continue;
            if (count++ == 0) firstG = g, firstS = s;
            geneMissing[g] = sampleMissing[s] = 1;
        }
    if (count == 0) return;
    if (policy == assocnet::Missing::refuse)
        fail(u.where + plural(count, "missing value", "missing values") +
             " (not a number); the first is gene \"" + u.geneNames[firstG] + "\", sample \"" +
             u.sampleNames[firstS] + "\"; drop the genes or the samples that hold them");
    const bool genes = policy == assocnet::Missing::dropGenes;
    const std::vector<char>& missing = genes ? geneMissing : sampleMissing;
    std::vector<long>& kept = genes ? u.genes : u.samples;
    const Names& names = genes ? u.geneNames : u.sampleNames;
    Names dropped;
    std::vector<long> left;
    for (long k : kept) {
        if (missing[k]) dropped.push_back(names[k]);
        else left.push_back(k);
    }
    kept.swap(left);
    if (genes)
        for (const std::string& n : dropped) r.droppedGenes.push_back({n, "missing values"});
    else
        r.droppedSamples = dropped;
    r.dropped.push_back(plural(dropped.size(), genes ? "gene" : "sample", genes ? "genes" : "samples") +
                        " with missing values: " + someNames(dropped));
    warn(c, "dropped " + r.dropped.back());
}

// Genes whose values are all equal have no variance: their coefficients
// would be not-a-number. Dropped, or under a program's profile only named.
void dropConstant(Use& u, const assocnet::Options& o, assocnet::Result& r,
                  const assocnet::Callbacks& c)
{
    Names constant;
    std::vector<long> left;
    for (long g : u.genes) {
        bool same = true;
        const double first = u.samples.empty() ? 0 : u.value(g, u.samples.front());
        for (size_t k = 1; k < u.samples.size() && same; ++k) same = u.value(g, u.samples[k]) == first;
        if (same) constant.push_back(u.geneNames[g]);
        if (!same || !o.profile.empty()) left.push_back(g);
    }
    if (constant.empty()) return;
    const std::string what = plural(constant.size(), "constant gene", "constant genes") +
                             " (variance 0): " + someNames(constant);
    if (!o.profile.empty()) {
        warn(c, what + "; kept, as " + o.profile + " keeps them: their coefficients are not numbers");
        return;
    }
    u.genes.swap(left);
    for (const std::string& n : constant) r.droppedGenes.push_back({n, "constant"});
    r.dropped.push_back(what);
    warn(c, "dropped " + what);
}

void checkSamples(const Use& u, int order)
{
    const size_t N = u.samples.size();
    if (N > static_cast<size_t>(3 + order)) return;
    fail(u.where + plural(N, "sample", "samples") + (N == 1 ? " is" : " are") +
         " too few for order " + std::to_string(order) + ": it needs at least " +
         std::to_string(4 + order));
}

// The observations as the statistics take them: N rows of V.
Matrix observations(const Use& u)
{
    const long V = static_cast<long>(u.genes.size()), N = static_cast<long>(u.samples.size());
    Matrix obs(N, V);
    parallelFor(0, N, 2.0 * N * V, [&](long s) {
        double* row = obs[s];
        const long at = u.samples[s];
        for (long g = 0; g < V; ++g) row[g] = u.value(u.genes[g], at);
    });
    return obs;
}

// Sets the calling thread's count of threads for the length of a call.
struct ThreadCount {
    int before;
    explicit ThreadCount(int n) : before(threadCount())
    {
        if (n > 0) setThreadCount(n);
    }
    ~ThreadCount() { setThreadCount(before); }
};

double seconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

namespace assocnet {

std::vector<Level> levelsOf(const Options& o)
{
    if (!o.levels.empty()) {
        std::vector<Level> levels = o.levels;
        for (Level& l : levels) {
            if (!(l.alpha > 0 && l.alpha < 1))
                fail("a level must lie between 0 and 1, not " + levelText(l.alpha));
            if (l.name.empty()) l.name = levelName(l.alpha, l.fdr);
            if (l.fdr) l.z = std::nan("");
            else if (l.z == 0) l.z = zForAlpha(l.alpha);
        }
        return levels;
    }
    std::vector<Level> levels;
    for (double a : o.alpha) {
        if (!(a > 0 && a < 1)) fail("a level must lie between 0 and 1, not " + levelText(a));
        Level l;
        l.alpha = a;
        l.fdr = o.fdr;
        l.name = levelName(a, o.fdr);
        l.z = o.fdr ? std::nan("") : zForAlpha(a);
        for (const Level& other : levels)
            if (other.name == l.name) fail("level " + other.name.substr(o.fdr) + " is given twice");
        levels.push_back(l);
    }
    if (levels.empty()) fail("no level given");
    std::stable_sort(levels.begin(), levels.end(),
                     [](const Level& a, const Level& b) { return a.alpha > b.alpha; });
    if (o.order > 0 && levels.front().alpha > o.pruneAlpha)
        fail("level " + levels.front().name + " is looser than the pruning level " +
             levelText(o.pruneAlpha) + ": the sweeps stop offering a pair smaller coefficients "
             "once it is below that level, so an edge at a looser level would not hold its "
             "smallest coefficient; choose a stricter level or raise the pruning level");
    return levels;
}

Result network(const Data& data, const Options& options, const Callbacks& callbacks)
{
    try {
        return runNetwork(data, options, callbacks, NetworkHooks{});
    } catch (const std::bad_alloc&) {
        throw NotEnoughMemory("not enough memory for the matrices of this run");
    } catch (const std::length_error&) {
        throw NotEnoughMemory("not enough memory for the matrices of this run");
    }
}

}  // namespace assocnet

assocnet::Result runNetwork(const assocnet::Data& data, const assocnet::Options& o,
                            const assocnet::Callbacks& c, const NetworkHooks& hooks)
{
    const double start = seconds();
    if (o.order < 0 || o.order > 3) fail("the order must be 0, 1, 2 or 3, not " + std::to_string(o.order));
    if (!(o.pruneAlpha > 0 && o.pruneAlpha < 1)) fail("the pruning level must lie between 0 and 1");
    if (o.threads < 0) fail("the number of threads must be at least 1");
    const ThreadCount threads(o.threads);
    assocnet::Result r;
    r.method = o.method;
    r.order = o.order;
    r.pruneAlpha = o.pruneAlpha;
    r.levels = assocnet::levelsOf(o);

    Use u = useOf(data);
    if (const std::string why = o.profile.empty() ? namesNotUtf8(u.geneNames, u.sampleNames) : "";
        !why.empty())
        fail(u.where + why);
    applyMissing(u, o.missing, r, c);
    checkSamples(u, o.order);
    dropConstant(u, o, r, c);
    for (long g : u.genes) r.genes.push_back(u.geneNames[g]);
    for (long s : u.samples) r.samples.push_back(u.sampleNames[s]);
    const Names repeated = uniqueNames(r.genes, o.profile.empty());
    if (!repeated.empty())
        warn(c, plural(repeated.size(), "repeated gene name", "repeated gene names") + " (" +
                    someNames(repeated) + ")" +
                    (o.profile.empty() ? ": made unique with .1, .2, ..." : ": kept as they are"));
    const int V = static_cast<int>(r.genes.size()), N = static_cast<int>(r.samples.size());
    if (V == 0) fail(u.where + "no genes left to analyse");
    if (const std::string why =
            memoryShortfall(o.method == assocnet::Method::spearman, o.order, V, N);
        !why.empty())
        throw assocnet::NotEnoughMemory(why);
    Matrix obs = observations(u);
    if (const std::string why = o.method == assocnet::Method::pearson
                                    ? valuesOutOfRange(obs.data(), 1, V, r.genes, r.samples)
                                    : "";
        !why.empty()) {
        if (o.profile.empty()) fail(u.where + why + ", or use --method spearman");
        warn(c, why + "; kept, as " + o.profile + " keeps them");
    }
    if (hooks.ready) hooks.ready(r.genes, N);
    checkCancel(c);

    const std::string correlating = "correlating " + plural(V, "gene", "genes");
    if (c.progress) c.progress(correlating, 0);
    const Method method{o.method == assocnet::Method::spearman, o.order,
                        o.pruneAlpha == 0.05 ? 1.96 : zForAlpha(o.pruneAlpha)};
    r.pruneThreshold = thresholdFor(N, method.pruneZ, o.order);
    const std::string sweep = "partial correlations up to order " + std::to_string(o.order);
    Progress progress;
    progress.done = [&](double share) {
        checkCancel(c);
        if (c.progress) c.progress(sweep, share);
    };
    progress.stop = c.cancel;
    auto store = std::make_unique<Matrix>();
    const bool holds = hooks.analyse ? hooks.analyse(method, hooks.kernels, V, N, obs, *store, progress)
                                     : (analyse(method, hooks.kernels, V, N, obs, *store, progress), true);
    obs = Matrix();
    if (!holds) return r;
    checkCancel(c);

    if (o.select != assocnet::Select::none) {
        if (c.progress) c.progress("selecting edges", 0);
        const bool withPQ = o.select == assocnet::Select::edges || r.levels.front().fdr;
        if (withPQ && hooks.edgesInStore)
            selectInPlace(r.levels, *store, V, N, o.order, o.pruneAlpha);
        else
            selectEdges(r.levels, r.edges, *store, V, N, o.order, o.pruneAlpha, withPQ);
    }
    if (o.coefficients) r.coefficients = assocnet::Coefficients(std::move(store));
    r.seconds = seconds() - start;
    return r;
}

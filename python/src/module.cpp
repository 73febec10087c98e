// assocnet._assocnet: network() of the C++ library over a numpy matrix.
//
// The matrix is read in place through its strides. The analysis runs on a
// thread of its own while the calling thread waits with the GIL released, in
// short slices: between them it draws the progress the analysis reported and
// checks for signals, so Ctrl-C cancels the run (the cancel flag, then a join:
// no thread of the run outlives the call) and raises KeyboardInterrupt.
#include <assocnet/assocnet.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

assocnet::Method methodOf(const std::string& name)
{
    if (name == "pearson") return assocnet::Method::pearson;
    if (name == "spearman") return assocnet::Method::spearman;
    throw py::value_error("method must be \"pearson\" or \"spearman\", not \"" + name + "\"");
}

assocnet::Missing missingOf(const std::string& name)
{
    if (name == "refuse") return assocnet::Missing::refuse;
    if (name == "drop-genes") return assocnet::Missing::dropGenes;
    if (name == "drop-samples") return assocnet::Missing::dropSamples;
    throw py::value_error("missing must be \"refuse\", \"drop-genes\" or \"drop-samples\", not \"" +
                          name + "\"");
}

// What the analysis's thread tells the waiting one.
struct Shared {
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    // The progress reported since the last look: each stage begun, with its
    // latest share, so that a stage begun and ended between two looks is drawn too.
    std::vector<std::pair<std::string, double>> reports;
    std::vector<std::string> warnings;
};

// Runs network() on a thread of its own and waits for it; see the top of the
// file. progress (a Python callable or None) gets (stage, share).
assocnet::Result runWaiting(const assocnet::Data& data, const assocnet::Options& options,
                            const py::object& progress, int stacklevel)
{
    Shared shared;
    std::atomic<bool> cancel{false};
    assocnet::Callbacks callbacks;
    callbacks.cancel = &cancel;
    callbacks.progress = [&](std::string_view stage, double share) {
        std::lock_guard<std::mutex> hold(shared.lock);
        if (shared.reports.empty() || shared.reports.back().first != stage)
            shared.reports.emplace_back(stage, share);
        else
            shared.reports.back().second = share;
    };
    callbacks.warning = [&](std::string_view text) {
        std::lock_guard<std::mutex> hold(shared.lock);
        shared.warnings.emplace_back(text);
    };
    assocnet::Result result;
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            result = assocnet::network(data, options, callbacks);
        } catch (...) {
            failure = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> hold(shared.lock);
            shared.done = true;
        }
        shared.finished.notify_all();
    });
    // On the way out, the run is stopped and its thread joined, whatever happened.
    struct Stop {
        std::thread& worker;
        std::atomic<bool>& cancel;
        ~Stop()
        {
            cancel = true;
            py::gil_scoped_release free;
            worker.join();
        }
    } stop{worker, cancel};

    for (;;) {
        bool done;
        std::vector<std::pair<std::string, double>> reports;
        {
            py::gil_scoped_release free;
            std::unique_lock<std::mutex> hold(shared.lock);
            shared.finished.wait_for(hold, std::chrono::milliseconds(20), [&] { return shared.done; });
            done = shared.done;
            reports.swap(shared.reports);
        }
        if (!progress.is_none())
            for (const auto& [stage, share] : reports) progress(stage, share);
        if (done) break;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
    for (const std::string& w : shared.warnings)
        if (PyErr_WarnEx(PyExc_UserWarning, w.c_str(), stacklevel) != 0) throw py::error_already_set();
    if (failure) std::rethrow_exception(failure);
    return result;
}

template <class T>
py::array_t<T> vectorOf(size_t n)
{
    return py::array_t<T>(static_cast<py::ssize_t>(n));
}

// The result as the package's Python side reads it.
py::dict resultDict(assocnet::Result& r)
{
    py::dict d;
    d["genes"] = r.genes;
    d["samples"] = r.samples;
    py::list droppedGenes;
    for (const assocnet::Dropped& g : r.droppedGenes) droppedGenes.append(py::make_tuple(g.name, g.why));
    d["dropped_genes"] = droppedGenes;
    d["dropped_samples"] = r.droppedSamples;
    d["dropped"] = r.dropped;
    d["method"] = r.method == assocnet::Method::spearman ? "spearman" : "pearson";
    d["order"] = r.order;
    d["prune_alpha"] = r.pruneAlpha;
    d["prune_threshold"] = r.pruneThreshold;
    py::list levels;
    for (const assocnet::Level& l : r.levels) {
        py::dict level;
        level["name"] = l.name;
        level["alpha"] = l.alpha;
        level["fdr"] = l.fdr;
        level["threshold"] = l.threshold;
        level["edges"] = l.edges;
        levels.append(level);
    }
    d["levels"] = levels;
    d["seconds"] = r.seconds;

    const size_t n = r.edges.size();
    auto i = vectorOf<std::int32_t>(n), j = vectorOf<std::int32_t>(n);
    auto cr = vectorOf<double>(n), cp = vectorOf<double>(n), cq = vectorOf<double>(n);
    auto level = vectorOf<std::int8_t>(n);
    std::int32_t *pi = i.mutable_data(), *pj = j.mutable_data();
    double *pr = cr.mutable_data(), *pp = cp.mutable_data(), *pq = cq.mutable_data();
    std::int8_t* pl = level.mutable_data();
    const long V = r.coefficients.size();
    py::object coefficients = py::none();
    double* pc = nullptr;
    if (V > 0) {
        auto m = py::array_t<double>({V, V});
        pc = m.mutable_data();
        coefficients = m;
    }
    {
        py::gil_scoped_release free;
        for (size_t k = 0; k < n; ++k) {
            const assocnet::Edge& e = r.edges[k];
            pi[k] = e.i, pj[k] = e.j, pr[k] = e.r, pp[k] = e.p, pq[k] = e.q;
            pl[k] = static_cast<std::int8_t>(e.level);
        }
        std::vector<assocnet::Edge>().swap(r.edges);
        // The upper triangle row by row, then mirrored a tile at a time.
        for (long a = 0; a < V; ++a) {
            pc[a * V + a] = 1;
            for (long b = a + 1; b < V; ++b) pc[a * V + b] = r.coefficients.at(a, b);
        }
        constexpr long tile = 64;
        for (long a0 = 0; a0 < V; a0 += tile)
            for (long b0 = a0; b0 < V; b0 += tile)
                for (long a = a0; a < std::min(a0 + tile, V); ++a)
                    for (long b = std::max(b0, a + 1); b < std::min(b0 + tile, V); ++b)
                        pc[b * V + a] = pc[a * V + b];
        r.coefficients = assocnet::Coefficients();
    }
    d["i"] = i;
    d["j"] = j;
    d["r"] = cr;
    d["p"] = cp;
    d["q"] = cq;
    d["level"] = level;
    d["coefficients"] = coefficients;
    return d;
}

// values: a 2-D float64 array, genes along axis genesAxis, its strides whole
// elements. edges: the edges with p and q; else only the count of each level.
py::dict network(const py::array& values, int genesAxis, std::vector<std::string> geneNames,
                 std::vector<std::string> sampleNames, const std::string& method, int order,
                 std::vector<double> alpha, bool fdr, double pruneAlpha, const std::string& missing,
                 int threads, bool edges, bool coefficients, const py::object& progress,
                 int stacklevel)
{
    if (!py::isinstance<py::array_t<double>>(values) || values.ndim() != 2)
        throw py::type_error("the matrix must be a 2-D array of float64");
    if (genesAxis != 0 && genesAxis != 1) throw py::value_error("the genes' axis must be 0 or 1");
    const auto itemsize = static_cast<py::ssize_t>(sizeof(double));
    if (values.strides(0) % itemsize != 0 || values.strides(1) % itemsize != 0)
        throw py::value_error("the matrix's strides must be whole numbers of values");
    assocnet::Data data;
    data.values = static_cast<const double*>(values.data());
    data.genes = values.shape(genesAxis);
    data.samples = values.shape(1 - genesAxis);
    data.geneStride = values.strides(genesAxis) / itemsize;
    data.sampleStride = values.strides(1 - genesAxis) / itemsize;
    data.geneNames = std::move(geneNames);
    data.sampleNames = std::move(sampleNames);

    assocnet::Options options;
    options.method = methodOf(method);
    options.order = order;
    options.alpha = std::move(alpha);
    options.fdr = fdr;
    options.pruneAlpha = pruneAlpha;
    options.missing = missingOf(missing);
    options.threads = threads;
    options.select = edges ? assocnet::Select::edges : assocnet::Select::counts;
    options.coefficients = coefficients;
    assocnet::Result r = runWaiting(data, options, progress, stacklevel);
    return resultDict(r);
}

}  // namespace

PYBIND11_MODULE(_assocnet, m)
{
    m.doc() = "network() of the assocnet C++ library over a numpy matrix";
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const assocnet::NotEnoughMemory& e) {
            PyErr_SetString(PyExc_MemoryError, e.what());
        } catch (const assocnet::Error& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        }
    });
    m.def("network", &network, py::arg("values"), py::arg("genes_axis"), py::arg("gene_names"),
          py::arg("sample_names"), py::arg("method"), py::arg("order"), py::arg("alpha"),
          py::arg("fdr"), py::arg("prune_alpha"), py::arg("missing"), py::arg("threads"),
          py::arg("edges"), py::arg("coefficients"), py::arg("progress"), py::arg("stacklevel"));
}

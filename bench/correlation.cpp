// correlation-bench: the correlation step of a run (centring, the sums of
// every pair, the division) on a matrix already in memory, as Google
// Benchmark cases, for comparison with other libraries in one run.
//
//   correlation-bench MATRIX GENES SAMPLES [Google Benchmark options]
//
// MATRIX holds GENES x SAMPLES doubles, gene after gene, in the machine's
// byte order (numpy's `tofile` of a C-ordered array). Every iteration starts
// from a fresh copy of the observations, made outside the timed part, after
// one untimed run.
#include "core.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

Matrix observations;  // samples x genes
int genes = 0, samples = 0;

void correlation(benchmark::State& state, bool spearman)
{
    const Method method{spearman, 0};
    for (auto _ : state) {
        state.PauseTiming();
        Matrix obs = observations, store;
        state.ResumeTiming();
        correlate(method, genes, samples, obs, store);
        benchmark::DoNotOptimize(store.data());
        state.PauseTiming();
        obs = Matrix();
        store = Matrix();
        state.ResumeTiming();
    }
    state.counters["multiply-adds/s"] = benchmark::Counter(
        0.5 * genes * (genes + 1.0) * samples, benchmark::Counter::kIsIterationInvariantRate);
}

bool load(const char* path)
{
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    std::vector<double> row(static_cast<size_t>(samples));
    observations = Matrix(samples, genes);
    bool ok = true;
    for (int g = 0; g < genes && ok; ++g) {
        ok = std::fread(row.data(), sizeof(double), row.size(), f) == row.size();
        for (int s = 0; s < samples && ok; ++s) observations[s][g] = row[s];
    }
    std::fclose(f);
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: correlation-bench MATRIX GENES SAMPLES [benchmark options]\n");
        return 2;
    }
    genes = std::atoi(argv[2]);
    samples = std::atoi(argv[3]);
    if (genes < 1 || samples < 2 || !load(argv[1])) {
        std::fprintf(stderr, "correlation-bench: cannot read %d x %d doubles from %s\n", genes,
                     samples, argv[1]);
        return 1;
    }
    {
        // A first run, untimed: the threads start and the allocator grows.
        Matrix obs = observations, store;
        correlate(Method{}, genes, samples, obs, store);
    }
    benchmark::RegisterBenchmark("pearson", correlation, false)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("spearman", correlation, true)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}

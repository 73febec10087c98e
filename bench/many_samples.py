#!/usr/bin/env python3
"""Times the correlation step for many samples against numpy, in one run.

A synthetic table of GENES x SAMPLES (1,500 x 20,000 by default: genes in
modules that share a few random profiles, plus noise) is made once in the work
folder, as raw doubles and as the tab-separated table the command reads.
Rounds then alternate, each timing:
- numpy's `np.corrcoef` of the matrix in memory, its second call (a fresh interpreter with
  OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset, so that OpenBLAS picks its
  kernel for this processor; Debian's libopenblas0-pthread is installed for
  it when missing);
- the library's correlation step on the same matrix in memory
  (correlation-bench, Pearson and Spearman, also after a first call);
- `assocnet -k 0 -f edges` and `assocnet -k 1 -f edges` on the table file,
  with their peak memory, and the reading of the table alone (`assocnet
  --top-variable 2`, which reads every value and correlates two genes).

    many_samples.py --bin BUILD_DIR [--genes 1500] [--samples 20000] [--reps 3]
                    [--work DIR]

BUILD_DIR is a build made with -DASSOCNET_BENCH=ON (bench/run.sh makes one).
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

NUMPY_CHILD = r"""
import sys, time
import numpy as np
genes, samples = int(sys.argv[2]), int(sys.argv[3])
x = np.fromfile(sys.argv[1], dtype=np.float64).reshape(genes, samples)
blas = [l.split()[-1] for l in open("/proc/self/maps") if "blas" in l]
np.corrcoef(x)  # a first call, untimed: OpenBLAS starts its threads and buffers
t = time.perf_counter()
np.corrcoef(x)
print(time.perf_counter() - t, sorted(set(blas))[0] if blas else "no BLAS library")
"""


def make(work, genes, samples):
    import numpy as np
    raw = os.path.join(work, "matrix-%dx%d.f64" % (genes, samples))
    table = os.path.join(work, "table-%dx%d.txt" % (genes, samples))
    if os.path.exists(raw) and os.path.exists(table):
        return raw, table
    rng = np.random.default_rng(20261209)
    profiles = rng.standard_normal((40, samples))
    module = rng.integers(0, 40, genes)
    x = 0.6 * profiles[module] + rng.standard_normal((genes, samples))
    x = np.round(5 + x, 5)
    with open(table, "w") as f:
        f.write("gene\t" + "\t".join("s%d" % s for s in range(samples)) + "\n")
        for g in range(genes):
            f.write("g%d\t" % g + "\t".join("%.5f" % v for v in x[g]) + "\n")
    x.tofile(raw)
    return raw, table


def numpy_time(raw, genes, samples):
    env = {k: v for k, v in os.environ.items() if k not in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")}
    out = subprocess.run([sys.executable, "-c", NUMPY_CHILD, raw, str(genes), str(samples)],
                         env=env, check=True, capture_output=True, text=True).stdout.split()
    return float(out[0]), out[1]


def library_times(bench, raw, genes, samples):
    out = subprocess.run([bench, raw, str(genes), str(samples), "--benchmark_format=csv"],
                         check=True, capture_output=True, text=True).stdout
    times = {}
    for line in out.splitlines():
        cells = line.split(",")
        name = cells[0].strip('"').split("/")[0]
        if name in ("pearson", "spearman"):
            times[name] = float(cells[2]) / 1e3  # real_time, ms
    return times


def command_time(args):
    start = time.perf_counter()
    proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    if status != 0:
        sys.exit("many_samples.py: %s failed: %s" % (" ".join(args), proc.stderr.read().decode()))
    return time.perf_counter() - start, usage.ru_maxrss / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", required=True)
    parser.add_argument("--genes", type=int, default=1500)
    parser.add_argument("--samples", type=int, default=20000)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--work")
    a = parser.parse_args()
    work = a.work or os.path.join(a.bin, "many-samples")
    os.makedirs(work, exist_ok=True)
    if not os.path.exists("/usr/lib/x86_64-linux-gnu/openblas-pthread"):
        subprocess.run(["apt-get", "install", "-y", "-qq", "--no-install-recommends",
                        "libopenblas0-pthread"], check=True, stdout=subprocess.DEVNULL)
    raw, table = make(work, a.genes, a.samples)
    bench = os.path.join(a.bin, "bench", "correlation-bench")
    command = os.path.join(a.bin, "assocnet")
    cases = {
        "read the table": [command, "-q", "--top-variable", "2", "-k", "0", "-f", "edges", "-o", work,
                           "-p", "run", table],
        "assocnet -k 0 -f edges": [command, "-q", "-k", "0", "-f", "edges", "-o", work, "-p", "run", table],
        "assocnet -k 1 -f edges": [command, "-q", "-k", "1", "-f", "edges", "-o", work, "-p", "run", table],
    }
    seen = {k: [] for k in ["numpy corrcoef", "pearson", "spearman"] + list(cases)}
    memory = {k: 0.0 for k in cases}
    blas = ""
    for _ in range(a.reps):
        t, blas = numpy_time(raw, a.genes, a.samples)
        seen["numpy corrcoef"].append(t)
        for k, v in library_times(bench, raw, a.genes, a.samples).items():
            seen[k].append(v)
        for k, args in cases.items():
            t, peak = command_time(args)
            seen[k].append(t)
            memory[k] = max(memory[k], peak)
    for name in os.listdir(work):
        if name.startswith("run_"):
            os.remove(os.path.join(work, name))
    base = statistics.median(seen["numpy corrcoef"])
    print("%d genes x %d samples, %d rounds, medians; numpy on %s" % (a.genes, a.samples, a.reps, blas))
    print("| case | seconds | against numpy | peak MiB |")
    print("|---|---|---|---|")
    for k, times in seen.items():
        m = statistics.median(times)
        label = {"pearson": "correlation step, Pearson (in memory)",
                 "spearman": "correlation step, Spearman (in memory)"}.get(k, k)
        print("| %s | %.3f | %.2fx | %s |" % (label, m, m / base,
                                              "%.0f" % memory[k] if k in memory else ""))


if __name__ == "__main__":
    main()

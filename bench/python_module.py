"""Times the Python module against the command at order 1, in one run: the
command reads the table file and writes its edge table (assocnet -q -f edges),
the module gets the same table as a DataFrame already in memory and returns
the edge DataFrame. The two alternate, each first in every other round.

    python_module.py --bin BUILD_DIR --data FOLDER [--reps N]

FOLDER holds leukemia-1000.txt and leukemia-full.txt.gz (12,625 genes). For
the module it prints the wall time of network(), the time of the statistics
in it (the library's own clock, attrs["seconds"]) and the share of the call
spent outside them; for both, the peak memory of the process (for the module
also the memory before the call, the DataFrame and the interpreter, and the
peak above it). It checks that the module's edges are the command's, bit for
bit.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

CASES = [("leukemia-1000.txt", 1000), ("leukemia-full.txt.gz", 12625)]

# Runs in a fresh interpreter: loads the table, resets the peak memory, then
# times the call.
CHILD = r"""
import json, resource, sys, time
import numpy as np, pandas as pd
import assocnet
table, edges_file = sys.argv[1], sys.argv[2]
frame = pd.read_csv(table, sep="\t", index_col=0, float_precision="round_trip")
def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1]) / 1024
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS:")
start = time.monotonic()
edges = assocnet.network(frame, order=1, progress=False)
wall = time.monotonic() - start
peak = status("VmHWM:")
expected = pd.read_csv(edges_file, sep="\t", float_precision="round_trip", keep_default_na=False,
                       dtype={"source": str, "target": str, "level": str})
same = (len(edges) == len(expected) and list(edges.source) == list(expected.source)
        and list(edges.target) == list(expected.target)
        and list(edges.level.astype(str)) == list(expected.level)
        and all(np.array_equal(edges[c].to_numpy().view(np.int64),
                               expected[c].to_numpy(dtype=np.float64).view(np.int64))
                for c in ("r", "p", "q")))
print(json.dumps({"wall": wall, "seconds": edges.attrs["seconds"], "before": before,
                  "peak": peak, "same": same, "edges": len(edges)}))
"""


def command(build, table, out):
    os.makedirs(out, exist_ok=True)
    rss = os.path.join(out, ".rss")
    argv = ["/usr/bin/time", "-f", "%M", "-o", rss, os.path.join(build, "assocnet"), "-q", "-f",
            "edges", "-k", "1", "-o", out, "-p", "run", table]
    start = time.monotonic()
    p = subprocess.run(argv, capture_output=True, text=True)
    seconds = time.monotonic() - start
    if p.returncode != 0:
        sys.exit("%s failed: %s" % (" ".join(argv), p.stderr))
    return seconds, int(open(rss).read().split()[-1]) / 1024


def module(build, table, edges_file):
    env = dict(os.environ, PYTHONPATH=os.path.join(build, "python"))
    p = subprocess.run([sys.executable, "-c", CHILD, table, edges_file], capture_output=True,
                       text=True, env=env)
    if p.returncode != 0:
        sys.exit("the module failed on %s: %s" % (table, p.stderr))
    return json.loads(p.stdout)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", required=True)
    ap.add_argument("--data", required=True)
    ap.add_argument("--reps", type=int, default=3)
    a = ap.parse_args()
    build = os.path.abspath(a.bin)
    work = tempfile.mkdtemp(prefix="assocnet-bench-python-")
    ok = True
    print("%6s %8s %9s %9s %10s %10s %9s %9s %9s %9s  %s" %
          ("V", "edges", "cmd s", "module s", "stats s", "outside %", "cmd MiB", "mod MiB",
           "before", "above", "edges"))
    for name, V in CASES:
        table = os.path.join(a.data, name)
        if not os.path.exists(table):
            continue
        cmd, mod = [], []
        reference = os.path.join(work, "%d-0" % V, "run_edges.tsv")  # the first command's
        for rep in range(a.reps):
            out = os.path.join(work, "%d-%d" % (V, rep))
            runs = [lambda: cmd.append(command(build, table, out)),
                    lambda: mod.append(module(build, table, reference))]
            for run in runs if rep % 2 == 0 else runs[::-1]:
                run()
        same = all(m["same"] for m in mod)
        ok = ok and same
        med = statistics.median
        wall, stats = med(m["wall"] for m in mod), med(m["seconds"] for m in mod)
        print("%6d %8d %9.2f %9.2f %10.2f %10.2f %9.0f %9.0f %9.0f %9.0f  %s" % (
            V, mod[0]["edges"], med(c[0] for c in cmd), wall, stats,
            100 * med((m["wall"] - m["seconds"]) / m["wall"] for m in mod),
            med(c[1] for c in cmd), med(m["peak"] for m in mod), med(m["before"] for m in mod),
            med(m["peak"] - m["before"] for m in mod), "identical" if same else "DIFFER"))
        sys.stdout.flush()
    sys.exit(0 if ok else 1)


main()

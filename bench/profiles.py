"""Times assocnet --profile against each of the seven programs on the same
table, in one run: the two alternate, each first in every other round, each
in a fresh folder;
prints the median wall time and peak memory of each and their ratio, and
checks that the seven files of both are byte-identical.

    profiles.py --bin BUILD_DIR --data TABLE [--reps N] [--filter TEXT]

The cases are those of the benchmark: the first V genes of the table.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

CASES = [("pearson0th", 1000), ("spearman0th", 1000), ("pearson1st", 1000), ("spearman1st", 1000),
         ("pearson2nd", 200), ("spearman2nd", 200), ("pearson3rd", 100)]
SUFFIXES = ["_matrix.csv", "_network_0.01.sif", "_network_0.001.sif", "_network_0.0001.sif",
            "_network_0.01.net", "_network_0.001.net", "_network_0.0001.net"]


def timed(argv, cwd, stdin):
    # GNU time reports the program's own peak memory (a child forked from
    # Python would count Python's pages too).
    rss = os.path.join(cwd, ".rss")
    argv = ["/usr/bin/time", "-f", "%M", "-o", rss] + argv
    start = time.monotonic()
    p = subprocess.Popen(argv, cwd=cwd, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE)
    p.stdin.write(stdin)
    p.stdin.close()
    status = p.wait()
    seconds = time.monotonic() - start
    err = p.stderr.read().decode(errors="replace")
    if status != 0:
        sys.exit("%s failed: %s" % (" ".join(argv), err))
    return seconds, int(open(rss).read().split()[-1]) / 1024


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", required=True)
    ap.add_argument("--data", required=True)
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--filter", default="")
    a = ap.parse_args()
    build = os.path.abspath(a.bin)
    lines = open(a.data).read().split("\n")
    work = tempfile.mkdtemp(prefix="assocnet-bench-")
    ok = True
    print("%-12s %5s %10s %10s %7s %9s %9s  %s" %
          ("program", "V", "program s", "assocnet s", "ratio", "prog MiB", "anet MiB", "files"))
    for program, V in CASES:
        if a.filter and a.filter not in program:
            continue
        prefix = ("Pearson" if program.startswith("pearson") else "Spearman") + program[-3:]
        N = len(lines[0].split("\t")) - 1
        times = {"program": [], "assocnet": []}
        memory = {"program": [], "assocnet": []}
        first = {}
        for rep in range(a.reps):
            for who in ("program", "assocnet") if rep % 2 == 0 else ("assocnet", "program"):
                folder = os.path.join(work, "%s-%s-%d" % (program, who, rep))
                os.makedirs(folder)
                with open(os.path.join(folder, "data.txt"), "w") as f:
                    f.write("\n".join(lines[:V + 1]) + "\n")
                if who == "program":
                    s, m = timed([os.path.join(build, program)], folder, b"%d %d\n" % (V, N))
                else:
                    s, m = timed([os.path.join(build, "assocnet"), "-q", "--profile", program,
                                  "data.txt"], folder, b"")
                times[who].append(s)
                memory[who].append(m)
                files = [open(os.path.join(folder, prefix + x), "rb").read() for x in SUFFIXES]
                first.setdefault(who, files)
                shutil.rmtree(folder)
        same = first["program"] == first["assocnet"]
        ok = ok and same
        tp, ta = statistics.median(times["program"]), statistics.median(times["assocnet"])
        print("%-12s %5d %10.3f %10.3f %7.2f %9.1f %9.1f  %s" %
              (program, V, tp, ta, ta / tp, max(memory["program"]), max(memory["assocnet"]),
               "identical" if same else "DIFFER"))
    shutil.rmtree(work)
    sys.exit(0 if ok else 1)


main()

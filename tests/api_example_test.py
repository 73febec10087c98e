"""The public API gives the command's edges: api-example prints, byte for
byte, the edge table that assocnet writes for the same table, at every order
and for both methods, on the shipped example and on the 1000-gene table of
the shared data folder beside the checkout. Order 3 takes its first 300
genes, and so does every order in the sanitizer build: on a processor without
AVX-512 one third-order run on 1000 genes takes minutes.

Run with the build folder as the only argument.
"""
import os
import subprocess
import sys
import tempfile

BUILD = os.path.abspath(sys.argv[1])
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLE = os.path.join(ROOT, "examples", "data.txt")
BIG = os.path.join(ROOT, "..", "shared", "data", "leukemia-1000.txt")
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL", what)


def sanitized():
    with open(os.path.join(BUILD, "CMakeCache.txt")) as f:
        return "ASSOCNET_SANITIZE:BOOL=ON" in f.read()


def compare(table, order, method, work):
    out = os.path.join(work, "%s%d" % (method, order))
    p = subprocess.run([os.path.join(BUILD, "assocnet"), "-q", "-f", "edges", "-k", str(order),
                        "-m", method, "-o", out, "-p", "run", table], capture_output=True)
    check(p.returncode == 0, "assocnet -k %d -m %s %s: %r" % (order, method, table, p.stderr))
    api = subprocess.run([os.path.join(BUILD, "api-example"), table, str(order), method],
                         capture_output=True)
    check(api.returncode == 0, "api-example %s %d %s: %r" % (table, order, method, api.stderr))
    with open(os.path.join(out, "run_edges.tsv"), "rb") as f:
        expected = f.read()
    check(api.stdout == expected and expected.count(b"\n") > 1,
          "api-example %s %d %s prints the command's edge table (%d and %d bytes)"
          % (os.path.basename(table), order, method, len(api.stdout), len(expected)))


def main():
    work = tempfile.mkdtemp(prefix="assocnet-api-")
    tables = [EXAMPLE]
    if os.path.exists(BIG):
        tables.append(BIG)
    else:
        print("note: %s not found; the 1000-gene runs are not checked" % BIG)
    small = os.path.join(work, "g300.tsv")
    if len(tables) > 1:
        with open(BIG) as f, open(small, "w") as g:
            g.writelines(line for _, line in zip(range(301), f))
        if sanitized():
            tables[1] = small
    for table in tables:
        for method in ("pearson", "spearman"):
            for order in range(4):
                compare(small if table == BIG and order == 3 else table, order, method, work)
    bad = subprocess.run([os.path.join(BUILD, "api-example"), EXAMPLE, "4"], capture_output=True)
    check(bad.returncode == 2 and b"usage" in bad.stderr, "an order of 4 gets the usage line")
    missing = subprocess.run([os.path.join(BUILD, "api-example"), os.path.join(work, "none.tsv"), "1"],
                             capture_output=True)
    check(missing.returncode == 1 and b"No such file or directory" in missing.stderr,
          "a missing table gets the system's reason")


main()
print("api example: all checks passed" if not failures else "api example: %d failures" % len(failures))
sys.exit(1 if failures else 0)

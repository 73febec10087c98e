"""End-to-end runs of assocnet.

- Every table form a user may have, made here from the shipped example, is
  read to the same numbers as the plain table (values far from 1 to the
  same edges), or refused with its message.
- --profile gives the files of each of the seven programs byte for byte.
- p and q of a run agree with an independent computation (scipy).
- GraphML and NET files are read back by networkx and igraph, the edge table
  and the matrix by pandas and R, names intact.
- A run that is interrupted or fails on a full disk leaves the earlier files
  as they were and no temporary file; a second run of one prefix in one
  folder stops at once, naming the first.
- Files of the prefix that a run did not write are named, or removed with --clean.

Run with the build folder as the only argument.
"""
import csv
import gzip
import math
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

BUILD = os.path.abspath(sys.argv[1])
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLE = os.path.join(ROOT, "examples", "data.txt")
BIG = os.path.join(ROOT, "..", "shared", "data", "leukemia-1000.txt")
ASSOCNET = os.path.join(BUILD, "assocnet")
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL", what)


def scratch():
    return tempfile.mkdtemp(prefix="assocnet-test-")


def assocnet(*args, cwd=None, stdin=None, env=None):
    p = subprocess.run([ASSOCNET, *args], cwd=cwd, input=stdin, capture_output=True, env=env)
    return p.returncode, p.stdout.decode(errors="replace"), p.stderr.decode(errors="replace")


def lines_of(path):
    with open(path, encoding="utf-8") as f:
        return f.read().split("\n")


EX = [l.split("\t") for l in lines_of(EXAMPLE) if l]
GENES = [row[0] for row in EX[1:]]
SAMPLES = EX[0][1:]


def write(folder, name, data):
    path = os.path.join(folder, name)
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())
    return path


def tsv(rows, sep="\t", end="\n"):
    return end.join(sep.join(r) for r in rows) + end


def quoted(s):
    return '"' + s.replace('"', '""') + '"'


def tsv_rows(path):
    """The fields of a tab-separated file, quoted fields as CSV reads them."""
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.reader(f, delimiter="\t"))


# --- table forms ------------------------------------------------------------------

def table_forms():
    w = scratch()
    plain = write(w, "plain.txt", tsv(EX))
    code, out, err = assocnet("-q", "-f", "edges,matrix", "-o", os.path.join(w, "ref"), plain)
    check(code == 0, "plain table: status %d, %s" % (code, err))
    ref = open(os.path.join(w, "ref", "Pearson1st_edges.tsv")).read()
    ref_matrix = open(os.path.join(w, "ref", "Pearson1st_matrix.tsv")).read()

    rows_t = [[EX[0][0]] + GENES] + [[SAMPLES[s]] + [EX[g + 1][s + 1] for g in range(len(GENES))]
                                     for s in range(len(SAMPLES))]
    with_na = [r[:] for r in EX]
    with_na[3][5] = "#N/A"     # gene 3, sample 5
    with_na[7][9] = ""         # gene 7, sample 9
    with_na[7][1] = "none"
    same = {
        "csv.csv": tsv([[quoted(x) for x in r] for r in EX], sep=","),
        "gzip.dat": gzip.compress(tsv(EX).encode(), mtime=0),
        "nocorner.txt": tsv([EX[0][1:]] + EX[1:]),
        "comments.txt": "# exported 2026\n! note\n# " + "x" * 5000 + "\n" + tsv(EX[:1]) + "\n" + tsv(EX[1:]),
        "geo.txt": "!Series_title\t\"ALL\"\n!series_matrix_table_begin\n" +
                   tsv([[quoted(x) for x in EX[0]]] + [[quoted(r[0])] + r[1:] for r in EX[1:]]) +
                   "!series_matrix_table_end\n",
        "bom.txt": b"\xef\xbb\xbf" + tsv(EX).encode(),
        "crlf.txt": tsv(EX, end="\r\n"),
        "spaces.txt": tsv(EX, sep="  "),
        "trailing-tabs.txt": tsv(EX, end="\t\r\n"),
        "european.csv": tsv([[x.replace(".", ",") for x in r] for r in EX], sep=";"),
        "scaled-1e20.txt": tsv([EX[0]] + [[r[0]] + [x + "e20" for x in r[1:]] for r in EX[1:]]),
        "scaled-1e-20.txt": tsv([EX[0]] + [[r[0]] + [x + "e-20" for x in r[1:]] for r in EX[1:]]),
    }
    for name, data in same.items():
        path = write(w, name, data)
        out_dir = os.path.join(w, "out-" + name)
        code, out, err = assocnet("-q", "-f", "edges,matrix", "-o", out_dir, path)
        check(code == 0, "%s: status %d, %s" % (name, code, err))
        if code == 0 and name.startswith("scaled"):
            got = [l.split("\t") for l in lines_of(os.path.join(out_dir, "Pearson1st_edges.tsv")) if l]
            want = [l.split("\t") for l in ref.split("\n") if l]
            check([e[:2] for e in got] == [e[:2] for e in want] and
                  all(abs(float(a[2]) - float(b[2])) < 1e-12 for a, b in zip(got[1:], want[1:])),
                  "%s: the edges of the plain table, r within 1e-12" % name)
        elif code == 0:
            got = open(os.path.join(out_dir, "Pearson1st_edges.tsv")).read()
            check(got == ref, "%s: edges differ from the plain table's" % name)

    # Standard input, and any thread count: the same files.
    code, out, err = assocnet("-q", "-f", "edges,matrix", "-t", "1", "-o", os.path.join(w, "stdin"), "-",
                              stdin=tsv(EX).encode())
    check(code == 0 and open(os.path.join(w, "stdin", "Pearson1st_edges.tsv")).read() == ref
          and open(os.path.join(w, "stdin", "Pearson1st_matrix.tsv")).read() == ref_matrix,
          "standard input on one thread: %d %s" % (code, err))

    path = write(w, "transposed.txt", tsv(rows_t))
    code, out, err = assocnet("-q", "-f", "edges", "--samples-in-rows", "-o", os.path.join(w, "t"), path)
    check(code == 0 and open(os.path.join(w, "t", "Pearson1st_edges.tsv")).read() == ref,
          "samples in rows: %d %s" % (code, err))

    # Missing values: refused by default, or the genes or samples dropped.
    path = write(w, "na.txt", tsv(with_na))
    code, out, err = assocnet("-q", "-o", os.path.join(w, "na"), path)
    check(code == 1 and "3 missing values" in err and "--missing drop-genes" in err
          and "line 4" in err, "NA refused: %d %s" % (code, err))
    code, out, err = assocnet("-f", "edges", "--missing", "drop-genes", "-o", os.path.join(w, "na"), path)
    check(code == 0 and "48 genes x 128 samples" in out, "drop-genes: %d %s %s" % (code, out, err))
    code, out, err = assocnet("-f", "edges", "--missing", "drop-samples", "-o", os.path.join(w, "na"), path)
    check(code == 0 and "50 genes x 125 samples" in out, "drop-samples: %d %s %s" % (code, out, err))

    # The options of the header and of the names' encoding.
    no_header = write(w, "no-header.txt", tsv(EX[1:]))
    code, out, err = assocnet("-q", "--no-header", "-f", "edges", "-o", os.path.join(w, "nh"), no_header)
    check(code == 0 and open(os.path.join(w, "nh", "Pearson1st_edges.tsv")).read() == ref,
          "--no-header: %d %s" % (code, err))
    latin = [r[:] for r in EX]
    latin[1][0], latin[2][0] = "M\xfcller-1", "\u2013x"
    path = write(w, "cp1252.txt", tsv(latin).encode("cp1252"))
    code, out, err = assocnet("-q", "-o", os.path.join(w, "cp"), path)
    check(code == 1 and err.count("\n") == 1 and "2 names are not UTF-8" in err and "\\xfc" in err
          and "iconv -f WINDOWS-1252 -t UTF-8" in err, "cp1252 names refused: %d %s" % (code, err))
    code, out, err = assocnet("-q", "--encoding", "cp1252", "-f", "edges,matrix", "-o", os.path.join(w, "cp"), path)
    header = lines_of(os.path.join(w, "cp", "Pearson1st_matrix.tsv"))[0].split("\t") if code == 0 else []
    check(header[1:3] == ["M\xfcller-1", "\u2013x"], "--encoding cp1252: %d %s %s" % (code, err, header[1:3]))

    refused = {
        "ragged.txt": (tsv(EX[:5]) + "\t".join(EX[5][:-1]) + "\n" + tsv(EX[6:]), "line 6"),
        "no-header.txt": (tsv(EX[1:]), "line 1: the first line could be the name line or a gene line"),
        "utf16.txt": (("\ufeff" + tsv(EX[:4])).encode("utf-16-le"), "UTF-16"),
        "zip.xlsx": (b"PK\x03\x04" + b"\x00" * 200, "zip"),
        "empty.txt": ("", "empty"),
    }
    for name, (data, words) in refused.items():
        path = write(w, name, data)
        code, out, err = assocnet("-q", "-o", os.path.join(w, "refused"), path)
        check(code == 1 and words in err and err.count("\n") == 1 and err.startswith("assocnet: " + path),
              "%s: status %d, message %r" % (name, code, err))
    check(not os.path.exists(os.path.join(w, "refused", "Pearson1st_edges.tsv")),
          "a refused table leaves no files")

    # Degenerate tables: a constant gene is dropped, repeated names made unique.
    rows = [r[:] for r in EX]
    rows[2] = [rows[2][0]] + ["5"] * len(SAMPLES)
    rows[4][0] = rows[3][0]
    path = write(w, "degenerate.txt", tsv(rows))
    code, out, err = assocnet("-f", "edges,matrix", "-o", os.path.join(w, "deg"), path)
    check(code == 0 and "constant gene" in err and "repeated gene name" in err and "49 genes" in out,
          "degenerate table: %d %s %s" % (code, out, err))
    header = open(os.path.join(w, "deg", "Pearson1st_matrix.tsv")).readline().rstrip("\n").split("\t")
    check(header[3] == rows[3][0] + ".1" and "nan" not in open(os.path.join(w, "deg", "Pearson1st_matrix.tsv")).read(),
          "repeated name made unique, no nan: %s" % header[:4])
    code, out, err = assocnet("-q", "-k", "1", path_small(w), "-o", os.path.join(w, "few"))
    check(code == 1 and "at least 5" in err, "too few samples refused: %d %s" % (code, err))
    code, out, err = assocnet("-k", "1", "-a", "0.1", EXAMPLE)
    check(code == 2 and "pruning" in err, "a level looser than the pruning level: %d %s" % (code, err))
    shutil.rmtree(w)


def path_small(w):
    return write(w, "four.txt", tsv([r[:5] for r in EX]))


# --- the seven programs' files ------------------------------------------------------

PROGRAMS = ["pearson0th", "pearson1st", "pearson2nd", "pearson3rd", "spearman0th", "spearman1st", "spearman2nd"]
LEGACY = ["_matrix.csv", "_network_0.01.sif", "_network_0.001.sif", "_network_0.0001.sif",
          "_network_0.01.net", "_network_0.001.net", "_network_0.0001.net"]


def profiles():
    w = scratch()
    rows = [r[:] for r in EX[:26]]
    rows[1][0] = "38355-at-x"  # the programs drop the first dash
    table = write(w, "data.txt", tsv(rows))
    for program in PROGRAMS:
        legacy = subprocess.run([os.path.join(BUILD, program)], cwd=w, input=b"25 128\n",
                                capture_output=True)
        check(legacy.returncode == 0, program + " ran")
        out_dir = os.path.join(w, "new-" + program)
        code, out, err = assocnet("-q", "--profile", program, "-o", out_dir, table)
        check(code == 0, "--profile %s: %d %s" % (program, code, err))
        prefix = ("Pearson" if program.startswith("pearson") else "Spearman") + program[-3:]
        for s in LEGACY:
            a = open(os.path.join(w, prefix + s), "rb").read()
            new = os.path.join(out_dir, prefix + s)
            b = open(new, "rb").read() if os.path.exists(new) else None
            check(a == b, "--profile %s: %s%s differs from the program's" % (program, prefix, s))
    shutil.rmtree(w)


# --- p and q ------------------------------------------------------------------------

def p_and_q():
    try:
        from scipy import special, stats  # noqa: F401
    except ImportError:
        print("skipped p and q: python3-scipy is not installed")
        return
    import numpy as np
    w = scratch()
    for order in (0, 1):
        out_dir = os.path.join(w, "k%d" % order)
        code, out, err = assocnet("-q", "-k", str(order), "-f", "edges,matrix", "-a", "0.05",
                                  "-o", out_dir, EXAMPLE)
        check(code == 0, "order %d run: %s" % (order, err))
        prefix = os.path.join(out_dir, "Pearson%s" % ["0th", "1st"][order])
        rows = [l.split("\t") for l in lines_of(prefix + "_matrix.tsv") if l]
        names = rows[0][1:]
        V, N = len(names), 128
        r = np.array([[float(x) for x in row[1:]] for row in rows[1:]])
        iu = np.triu_indices(V, 1)
        edges = [l.split("\t") for l in lines_of(prefix + "_edges.tsv")[1:] if l]
        exact = {(a, b): float(rr) for a, b, rr, *_ in edges}
        # p of every pair: exact from the edge table where the pair is there,
        # else from the six digits of the matrix (those p lie above the
        # level and only count in the ranks); BH over all of them.
        pairs = [(names[i], names[j]) for i, j in zip(*iu)]
        rr = np.array([exact.get(pair, r[i, j]) for pair, i, j in zip(pairs, *iu)])
        allp = special.erfc(np.abs(np.arctanh(rr)) * math.sqrt(N - 3 - order) / math.sqrt(2))
        m = len(allp)
        o = np.argsort(allp, kind="stable")
        ranked = allp[o] * m / np.arange(1, m + 1)
        qs = np.minimum.accumulate(ranked[::-1])[::-1]
        allq = np.empty(m)
        allq[o] = np.minimum(qs, 1)
        index = {(names[i], names[j]): k for k, (i, j) in enumerate(zip(*iu))}
        check(len(edges) > 0, "order %d: edges" % order)
        worst_p = worst_q = 0
        for a, b, rr, pp, qq, level in edges:
            rr, pp, qq = float(rr), float(pp), float(qq)
            exact_p = special.erfc(abs(math.atanh(rr)) * math.sqrt(N - 3 - order) / math.sqrt(2))
            worst_p = max(worst_p, abs(pp - exact_p) / exact_p)
            k = index[(a, b)]
            if qq <= 0.05:
                worst_q = max(worst_q, abs(qq - allq[k]) / allq[k])
            check(pp < 0.05 and level == "0.05", "order %d edge %s-%s: p %g level %s" % (order, a, b, pp, level))
        check(worst_p < 1e-12, "order %d: p off by %g relative" % (order, worst_p))
        check(worst_q < 1e-12, "order %d: q off by %g relative" % (order, worst_q))
    # --fdr selects by q.
    code, out, err = assocnet("-q", "-k", "1", "--fdr", "0.05,0.01", "-f", "edges,sif", "-o", w, EXAMPLE)
    edges = [l.split("\t") for l in lines_of(os.path.join(w, "Pearson1st_edges.tsv"))[1:] if l]
    check(code == 0 and edges and all(float(e[4]) <= 0.05 for e in edges),
          "--fdr: every edge has q <= 0.05 (%d %s)" % (code, err))
    sif = [l for l in lines_of(os.path.join(w, "Pearson1st_network_q0.01.sif")) if l]
    check(len(sif) == sum(float(e[4]) <= 0.01 for e in edges), "--fdr 0.01 network holds the edges with q <= 0.01")
    shutil.rmtree(w)


# --- read back by networkx and igraph ---------------------------------------------

def read_back():
    try:
        import networkx
        import igraph
    except ImportError:
        print("skipped read-back: python3-networkx or python3-igraph is missing")
        return
    w = scratch()
    odd = ["gene <1> & co", "ΔNp63", "a'b", "sp ace", "x\"y"] + GENES[5:20]
    rows = [EX[0]] + [[odd[g]] + EX[g + 1][1:] for g in range(len(odd))]
    table = write(w, "odd.txt", tsv(rows))
    code, out, err = assocnet("-q", "-k", "0", "-f", "graphml,edges,sif", "-o", w, table)
    check(code == 0, "odd names: %d %s" % (code, err))
    # A name with a space: the SIF file is split on tabs, as Cytoscape then reads it.
    sif = [l.split("\t") for l in lines_of(os.path.join(w, "Pearson0th_network_0.01.sif")) if l]
    check(sif and all(len(f) == 3 and f[0] in odd and f[2] in odd for f in sif),
          "SIF with spaced names: three tab-separated fields per line")
    edges = {tuple(r[:2]) for r in tsv_rows(os.path.join(w, "Pearson0th_edges.tsv"))[1:]}
    path = os.path.join(w, "Pearson0th_network.graphml")
    g = networkx.read_graphml(path)
    names = [g.nodes[n]["name"] for n in g.nodes]
    check(names == odd, "networkx: names %s" % names[:5])
    got = {tuple(sorted((g.nodes[a]["name"], g.nodes[b]["name"]))) for a, b in g.edges}
    check(got == {tuple(sorted(e)) for e in edges}, "networkx: the edges of the edge table")
    h = igraph.Graph.Read_GraphML(path)
    check(h.vs["name"] == odd and h.ecount() == len(edges), "igraph: names and edge count")
    check(all(h.vs[v]["degree"] == h.degree(v) for v in range(h.vcount())), "igraph: degrees")
    # NET cannot carry a quote in a name: refused, naming the gene.
    code, out, err = assocnet("-q", "-k", "0", "-f", "net", "-o", w, table)
    check(code == 1 and 'x"y' in err, "a quote in a name refused for NET: %d %s" % (code, err))
    rows = rows[:5] + rows[6:]
    table = write(w, "odd2.txt", tsv(rows))
    code, out, err = assocnet("-q", "-k", "0", "-f", "net", "-o", w, table)
    h = igraph.Graph.Read_Pajek(os.path.join(w, "Pearson0th_network_0.01.net"))
    check(code == 0 and h.vs["id"] == [r[0] for r in rows[1:]], "igraph reads the NET names: %s" % h.vs["id"][:5])
    shutil.rmtree(w)


R_READ = """
args <- commandArgs(TRUE)
m <- read.delim(args[1], check.names = FALSE, row.names = 1, na.strings = character(0))
e <- read.delim(args[2], na.strings = character(0), colClasses = c(source = "character", target = "character"))
code <- function(s) paste(utf8ToInt(s), collapse = ".")
cat(sapply(colnames(m), code), "\n")
cat(sapply(rownames(m), code), "\n")
cat(sapply(e$source, code), "\n")
cat(sapply(e$target, code), "\n")
cat(all(diag(as.matrix(m)) == 1), "\n")
"""


def tsv_read_back():
    """Names with a quote, a tab or a line end in the edge table and the matrix."""
    try:
        import pandas
    except ImportError:
        print("skipped TSV read-back: python3-pandas is missing")
        return
    w = scratch()
    odd = ['x"y', '"quoted"', "t\tab", "two\nlines", "cr\r\nlf", "plain"] + GENES[6:20]
    rows = [EX[0]] + [[odd[g]] + EX[g + 1][1:] for g in range(len(odd))]
    table = write(w, "odd.csv", tsv([[quoted(x) for x in r] for r in rows], sep=","))
    code, out, err = assocnet("-q", "-k", "0", "-f", "edges,matrix", "-o", w, table)
    check(code == 0, "names with quotes, tabs and line ends: %d %s" % (code, err))
    matrix, edges = os.path.join(w, "Pearson0th_matrix.tsv"), os.path.join(w, "Pearson0th_edges.tsv")
    want = tsv_rows(edges)[1:]
    check(len(want) > 5 and any(set(r[:2]) & set(odd[:5]) for r in want), "edges between the odd names")
    m = pandas.read_csv(matrix, sep="\t", index_col=0, keep_default_na=False)
    check(list(m.columns) == odd and list(m.index) == odd, "pandas: matrix names %s" % list(m.columns)[:6])
    e = pandas.read_csv(edges, sep="\t", keep_default_na=False, dtype={"source": str, "target": str})
    check([list(r) for r in zip(e.source, e.target)] == [r[:2] for r in want], "pandas: edge table names")
    code, out, err = assocnet("-q", "-k", "0", "-f", "sif", "-o", w, table)
    check(code == 1 and "SIF and NET files cannot carry" in err, "a tab refused for SIF: %d %s" % (code, err))
    if shutil.which("Rscript") is None:
        print("skipped R read-back: Rscript is missing")
        shutil.rmtree(w)
        return
    p = subprocess.run(["Rscript", "-e", R_READ, matrix, edges], capture_output=True, text=True)
    # R reads the CR LF within a quoted name as its line end, LF.
    code = lambda names: " ".join(".".join(str(ord(c)) for c in n.replace("\r\n", "\n")) for n in names)
    got = p.stdout.split("\n")
    check(p.returncode == 0 and got[:5] == [code(odd) + " ", code(odd) + " ", code(e[0] for e in want) + " ",
                                             code(e[1] for e in want) + " ", "TRUE "],
          "R read.delim: the names of the matrix and the edge table (%s)" % (p.stderr or got[:2]))
    shutil.rmtree(w)


# --- sound files --------------------------------------------------------------------

def snapshot(folder):
    return {n: open(os.path.join(folder, n), "rb").read() for n in sorted(os.listdir(folder))}


def sound_files():
    if not os.path.exists(BIG):
        print("skipped sound files: the 1000-gene table is missing")
        return
    w = scratch()
    big = os.path.join(w, "big.txt")
    with open(BIG) as src, open(big, "w") as dst:
        for k, line in enumerate(src):
            if k > 400:
                break
            dst.write(line)
    out_dir = os.path.join(w, "out")
    code, out, err = assocnet("-q", "-k", "0", "-o", out_dir, EXAMPLE, "-p", "Run")
    check(code == 0, "first run: %s" % err)
    before = snapshot(out_dir)

    for sig in (signal.SIGINT, signal.SIGTERM):
        p = subprocess.Popen([ASSOCNET, "-q", "-k", "3", "-o", out_dir, "-p", "Run", BIG],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        time.sleep(1.0)
        p.send_signal(sig)
        p.wait(timeout=60)
        check(p.returncode != 0, "interrupted run ended with a failure")
        check(snapshot(out_dir) == before, "%s: earlier results as they were, no temporary file" % sig.name)

    # Two runs of one prefix: the second stops at once, naming the first.
    p = subprocess.Popen([ASSOCNET, "-q", "-k", "3", "-o", out_dir, "-p", "Run", BIG],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    start = time.time()
    code, out, err = assocnet("-q", "-k", "0", "-o", out_dir, "-p", "Run", EXAMPLE)
    check(code == 1 and ("process %d" % p.pid) in err and time.time() - start < 5,
          "second run of one prefix: %d %s" % (code, err))
    p.kill()
    p.wait()

    # A full disk: a small file system of its own, when this machine lets us make one.
    disk = os.path.join(w, "disk")
    os.makedirs(disk)
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", disk],
                      capture_output=True).returncode == 0:
        try:
            code, out, err = assocnet("-q", "-k", "0", "-f", "matrix,sif", "-o", disk, EXAMPLE, "-p", "Run")
            check(code == 0, "small disk, small run: %s" % err)
            small = snapshot(disk)
            code, out, err = assocnet("-q", "-k", "0", "-o", disk, "-p", "Run", big)
            check(code == 1 and "No space left on device" in err, "full disk: %d %s" % (code, err))
            check(snapshot(disk) == small, "full disk: earlier results as they were, no temporary file")
        finally:
            subprocess.run(["umount", disk])
    else:
        print("skipped full disk: cannot mount a small file system here")
    shutil.rmtree(w)


def stale_files():
    """Files of the prefix that a run did not write are named in a warning, or
    removed with --clean once the run succeeded; other files stay."""
    w = scratch()
    out_dir = os.path.join(w, "out")
    code, out, err = assocnet("-q", "-a", "0.05,0.01", "-f", "sif,net,matrix,html", "-o", out_dir, EXAMPLE)
    check(code == 0, "earlier run: %s" % err)
    others = {"Pearson1st_notes.txt": "mine\n", "Pearson1st_matrix.csv": "a program's\n",
              "Pearson1st_network_x.sif": "no level\n", "Pearson2nd_edges.tsv": "another prefix\n",
              ".Pearson1st_network_0.05.sif.1.part": "hidden\n"}
    for name, text in others.items():
        write(out_dir, name, text)
    os.symlink("nowhere", os.path.join(out_dir, "Pearson1st_network_q0.05.net"))
    os.mkdir(os.path.join(out_dir, "Pearson1st_network_0.2.sif"))
    stale = ["Pearson1st_network_0.05.net", "Pearson1st_network_0.05.sif", "Pearson1st_network_q0.05.net",
             "Pearson1st_report.html"]

    def there():
        return [n for n in stale if os.path.lexists(os.path.join(out_dir, n))]

    code, out, err = assocnet("-f", "sif,net,matrix", "-o", out_dir, EXAMPLE)
    warning = ("assocnet: warning: %s holds 4 files of prefix Pearson1st that this run did not write: %s "
               "(--clean removes them)\n" % (out_dir, ", ".join(stale)))
    check(code == 0 and warning in err and there() == stale, "stale files named: %d %s" % (code, err))
    code, out, err = assocnet("-q", "--clean", "-o", out_dir, path_small(w))
    check(code == 1 and there() == stale, "a failed run removes nothing: %d %s" % (code, err))
    code, out, err = assocnet("--clean", "-f", "sif,net,matrix", "-o", out_dir, EXAMPLE)
    check(code == 0 and "warning" not in err and there() == [] and
          ("\nremoved   %s\n" % " ".join(stale)) in out, "--clean removes them: %d %s %s" % (code, out, err))
    check(all(open(os.path.join(out_dir, n)).read() == t for n, t in others.items()) and
          os.path.isdir(os.path.join(out_dir, "Pearson1st_network_0.2.sif")), "other files stay")
    # A profile writes the programs' matrix report: the run's own is then stale.
    code, out, err = assocnet("-q", "--profile", "pearson1st", "-o", out_dir, EXAMPLE)
    check(code == 0 and "did not write: Pearson1st_matrix.tsv (" in err, "--profile: %d %s" % (code, err))
    shutil.rmtree(w)


def usage():
    code, out, err = assocnet("--help")
    check(code == 0 and "--prune-alpha" in out and "Example" in out and "0.01,0.001,0.0001" in out,
          "--help lists the options with their defaults")
    code, out, err = assocnet("--version")
    check(code == 0 and out.startswith("assocnet "), "--version")
    for args in (["-m", "kendall", EXAMPLE], ["-k", "4", EXAMPLE], [], ["-f", "pdf", EXAMPLE],
                 ["--profile", "pearson1st", "-k", "2", EXAMPLE]):
        code, out, err = assocnet(*args)
        check(code == 2 and err.startswith("assocnet: "), "usage error %s: %d %s" % (args, code, err))
    code, out, err = assocnet("-t", "0", EXAMPLE)
    check(code == 2 and err.startswith("assocnet: --threads must be at least 1\n"), "--threads 0: %d %s" % (code, err))


for part in (usage, table_forms, profiles, p_and_q, read_back, tsv_read_back, sound_files, stale_files):
    part()
print("%d failures" % len(failures))
sys.exit(1 if failures else 0)

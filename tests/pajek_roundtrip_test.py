"""Round trip of the network files through real readers.

Every program runs on the shipped example; each of the 21 NET files is read
back with igraph's Pajek reader and must hold the variables as vertices, in
order, and exactly the edges, weights and colours of the SIF file of the same
level. The SIF files are read the way Cytoscape reads them: a file with a tab
anywhere would be taken as tab-separated, so there must be none, and every
line splits on spaces into three fields.

Run with the build folder as the only argument. Exits 77 (skipped) when
python3-igraph is not installed.
"""
import math
import os
import shutil
import subprocess
import sys
import tempfile

try:
    import igraph
except ImportError:
    print("skipped: python3-igraph is not installed (apt-get install python3-igraph)")
    sys.exit(77)

BUILD = os.path.abspath(sys.argv[1])
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLE = os.path.join(ROOT, "examples", "data.txt")
N = 128
LEVELS = ["0.01", "0.001", "0.0001"]

# program: (prefix, variables, order, label digit, z of the three levels)
PROGRAMS = {
    "pearson0th": ("Pearson0th", 50, 0, "0", (1.96, 3.2905, 3.8906)),
    "spearman0th": ("Spearman0th", 50, 0, "2", (2.5758, 3.2905, 3.8906)),
    "pearson1st": ("Pearson1st", 50, 1, "2", (2.5758, 3.2905, 3.8906)),
    "spearman1st": ("Spearman1st", 50, 1, "2", (2.5758, 3.2905, 3.8906)),
    "pearson2nd": ("Pearson2nd", 25, 2, "2", (2.5758, 3.2905, 3.8906)),
    "spearman2nd": ("Spearman2nd", 25, 2, "2", (2.5758, 3.2905, 3.8906)),
    "pearson3rd": ("Pearson3rd", 15, 3, "3", (2.5758, 3.2905, 3.8906)),
}

failures = []


def fail(where, what):
    failures.append("%s: %s" % (where, what))


def threshold(n, z, k):
    a = math.sqrt(1.0 / (n - 3 - k)) * z
    e = math.exp(a + a)
    return (e - 1) / (e + 1)


def read_sif(where, text, digit):
    """The edges of a SIF file as Cytoscape reads it: (name, name, positive)."""
    if "\t" in text:
        fail(where, "holds a tab, so Cytoscape would split it on tabs")
        return []
    edges = []
    for line in text.split("\n")[:-1] if text.endswith("\n") else text.split("\n"):
        fields = line.split(" ")
        if len(fields) != 3 or fields[1] not in ("r%spos" % digit, "r%sneg" % digit):
            fail(where, "line %r is not 'name r%spos|r%sneg name'" % (line, digit, digit))
            continue
        edges.append((fields[0], fields[2], fields[1].endswith("pos")))
    if text and not text.endswith("\n"):
        fail(where, "last line has no line feed")
    return edges


def check_level(where, folder, prefix, level, names, order, digit, z):
    sif_text = open(os.path.join(folder, "%s_network_%s.sif" % (prefix, level))).read()
    net_path = os.path.join(folder, "%s_network_%s.net" % (prefix, level))
    net_text = open(net_path).read()
    sif = read_sif(where + " SIF", sif_text, digit)

    graph = igraph.Graph.Read_Pajek(net_path)
    if graph.is_directed():
        fail(where, "read as a directed graph")
    if graph.vcount() != len(names):
        fail(where, "%d vertices, expected %d" % (graph.vcount(), len(names)))
        return 0
    labels = list(graph.vs["id"]) if "id" in graph.vs.attributes() else list(graph.vs["name"])
    if labels != names:
        fail(where, "vertex labels %r..., expected %r..." % (labels[:3], names[:3]))
        return 0
    if graph.ecount() != len(sif):
        fail(where, "%d edges read, the SIF file has %d lines" % (graph.ecount(), len(sif)))
        return 0

    edge_lines = net_text.split("*Edges\n", 1)[1].splitlines()
    numbers = [float(line.split(" ")[2]) for line in edge_lines]
    weights = graph.es["weight"]
    colours = graph.es["color"]
    t = threshold(N, z, order)
    for k, edge in enumerate(graph.es):
        a, b, positive = sif[k]
        pair = (names[edge.source], names[edge.target])
        if pair != (a, b):
            fail(where, "edge %d joins %r, the SIF line %r" % (k, pair, (a, b)))
        if weights[k] != numbers[k]:
            fail(where, "edge %d weight %r, the file says %r" % (k, weights[k], numbers[k]))
        if colours[k] != ("Red" if positive else "Blue"):
            fail(where, "edge %d colour %r, SIF label %s" % (k, colours[k], "pos" if positive else "neg"))
        if (weights[k] > 0) != positive:
            fail(where, "edge %d weight %r with SIF label %s" % (k, weights[k], "pos" if positive else "neg"))
        # Six significant digits: a drawn edge cannot read below the threshold.
        if abs(weights[k]) < t * (1 - 1e-5):
            fail(where, "edge %d weight %r below the threshold %r" % (k, weights[k], t))
    return len(sif)


def main():
    folder = tempfile.mkdtemp(prefix="assocnet-pajek-")
    edges = 0
    try:
        shutil.copyfile(EXAMPLE, os.path.join(folder, "data.txt"))
        for program, (prefix, V, order, digit, zs) in PROGRAMS.items():
            p = subprocess.run([os.path.join(BUILD, program)], cwd=folder,
                               input=b"%d\n%d\n" % (V, N), capture_output=True)
            if p.returncode != 0:
                fail(program, "exit status %d: %s" % (p.returncode, p.stderr.decode(errors="replace")))
                continue
            report = open(os.path.join(folder, prefix + "_matrix.csv")).read().split("\n")
            names = report[2].split("\t")[1:-1]
            if len(names) != V:
                fail(program, "report header holds %d names, expected %d" % (len(names), V))
                continue
            for level, z in zip(LEVELS, zs):
                edges += check_level("%s %s" % (program, level), folder, prefix, level, names,
                                     order, digit, z)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    for f in failures[:30]:
        print("FAIL", f)
    print("pajek round trip: 21 NET and 21 SIF files, %d edges compared, %d failures"
          % (edges, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

"""Every NET file of a run, read back by a real Pajek reader (python3-igraph),
against the SIF file of the same level: same vertices, edges, weights, colours.

Run with the build folder as the only argument; exits 77 (skipped) when
python3-igraph is not installed.
"""
import os
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
PROGRAMS = {"pearson0th": ("Pearson0th", 50), "spearman0th": ("Spearman0th", 50),
            "pearson1st": ("Pearson1st", 50), "spearman1st": ("Spearman1st", 50),
            "pearson2nd": ("Pearson2nd", 25), "spearman2nd": ("Spearman2nd", 25),
            "pearson3rd": ("Pearson3rd", 15)}
failures = []
edges_checked = 0

folder = tempfile.mkdtemp(prefix="assocnet-pajek-")
with open(os.path.join(ROOT, "examples", "data.txt")) as src, \
        open(os.path.join(folder, "data.txt"), "w") as dst:
    dst.write(src.read())

for program, (prefix, V) in PROGRAMS.items():
    subprocess.run([os.path.join(BUILD, program)], cwd=folder, input=b"%d\n128\n" % V,
                   stdout=subprocess.DEVNULL, check=True)
    header = open(os.path.join(folder, prefix + "_matrix.csv")).read().split("\n")[2]
    names = header.split("\t")[1:-1]
    for level in ["0.01", "0.001", "0.0001"]:
        sif_text = open(os.path.join(folder, "%s_network_%s.sif" % (prefix, level))).read()
        net_path = os.path.join(folder, "%s_network_%s.net" % (prefix, level))
        where = "%s %s" % (program, level)
        if "\t" in sif_text:
            failures.append(where + ": the SIF file holds a tab")
        sif = []
        for line in sif_text.splitlines():
            fields = line.split(" ")
            if len(fields) != 3 or fields[1] not in ("r0pos", "r0neg", "r2pos", "r2neg", "r3pos", "r3neg"):
                failures.append("%s: SIF line %r" % (where, line))
                continue
            sif.append((fields[0], fields[2], fields[1].endswith("pos")))
        graph = igraph.Graph.Read_Pajek(net_path)
        labels = graph.vs["id"] if "id" in graph.vs.attributes() else graph.vs["name"]
        if graph.vcount() != V or list(labels) != names:
            failures.append("%s: %d vertices %r, expected %d %r" % (where, graph.vcount(), labels[:3], V, names[:3]))
            continue
        weights = graph.es["weight"]
        colours = graph.es["color"]
        net_lines = open(net_path).read().split("*Edges\n")[1].splitlines()
        numbers = [float(line.split(" ")[2]) for line in net_lines]
        read = [(names[e.source], names[e.target]) for e in graph.es]
        if len(read) != len(sif):
            failures.append("%s: %d NET edges, %d SIF lines" % (where, len(read), len(sif)))
            continue
        for k, (a, b, positive) in enumerate(sif):
            edges_checked += 1
            ok = (set(read[k]) == {a, b} and weights[k] == numbers[k] and
                  (weights[k] > 0) == positive and colours[k] == ("Red" if positive else "Blue"))
            if not ok:
                failures.append("%s: edge %d %r %r %r vs SIF %r" % (where, k, read[k], weights[k], colours[k], sif[k]))

for f in failures[:20]:
    print("FAIL", f)
print("pajek round-trip: 21 NET files, %d edges checked, %d failures" % (edges_checked, len(failures)))
sys.exit(1 if failures else 0)

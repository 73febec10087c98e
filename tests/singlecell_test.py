"""End-to-end runs of assocnet on single-cell files.

- The same values as a TSV table, as h5ad (dense, CSR, CSC, float32, a
  layer, the older encodings), as 10x Matrix Market (a folder, plain and
  gzipped, its matrix file, a prefix, genes.tsv) and 10x h5, and as loom give
  the same files byte for byte; integer counts likewise.
- --genes and --top-variable keep the same genes from a table and from a
  sparse file, in file order, and the summary says the variance cut;
  unknown genes are refused with their names; --gene-ids names 10x genes by id.
- Broken files are refused with one line: an HDF5 file of another kind, a
  missing layer, counts that disagree with features or barcodes, truncated
  files, HDF5 files with a piece missing.

Skipped when Debian's python3-h5py, python3-anndata or python3-scipy is
missing. Run with the build folder as the only argument.
"""
import gzip
import os
import shutil
import subprocess
import sys
import tempfile
import warnings

try:
    import anndata
    import h5py
    import numpy as np
    import pandas as pd
    import scipy.io
    import scipy.sparse as sp
except ImportError as e:
    print("skipped: %s (python3-h5py, python3-anndata and python3-scipy write the files)" % e)
    sys.exit(77)

warnings.simplefilter("ignore")
BUILD = os.path.abspath(sys.argv[1])
ASSOCNET = os.path.join(BUILD, "assocnet")
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL", what)


def assocnet(*args):
    p = subprocess.run([ASSOCNET, *args], capture_output=True)
    return p.returncode, p.stdout.decode(errors="replace"), p.stderr.decode(errors="replace")


W = tempfile.mkdtemp(prefix="assocnet-singlecell-")


def path(*parts):
    return os.path.join(W, *parts)


# Counts of 30 genes in 150 cells, mostly zeros, driven by three hidden
# programmes (so the network has edges); some genes in quarters (exact in
# float32), one gene with no count (dropped as constant), one symbol twice.
rng = np.random.default_rng(21)
G, C = 30, 150
COUNTS = rng.poisson(np.exp(-1 + rng.normal(size=(G, 3)) @ rng.normal(size=(3, C))))
VALUES = COUNTS.astype(float)
VALUES[::4] += rng.integers(0, 4, size=(len(VALUES[::4]), C)) / 4 * (COUNTS[::4] > 0)
VALUES[7] = 0
SYMBOLS = ["Gene%d" % g for g in range(G)]
SYMBOLS[12] = SYMBOLS[11]
IDS = ["ENSG%05d" % g for g in range(G)]
CELLS = ["AAAC%04d-1" % c for c in range(C)]


def write_tsv(name, values, genes, cells=CELLS):
    with open(path(name), "w") as f:
        f.write("gene\t" + "\t".join(cells) + "\n")
        for g, row in zip(genes, values):
            f.write(g + "\t" + "\t".join(repr(float(x)) for x in row) + "\n")
    return path(name)


def frames(genes, cells=CELLS):
    var = pd.DataFrame({"gene_ids": IDS[:len(genes)]}, index=pd.Index(genes, dtype=object))
    return pd.DataFrame(index=pd.Index(cells, dtype=object)), var


def h5ad(name, x, layers=None, genes=SYMBOLS):
    obs, var = frames(genes)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        a = anndata.AnnData(X=x, obs=obs, var=var, dtype=x.dtype)
        for k, v in (layers or {}).items():
            a.layers[k] = v
        a.write_h5ad(path(name))
    return path(name)


def strings(values):
    return np.array([v.encode() for v in values])


def old_h5ad(name, compound):
    """The encodings before AnnData 0.8: X marked by h5sparse_format; var a
    group naming its index in _index (0.7), or a compound dataset (earlier)."""
    x = sp.csr_matrix(VALUES.T)
    with h5py.File(path(name), "w") as f:
        g = f.create_group("X")
        g.attrs["h5sparse_format"] = "csr"
        g.attrs["h5sparse_shape"] = np.array(x.shape)
        g["data"], g["indices"], g["indptr"] = x.data, x.indices, x.indptr
        if compound:
            f["var"] = np.array(list(zip(strings(SYMBOLS), strings(IDS))), dtype=[("index", "S12"), ("gene_ids", "S12")])
            f["obs"] = np.array([(c,) for c in strings(CELLS)], dtype=[("index", "S12")])
        else:
            for frame, names in (("var", SYMBOLS), ("obs", CELLS)):
                grp = f.create_group(frame)
                grp.attrs["_index"] = "index"
                grp.create_dataset("index", data=names, dtype=h5py.string_dtype())
    return path(name)


def tenx_folder(name, gz=False, prefix="", features="features.tsv", values=VALUES, transpose_order=False):
    os.makedirs(path(name), exist_ok=True)
    m = sp.coo_matrix(values)
    if not transpose_order:  # 10x writes the entries cell after cell
        order = np.lexsort((m.row, m.col))
        m = sp.coo_matrix((m.data[order], (m.row[order], m.col[order])), shape=m.shape)
    mtx = path(name, prefix + "matrix.mtx")
    scipy.io.mmwrite(mtx, m, field="integer" if np.all(values == np.round(values)) else "real")
    if features == "features.tsv":
        rows = ["%s\t%s\tGene Expression" % (i, s) for i, s in zip(IDS, SYMBOLS)]
    else:
        rows = ["%s\t%s" % (i, s) for i, s in zip(IDS, SYMBOLS)]
    files = {prefix + features: "\n".join(rows) + "\n", prefix + "barcodes.tsv": "\n".join(CELLS) + "\n"}
    for n, text in files.items():
        open(path(name, n), "w").write(text)
    if gz:
        for n in list(files) + [prefix + "matrix.mtx"]:
            with open(path(name, n), "rb") as a, gzip.open(path(name, n + ".gz"), "wb") as b:
                b.write(a.read())
            os.remove(path(name, n))
    return path(name)


def tenx_h5(name, values=VALUES, dtype=np.float32):
    x = sp.csc_matrix(values)
    genes = len(values)
    with h5py.File(path(name), "w") as f:
        m = f.create_group("matrix")
        m["data"] = x.data.astype(dtype)
        m["indices"], m["indptr"] = x.indices.astype(np.int64), x.indptr.astype(np.int64)
        m["shape"] = np.array(values.shape, dtype=np.int32)
        m["barcodes"] = strings(CELLS)
        ft = m.create_group("features")
        ft["name"], ft["id"] = strings(SYMBOLS[:genes]), strings(IDS[:genes])
        ft["feature_type"] = strings(["Gene Expression"] * genes)
    return path(name)


def loom(name):
    with h5py.File(path(name), "w") as f:
        f.create_dataset("matrix", data=VALUES.astype(np.float32), chunks=(8, 32), compression="gzip")
        f.create_group("row_attrs")["Gene"] = strings(SYMBOLS)
        f["row_attrs"].create_dataset("Accession", data=IDS, dtype=h5py.string_dtype())
        f.create_group("col_attrs")["CellID"] = strings(CELLS)
        f.create_group("layers")["spliced"] = (VALUES * 0).astype(np.float32)
    return path(name)


def files_of(folder):
    return {n: open(os.path.join(folder, n), "rb").read() for n in sorted(os.listdir(folder))}


def run(name, table, *args):
    out = path("out-" + name)
    code, stdout, err = assocnet("-o", out, *args, table)
    check(code == 0, "%s: status %d, %s" % (name, code, err))
    return (files_of(out) if code == 0 else {}), stdout


def same_files(forms, reference, *args, only_forms=()):
    ref, _ = run("ref-" + os.path.basename(reference), reference, *args)
    check(len(ref) == 9, "the reference run wrote its nine files")
    for name, table in forms.items():
        got, _ = run(name, table, *args, *only_forms)
        check(got == ref, "%s: the files differ from the table's" % name)


def forms():
    reference = write_tsv("values.tsv", VALUES, SYMBOLS)
    dense = VALUES.T.copy()
    same_files({
        "dense.h5ad": h5ad("dense.h5ad", dense),
        "csr.h5ad": h5ad("csr.h5ad", sp.csr_matrix(dense)),
        "csc.h5ad": h5ad("csc.h5ad", sp.csc_matrix(dense)),
        "float32.h5ad": h5ad("float32.h5ad", sp.csr_matrix(dense.astype(np.float32))),
        "0.7.h5ad": old_h5ad("old.h5ad", compound=False),
        "compound.h5ad": old_h5ad("compound.h5ad", compound=True),
        "folder": tenx_folder("tenx"),
        "gzipped folder": tenx_folder("tenx-gz", gz=True),
        "matrix file": os.path.join(tenx_folder("tenx-file", gz=True), "matrix.mtx.gz"),
        "prefixed": os.path.join(tenx_folder("geo", prefix="GSM1_", features="genes.tsv"), "GSM1_matrix.mtx"),
        "unsorted mtx": tenx_folder("tenx-rows", transpose_order=True),
        "10x h5": tenx_h5("counts.h5"),
        "loom": loom("counts.loom"),
    }, reference)
    # A layer of an h5ad whose X is something else.
    layered = h5ad("layered.h5ad", np.zeros((C, G)), layers={"counts": sp.csr_matrix(dense)})
    same_files({"layer": layered}, reference, only_forms=("--layer", "counts"))

    integers = COUNTS[:10]
    same_files({
        "int64 csr.h5ad": h5ad("int.h5ad", sp.csr_matrix(integers.T.astype(np.int64)), genes=SYMBOLS[:10]),
        "int32 10x h5": tenx_h5("int.h5", values=integers, dtype=np.int32),
    }, write_tsv("counts.tsv", integers, SYMBOLS[:10]))


def choosing():
    table = path("values.tsv")
    sparse = path("csr.h5ad")
    same_files({"top h5ad": sparse, "top mtx": path("tenx")}, table, "--top-variable", "8")
    _, out = run("top-summary", sparse, "--top-variable", "8")
    variance = sorted(((np.var(VALUES[g], ddof=1), SYMBOLS[g]) for g in range(G)), key=lambda v: (-v[0], v[1]))
    check("genes     the 8 most variable of 30 genes (variance at least %.6g)" % variance[7][0] in out
          and "8 genes x 150 samples used" in out, "the summary says the variance cut: %s" % out)

    # Names, in any order, keep the file's order: the table of those rows.
    wanted = ["Gene20", "Gene3", "Gene11", "Gene5", "Gene3"]
    open(path("genes.txt"), "w").write("\r\n".join(["  Gene20", "", "Gene3", "Gene11 ", "Gene5"]) + "\r\n")
    keep = [g for g in range(G) if SYMBOLS[g] in wanted]
    subset = write_tsv("subset.tsv", VALUES[keep], [SYMBOLS[g] for g in keep])
    ref, _ = run("subset", subset)
    for name, args in {"list": ("--genes", ",".join(wanted)), "file": ("--genes", path("genes.txt"))}.items():
        for form in (table, sparse, path("counts.loom")):
            got, _ = run("genes-" + name + os.path.basename(form), form, *args)
            check(got == ref, "--genes as a %s from %s: not the files of those rows" % (name, form))
    code, out, err = assocnet("-q", "-o", path("unknown"), "--genes", "Gene1,NOPE,Gene2,ALSO", sparse)
    check(code == 1 and err == "assocnet: %s: 2 genes asked for are not in the file: NOPE, ALSO\n" % sparse,
          "unknown genes refused with their names: %d %r" % (code, err))

    ids = write_tsv("ids.tsv", VALUES, IDS)
    same_files({"ids mtx": path("tenx-gz"), "ids h5": path("counts.h5"), "ids h5ad": sparse,
                "ids loom": path("counts.loom")}, ids, only_forms=("--gene-ids",))


def refused():
    bad = {}
    with h5py.File(path("other.h5"), "w") as f:
        f["images"] = np.zeros(3)
        f.create_group("meta")
    bad["other.h5"] = (path("other.h5"), [], "an HDF5 file that is neither h5ad, 10x nor loom: at its top level it holds images, meta")
    bad["layer"] = (path("layered.h5ad"), ["--layer", "spliced"], "no layer spliced; its layers are counts")
    bad["loom layer"] = (path("counts.loom"), ["--layer", "unspliced"], "no layer unspliced; its layers are spliced")
    for piece, name in (("var", "novar.h5ad"), ("X/indptr", "noindptr.h5ad")):
        shutil.copy(path("csr.h5ad"), path(name))
        with h5py.File(path(name), "a") as f:
            del f[piece]
        bad[name] = (path(name), [], piece + ": is missing")
    shutil.copy(path("counts.h5"), path("noname.h5"))
    with h5py.File(path("noname.h5"), "a") as f:
        del f["matrix/features/name"]
    bad["noname.h5"] = (path("noname.h5"), [], "matrix/features/name: is missing")
    shutil.copy(path("counts.loom"), path("nogene.loom"))
    with h5py.File(path("nogene.loom"), "a") as f:
        del f["row_attrs/Gene"]
    bad["nogene.loom"] = (path("nogene.loom"), [], "row_attrs/Gene: is missing; it names the genes (row_attrs holds Accession)")
    shutil.copy(path("csr.h5ad"), path("badindex.h5ad"))
    with h5py.File(path("badindex.h5ad"), "a") as f:
        f["X/indices"][3] = G
    bad["index"] = (path("badindex.h5ad"), [], "X/indices: an index of 30 where there are 30 genes")

    shutil.copytree(path("tenx"), path("short"))
    open(path("short", "barcodes.tsv"), "w").write("\n".join(CELLS[:-2]) + "\n")
    bad["barcodes"] = (path("short"), [], "short/matrix.mtx, line 3: the matrix has 150 columns (cells) but barcodes.tsv lists 148")
    shutil.copytree(path("tenx"), path("long"))
    open(path("long", "features.tsv"), "a").write("ENSG99\tExtra\tGene Expression\n")
    bad["features"] = (path("long"), [], "long/matrix.mtx, line 3: the matrix has 30 rows (genes) but features.tsv lists 31")
    os.makedirs(path("empty"))
    bad["empty folder"] = (path("empty"), [], "the folder holds no 10x matrix (matrix.mtx or matrix.mtx.gz)")

    for name in ("csr.h5ad", "counts.h5"):
        data = open(path(name), "rb").read()
        open(path("cut-" + name), "wb").write(data[:len(data) // 2])
        bad["cut " + name] = (path("cut-" + name), [], "truncated or corrupt")
    shutil.copytree(path("tenx-gz"), path("cut-gz"))
    data = open(path("tenx-gz", "matrix.mtx.gz"), "rb").read()
    open(path("cut-gz", "matrix.mtx.gz"), "wb").write(data[:len(data) // 2])
    bad["cut gzip"] = (path("cut-gz"), [], "matrix.mtx.gz: not a complete gzip stream")
    shutil.copytree(path("tenx"), path("cut-mtx"))
    text = open(path("tenx", "matrix.mtx")).read()
    open(path("cut-mtx", "matrix.mtx"), "w").write(text[:len(text) // 2].rsplit("\n", 1)[0] + "\n")
    bad["cut mtx"] = (path("cut-mtx"), [], "matrix.mtx: the file ends after")

    for name, (table, args, words) in bad.items():
        code, out, err = assocnet("-q", "-o", path("refused"), *args, table)
        check(code == 1 and words in err and err.count("\n") == 1 and err.startswith("assocnet: "),
              "%s: status %d, message %r" % (name, code, err))
    check(not os.path.exists(path("refused")), "a refused file leaves no files")


for part in (forms, choosing, refused):
    part()
shutil.rmtree(W)
print("%d failures" % len(failures))
sys.exit(1 if failures else 0)

"""What the package's tests share: the build under test, the tables, the
command's edge table for the same run, and edge tables compared bit for bit."""
import os
import subprocess
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("ASSOCNET_BUILD", ROOT / "build"))
BIG = ROOT.parent / "shared" / "data" / "leukemia-1000.txt"


def read_table(path, genes=None):
    # round_trip: every number read to the double the command reads.
    return pd.read_csv(path, sep="\t", index_col=0, nrows=genes, float_precision="round_trip")


@pytest.fixture(scope="session")
def big():
    if not BIG.exists():
        pytest.skip("the 1000-gene table is missing")
    return read_table(BIG)


def first_genes(tmp_path, genes):
    """The first lines of the 1000-gene table as a table of its own."""
    path = tmp_path / ("g%d.txt" % genes)
    with open(BIG) as f:
        path.write_text("".join(line for _, line in zip(range(genes + 1), f)))
    return path


def command(tmp_path, table, *options):
    """(edge table, summary) of build/assocnet on table."""
    out = tmp_path / "out"
    p = subprocess.run([str(BUILD / "assocnet"), "-f", "edges", "-o", str(out), "-p", "run", *options,
                        str(table)], capture_output=True, text=True, check=True)
    edges = pd.read_csv(out / "run_edges.tsv", sep="\t", float_precision="round_trip",
                        keep_default_na=False, dtype={"source": str, "target": str, "level": str})
    return edges, p.stdout


def bits(column):
    return np.ascontiguousarray(column, dtype=np.float64).view(np.int64)


def assert_same_edges(a, b):
    assert len(a) == len(b) and len(a) > 0
    assert list(a.source) == list(b.source) and list(a.target) == list(b.target)
    assert list(a.level.astype(str)) == list(b.level.astype(str))
    for c in ("r", "p", "q"):
        assert np.array_equal(bits(a[c]), bits(b[c])), c

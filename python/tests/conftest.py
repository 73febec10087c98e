"""The build under test, the 1000-gene table, the command's edge table for a
run, and edge tables compared bit for bit."""
import os
import subprocess
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("ASSOCNET_BUILD", ROOT / "build"))
BIG = ROOT.parent / "shared" / "data" / "leukemia-1000.txt"


@pytest.fixture(scope="session")
def big():
    if not BIG.exists():
        pytest.skip("the 1000-gene table is missing")
    # round_trip: every number read to the double the command reads.
    return pd.read_csv(BIG, sep="\t", index_col=0, float_precision="round_trip")


def command(tmp_path, genes, *options):
    """(edge table, summary) of build/assocnet on the first genes of BIG."""
    table = tmp_path / "table.txt"
    with open(BIG) as f:
        table.write_text("".join(line for _, line in zip(range(genes + 1), f)))
    p = subprocess.run([str(BUILD / "assocnet"), "-f", "edges", "-o", str(tmp_path), "-p", "run",
                        *options, str(table)], capture_output=True, text=True, check=True)
    edges = pd.read_csv(tmp_path / "run_edges.tsv", sep="\t", float_precision="round_trip",
                        keep_default_na=False, dtype={"source": str, "target": str, "level": str})
    return edges, p.stdout


def bits(column):
    return np.ascontiguousarray(column, dtype=np.float64).view(np.int64)


def assert_same_edges(a, b):
    assert len(a) == len(b) and len(a) > 0
    for c in ("source", "target", "level"):
        assert list(a[c].astype(str)) == list(b[c].astype(str)), c
    for c in ("r", "p", "q"):
        assert np.array_equal(bits(a[c]), bits(b[c])), c

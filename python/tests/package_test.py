"""The package's inputs and outputs: every form of a matrix gives the same
network, read in place where it can be, missing and non-numeric values are
dropped or refused by name, and the kept coefficients and the graph agree
with the edges."""
import tracemalloc
import warnings

import numpy as np
import pandas as pd
import pytest
import scipy.sparse

import assocnet
from conftest import assert_same_edges, bits


def test_every_form_of_the_matrix_gives_the_same_network(big, monkeypatch):
    monkeypatch.setattr(assocnet, "_BLOCK_CELLS", 1000)  # sparse input densified in many blocks
    table = big.iloc[:300]
    names, v = list(table.index), table.to_numpy()
    expected = assocnet.network(table)
    forms = [(table.T, {"samples_in_rows": True}), (np.ascontiguousarray(v), {"genes": names}),
             (np.asfortranarray(v), {"genes": names}), (v.T, {"genes": names, "samples_in_rows": True})]
    for sparse in (scipy.sparse.csr_matrix, scipy.sparse.csc_matrix):
        forms += [(sparse(v), {"genes": names}), (sparse(v.T), {"genes": names, "samples_in_rows": True})]
    for values, options in forms:
        assert_same_edges(assocnet.network(values, **options), expected)

    picked = names[250:] + names[:40:3]
    subset = assocnet.network(table.loc[picked])
    positions = [names.index(g) for g in picked]
    for sparse in (scipy.sparse.csr_matrix, scipy.sparse.csc_matrix):
        got = assocnet.network(sparse(v.T), genes=positions, samples_in_rows=True)
        for c in ("source", "target"):
            got[c] = got[c].map(lambda g: names[int(g[1:])])  # g<position>
        assert_same_edges(got, subset)

    anndata = pytest.importorskip("anndata")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # AnnData's notes on its index types
        ad = anndata.AnnData(obs=pd.DataFrame(index=table.columns), var=pd.DataFrame(index=table.index))
    # X set after the fact: the constructor of AnnData 0.8 makes it float32.
    ad.X = np.ascontiguousarray(v.T)
    ad.layers["counts"] = scipy.sparse.csr_matrix(v.T)
    assert_same_edges(assocnet.network(ad), expected)
    assert_same_edges(assocnet.network(ad, layer="counts"), expected)
    ad.X = scipy.sparse.csc_matrix(v.T)
    assert_same_edges(assocnet.network(ad), expected)
    assert_same_edges(assocnet.network(ad, genes=picked), subset)


def test_a_float64_matrix_is_read_in_place_and_others_converted_once():
    v = np.random.default_rng(7).standard_normal((400, 4000))

    def peak(values, **options):
        tracemalloc.start()
        assocnet.network(values, **options)
        top = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        return top

    for values in (v, np.asfortranarray(v), pd.DataFrame(v)):
        assert peak(values) < v.nbytes / 4
    assert peak(v.T, samples_in_rows=True) < v.nbytes / 4
    assert v.nbytes <= peak(v.astype(np.float32)) < 1.2 * v.nbytes


def test_missing_and_non_numeric_cells_are_dropped_or_refused_by_name(big):
    frame = big.iloc[:30].astype(object)
    frame.iloc[4, 7] = None
    frame.iloc[9, 7] = np.nan
    first = 'the first is gene "%s", sample "%s"' % (frame.index[4], frame.columns[7])
    with pytest.raises(ValueError, match="2 missing values .*" + first):
        assocnet.network(frame)
    with pytest.warns(UserWarning, match="dropped 2 genes with missing values"):
        genes = assocnet.network(frame, missing="drop-genes").attrs
    assert len(genes["genes"]) == 28
    assert genes["dropped_genes"] == {frame.index[4]: "missing values", frame.index[9]: "missing values"}
    with pytest.warns(UserWarning, match="dropped 1 sample with missing values"):
        samples = assocnet.network(frame, missing="drop-samples").attrs
    assert samples["dropped_samples"] == [frame.columns[7]] and len(samples["samples"]) == 127
    frame.iloc[12, 3] = "1,5"
    with pytest.raises(ValueError, match='column %s is not numeric: gene "%s", sample "%s": expected a '
                       'number, found "1,5"' % (frame.columns[3], frame.index[12], frame.columns[3])):
        assocnet.network(frame)
    frame["group"] = "B"
    with pytest.raises(ValueError, match=r"2 columns are not numeric \(%s, group\)" % frame.columns[3]):
        assocnet.network(frame)
    cells = big.iloc[:30].T.assign(group="B")  # samples in rows, and a column of labels
    assert len(assocnet.network(cells, samples_in_rows=True, genes=big.index[:30])) > 0
    with pytest.raises(TypeError, match="not list"):
        assocnet.network(big.to_numpy().tolist())
    with pytest.raises(ValueError, match="not in the data: nope"):
        assocnet.network(big, genes=["nope"])


def test_the_kept_coefficients_and_the_graph_hold_the_edges(big):
    table = big.iloc[:300]
    edges, kept = assocnet.network(table, order=2), assocnet.matrix(table, order=2)
    assert list(kept.index) == list(table.index) == list(kept.columns)
    m = kept.to_numpy()
    assert np.array_equal(m, m.T) and (np.diag(m) == 1).all()
    at = m[kept.index.get_indexer(edges.source), kept.index.get_indexer(edges.target)]
    assert np.array_equal(bits(at), bits(edges.r))
    graph = assocnet.to_networkx(edges)
    assert list(graph.nodes) == list(table.index) and graph.number_of_edges() == len(edges)
    e = edges.iloc[0]
    assert graph.edges[e.source, e.target] == {"r": e.r, "p": e.p, "q": e.q, "level": str(e.level)}
    assert (edges.level >= "0.001").sum() == edges.attrs["levels"][1]["edges"]

"""Association networks between the genes of an expression matrix.

    edges = assocnet.network(table)              # a pandas DataFrame, genes in rows
    edges = assocnet.network(adata, order=2)     # AnnData: cells or samples in rows
    kept = assocnet.matrix(table)                # the kept coefficient of every pair
    graph = assocnet.to_networkx(edges)

network() gives the rows, values and order of the edge table that the
assocnet command writes (PREFIX_edges.tsv) for the same matrix and options,
every number the same double, on any machine and for any number of threads.
"""
import importlib.util
import numbers
import sys

import numpy as np
import pandas as pd

from . import _assocnet

__all__ = ["network", "matrix", "to_networkx"]

# Cells densified at a time from a sparse matrix.
_BLOCK_CELLS = 1 << 22


def network(data, *, method="pearson", order=1, alpha=(0.01, 0.001, 0.0001), fdr=None,
            prune_alpha=0.05, samples_in_rows=None, genes=None, layer=None, missing="refuse",
            threads=None, progress=None):
    """The edges of the association network of data, as a DataFrame.

    data: a pandas DataFrame (genes in rows and samples in columns, the index
    holding the gene names), a 2-D numpy array (genes in rows), a scipy
    sparse matrix (genes in rows), or an AnnData object (observations in
    rows: its var_names are the genes; layer= picks a layer instead of X).
    samples_in_rows overrides that orientation.

    genes: names select those genes of a DataFrame or AnnData, in the order
    given; for an array or sparse matrix, names name its genes, one each
    (else g0, g1, ...). Integer positions select genes of any input.

    method "pearson" or "spearman"; order 0 (correlation) to 3; alpha the
    two-sided significance levels, or fdr the Benjamini-Hochberg levels
    instead; prune_alpha the sweeps' pruning level; missing "refuse",
    "drop-genes" or "drop-samples" for NaN and None cells; threads the
    number of threads (None: every core); progress a bar on standard error
    (None: when it is a terminal, or in Jupyter).

    The columns are source, target, r, p, q and level (the strictest level
    the edge passes, a category ordered loosest first), one row per pair of
    genes that passes the loosest level. attrs holds the run's summary:
    genes and samples used, what was dropped and why, method, order, the
    pruning threshold, each level's threshold and edge count, the time.
    """
    run = _run(data, method, order, alpha, fdr, prune_alpha, samples_in_rows, genes, layer,
               missing, threads, progress, edges=True)
    names = np.array(run["genes"], dtype=object)
    levels = [level["name"] for level in run["levels"]]
    frame = pd.DataFrame({
        "source": names[run["i"]],
        "target": names[run["j"]],
        "r": run["r"],
        "p": run["p"],
        "q": run["q"],
        "level": pd.Categorical.from_codes(run["level"], categories=levels, ordered=True),
    })
    frame.attrs.update(_summary(run))
    return frame


def matrix(data, *, method="pearson", order=1, alpha=(0.01, 0.001, 0.0001), fdr=None,
           prune_alpha=0.05, samples_in_rows=None, genes=None, layer=None, missing="refuse",
           threads=None, progress=None):
    """The kept coefficient of every pair of the genes used, as a DataFrame
    indexed by gene on both axes (1 on the diagonal; at order 0 the
    correlation matrix). The options are those of network(); attrs holds
    the same summary."""
    run = _run(data, method, order, alpha, fdr, prune_alpha, samples_in_rows, genes, layer,
               missing, threads, progress, edges=False)
    names = pd.Index(run["genes"])
    frame = pd.DataFrame(run["coefficients"], index=names, columns=names, copy=False)
    frame.attrs.update(_summary(run))
    return frame


def to_networkx(edges):
    """A networkx.Graph of an edge DataFrame from network(): every gene used
    as a node (in the order of the input), each edge with r, p, q and level."""
    import networkx

    graph = networkx.Graph()
    graph.add_nodes_from(edges.attrs.get("genes", ()))
    graph.add_edges_from(
        (s, t, {"r": r, "p": p, "q": q, "level": level})
        for s, t, r, p, q, level in zip(edges["source"], edges["target"], edges["r"], edges["p"],
                                        edges["q"], edges["level"].astype(str)))
    return graph


# --- the call ---------------------------------------------------------------------


def _run(data, method, order, alpha, fdr, prune_alpha, samples_in_rows, genes, layer, missing,
         threads, progress, edges):
    values, genes_axis, gene_names, sample_names = _matrix_of(data, samples_in_rows, genes, layer)
    levels = alpha if fdr is None else fdr
    levels = [levels] if isinstance(levels, numbers.Real) else list(levels)
    bar = _Bar() if _wants_bar(progress) else None
    try:
        # stacklevel: warnings name the caller of network() or matrix().
        return _assocnet.network(values, genes_axis, gene_names, sample_names, method, order,
                                 levels, fdr is not None, prune_alpha, missing,
                                 0 if threads is None else threads, edges, not edges, bar, 3)
    finally:
        if bar is not None:
            bar.close()


def _summary(run):
    return {
        "genes": run["genes"],
        "samples": run["samples"],
        "dropped": run["dropped"],
        "dropped_genes": dict(run["dropped_genes"]),
        "dropped_samples": run["dropped_samples"],
        "method": run["method"],
        "order": run["order"],
        "prune_alpha": run["prune_alpha"],
        "prune_threshold": run["prune_threshold"],
        "levels": run["levels"],
        "seconds": run["seconds"],
    }


# --- the input --------------------------------------------------------------------


def _matrix_of(data, samples_in_rows, genes, layer):
    """(values, genes_axis, gene_names, sample_names): a 2-D float64 array
    read in place where data is one, else the one copy of the genes used."""
    if layer is not None and not _is_anndata(data):
        raise TypeError("layer= picks a layer of an AnnData object")
    if isinstance(data, pd.DataFrame):
        # The genes picked first, so that only their columns need be numbers.
        rows_are_samples = bool(samples_in_rows)
        axis = 1 if rows_are_samples else 0
        positions, gene_names = _genes_used(genes, data.axes[axis], data.shape[axis])
        if positions is not None:
            data = data.iloc[:, positions] if rows_are_samples else data.iloc[positions]
        return (_frame_values(data, rows_are_samples), axis, gene_names,
                [str(s) for s in data.axes[1 - axis]])
    if _is_anndata(data):
        rows_are_samples = samples_in_rows is None or bool(samples_in_rows)
        values = data.X if layer is None else data.layers[layer]
        if not isinstance(values, np.ndarray) and not _is_sparse(values):
            raise TypeError("AnnData %s holds a %s; a numpy array or a scipy sparse matrix is needed"
                            % ("X" if layer is None else "layer " + repr(layer),
                               type(values).__name__))
        gene_labels, sample_labels = (data.var_names, data.obs_names) if rows_are_samples else \
            (data.obs_names, data.var_names)
    elif isinstance(data, np.ndarray) or _is_sparse(data):
        rows_are_samples = bool(samples_in_rows)
        values = data
        if values.ndim != 2:
            raise ValueError("a 2-D matrix is needed, not one of %d dimensions" % values.ndim)
        gene_labels = sample_labels = None
    else:
        raise TypeError("data must be a pandas DataFrame, a 2-D numpy array, a scipy sparse "
                        "matrix or an AnnData object, not %s" % type(data).__name__)
    axis = 1 if rows_are_samples else 0
    count = values.shape[axis]
    positions, gene_names = _genes_used(genes, gene_labels, count)
    if sample_labels is None:
        sample_names = ["s%d" % k for k in range(values.shape[1 - axis])]
    else:
        sample_names = [str(s) for s in sample_labels]
    if _is_sparse(values):
        values = _densified(values, axis, positions)
    else:
        values = _dense(values, axis, positions)
    return values, axis, gene_names, sample_names


def _genes_used(genes, labels, count):
    """(positions, or None for every gene in order; the names of the genes used).
    genes= selects by label where the data has labels; else its strings
    name the genes and its integers select them by position."""
    if genes is None:
        names = ["g%d" % k for k in range(count)] if labels is None else [str(g) for g in labels]
        return None, names
    genes = list(genes)
    if labels is not None:
        index = pd.Index(labels)
        if not index.is_unique:
            raise ValueError("genes= cannot select by name among repeated gene names")
        positions = index.get_indexer(genes)
        absent = [str(g) for g, k in zip(genes, positions) if k < 0]
        if absent:
            raise ValueError("%d of the genes= names are not in the data: %s" % (
                len(absent), ", ".join(absent[:5]) + (", ..." if len(absent) > 5 else "")))
        return positions, [str(index[k]) for k in positions]
    if genes and all(isinstance(g, numbers.Integral) and not isinstance(g, bool) for g in genes):
        positions = np.asarray(genes, dtype=np.intp)
        if ((positions < -count) | (positions >= count)).any():
            raise IndexError("genes= holds positions outside the %d genes" % count)
        positions %= count
        return positions, ["g%d" % k for k in positions]
    if len(genes) != count:
        raise ValueError("genes= holds %d names for %d genes" % (len(genes), count))
    return None, [str(g) for g in genes]


def _dense(values, axis, positions):
    if positions is not None:
        values = np.take(values, positions, axis=axis)
    if values.dtype != np.float64:
        if values.dtype.kind not in "biufO":
            raise TypeError("the matrix holds %s values, not numbers" % values.dtype)
        values = values.astype(np.float64)
    if any(s % values.itemsize for s in values.strides):
        values = np.ascontiguousarray(values)
    return values


def _densified(sparse, axis, positions):
    """The genes used of a sparse matrix as one dense float64 array, filled a
    block at a time along the format's own axis (rows of CSR, columns of
    CSC), so that no more than a block is ever dense besides the result."""
    fmt = sparse.format
    if fmt not in ("csr", "csc"):
        sparse = sparse.tocsr()
        fmt = "csr"
    major = 0 if fmt == "csr" else 1
    shape = list(sparse.shape)
    if positions is not None:
        shape[axis] = len(positions)
    out = np.empty(shape, dtype=np.float64, order="C" if major == 0 else "F")
    length = shape[major]
    step = max(1, _BLOCK_CELLS // max(1, shape[1 - major]))
    for start in range(0, length, step):
        stop = min(start + step, length)
        if major == axis:
            # Blocks of genes: picked along the major axis directly.
            picked = positions[start:stop] if positions is not None else slice(start, stop)
            block = sparse[picked] if major == 0 else sparse[:, picked]
        else:
            # Blocks of samples, then their genes.
            block = sparse[start:stop] if major == 0 else sparse[:, start:stop]
            if positions is not None:
                block = block[:, positions] if major == 0 else block[positions]
        if block.dtype != np.float64:
            block = block.astype(np.float64)
        target = out[start:stop] if major == 0 else out[:, start:stop]
        block.toarray(out=target)
    return out


def _frame_values(frame, rows_are_samples):
    """The values of a DataFrame as a 2-D float64 array: a view of it where
    every column is float64, else one copy. Columns of text are numbers
    where every cell reads as one (or is missing); others are refused."""
    dtypes = list(frame.dtypes)
    if dtypes and all(t == np.float64 for t in dtypes):
        return frame.to_numpy()
    converted, refused = {}, []
    for k, t in enumerate(dtypes):
        if pd.api.types.is_numeric_dtype(t):
            continue
        column = frame.iloc[:, k]
        if pd.api.types.is_object_dtype(t) or pd.api.types.is_string_dtype(t):
            read = pd.to_numeric(column, errors="coerce")
            unread = (read.isna() & column.notna()).to_numpy()
            if not unread.any():
                converted[k] = read
                continue
            refused.append((k, unread.argmax()))
        else:
            refused.append((k, 0))
    if refused:
        raise ValueError(_refusal(frame, refused, rows_are_samples))
    if not converted:
        return frame.to_numpy(dtype=np.float64, na_value=np.nan)
    out = np.empty(frame.shape, dtype=np.float64, order="F")
    for k in range(frame.shape[1]):
        column = converted.get(k, frame.iloc[:, k])
        out[:, k] = column.to_numpy(dtype=np.float64, na_value=np.nan)
    return out


def _refusal(frame, refused, rows_are_samples):
    """The message for columns that are not numbers, naming the first cell."""
    names = [str(frame.columns[k]) for k, _ in refused]
    if len(names) == 1:
        text = "column %s is not numeric" % names[0]
    else:
        text = "%d columns are not numeric (%s)" % (
            len(names), ", ".join(names[:5]) + (", ..." if len(names) > 5 else ""))
    k, row = refused[0]
    if row >= frame.shape[0]:
        return text
    gene, sample = frame.columns[k], frame.index[row]
    if not rows_are_samples:
        gene, sample = sample, gene
    return '%s: gene "%s", sample "%s": expected a number, found "%s"' % (
        text, gene, sample, frame.iat[row, k])


def _is_sparse(data):
    sparse = sys.modules.get("scipy.sparse")
    return sparse is not None and sparse.issparse(data)


def _is_anndata(data):
    anndata = sys.modules.get("anndata")
    return anndata is not None and isinstance(data, anndata.AnnData)


# --- progress ---------------------------------------------------------------------


def _wants_bar(progress):
    if progress is not None:
        return bool(progress)
    if importlib.util.find_spec("tqdm") is None:
        return False
    try:
        if sys.stderr is not None and sys.stderr.isatty():
            return True
    except (AttributeError, ValueError):
        pass
    shell = sys.modules.get("IPython")
    shell = shell.get_ipython() if shell is not None else None
    return type(shell).__name__ == "ZMQInteractiveShell"


class _Bar:
    """A tqdm bar per stage of the run, fed (stage, share done)."""

    def __init__(self):
        from tqdm.auto import tqdm

        self._tqdm = tqdm
        self._bar = None
        self._stage = None

    def __call__(self, stage, share):
        if stage != self._stage:
            self.close()
            self._stage = stage
            self._bar = self._tqdm(total=100, desc=stage, leave=False,
                                   bar_format="{desc}: {percentage:3.0f}%|{bar}| {elapsed}<{remaining}")
        self._bar.update(100 * share - self._bar.n)

    def close(self):
        if self._bar is not None:
            self._bar.close()
            self._bar = None

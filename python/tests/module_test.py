"""The extension's call: the command's doubles and summary, the same bits for
any thread count with the GIL free meanwhile, Ctrl-C within a second with no
thread left behind, the progress bar, and failures as Python exceptions."""
import os
import re
import signal
import threading
import time

import numpy as np
import pytest

import assocnet
from conftest import BIG, assert_same_edges, bits, command, first_genes

CASES = [(method, order, genes, levels) for method in ("pearson", "spearman")
         for order, genes in ((0, 1000), (1, 1000), (2, 1000), (3, 200))
         for levels in ([], ["--fdr", "0.05,0.01"])
         if not (levels and order in (0, 2))]


@pytest.mark.parametrize("method, order, genes, levels", CASES)
def test_edges_and_summary_are_the_commands(big, tmp_path, method, order, genes, levels):
    table = BIG if genes == 1000 else first_genes(tmp_path, genes)
    expected, summary = command(tmp_path, table, "-m", method, "-k", str(order), *levels)
    fdr = [float(a) for a in levels[1].split(",")] if levels else None
    edges = assocnet.network(big.iloc[:genes], method=method, order=order, fdr=fdr)
    assert_same_edges(edges, expected)
    a = edges.attrs
    assert "%d genes x %d samples used" % (len(a["genes"]), len(a["samples"])) in summary
    for level in a["levels"]:
        rule = "q <= %g" % level["alpha"] if level["fdr"] else "|r| > %.6f" % level["threshold"]
        assert "level %s: %s, %d edges\n" % (level["name"], rule, level["edges"]) in summary
    if order:
        assert "pruned below |r| %.4f" % a["prune_threshold"] in summary


def test_any_thread_count_gives_the_same_bits_while_python_runs_on(big):
    table = big.iloc[:300]
    one = assocnet.network(table, order=2, threads=1)
    runs = []
    worker = threading.Thread(target=lambda: runs.append(assocnet.network(table, order=2, threads=2)))
    ticks = 0
    worker.start()
    while worker.is_alive():
        ticks += 1
        time.sleep(0.001)
    assert ticks > 50, "the GIL is released during the run"
    assert_same_edges(one, runs[0])
    m1, m2 = (assocnet.matrix(table, order=1, threads=n) for n in (1, 2))
    assert np.array_equal(bits(m1.to_numpy()), bits(m2.to_numpy()))


def threads_of_process():
    return len(os.listdir("/proc/self/task"))


def test_ctrl_c_stops_an_order_3_run_within_a_second(big):
    # The sweep sees the flag once per conditioning gene: on 600 genes such a
    # pass takes well under a second.
    before = threads_of_process()
    sent = []
    timer = threading.Timer(1.0, lambda: (sent.append(time.monotonic()),
                                          os.kill(os.getpid(), signal.SIGINT)))
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        assocnet.network(big.iloc[:600], order=3)
    assert sent and time.monotonic() - sent[0] < 1.0
    timer.join()
    deadline = time.monotonic() + 2
    while threads_of_process() > before and time.monotonic() < deadline:
        time.sleep(0.02)
    assert threads_of_process() == before, "no thread of the run is left"
    assert len(assocnet.network(big.iloc[:50], order=3)) > 0, "the next run runs"


def test_progress_is_a_bar_on_standard_error_when_asked(big, capsys):
    assocnet.network(big.iloc[:300], order=2, progress=True)
    assert re.search(r"partial correlations up to order 2: +[1-9]\d*%\|", capsys.readouterr().err)
    assocnet.network(big.iloc[:200], order=1, progress=False)
    assert capsys.readouterr().err == ""


def test_failures_are_python_exceptions_with_the_commands_message(big):
    values = big.iloc[:20].copy()
    values.iloc[3, 5] = np.nan
    with pytest.raises(ValueError, match=r'1 missing value \(not a number\); the first is gene "%s", '
                       r'sample "%s"' % (values.index[3], values.columns[5])):
        assocnet.network(values)
    values.iloc[3, 5] = np.inf
    with pytest.raises(ValueError, match="the value is infinite"):
        assocnet.network(values, missing="drop-genes")
    with pytest.raises(ValueError, match="4 samples are too few for order 1: it needs at least 5"):
        assocnet.network(big.iloc[:20, :4])
    with pytest.raises(ValueError, match="looser than the pruning level"):
        assocnet.network(big.iloc[:20], alpha=0.1)
    with pytest.raises(ValueError, match='method must be "pearson" or "spearman"'):
        assocnet.network(big.iloc[:20], method="kendall")
    twice = big.iloc[:20].rename(index={big.index[1]: big.index[0]})
    with pytest.warns(UserWarning, match=r"1 repeated gene name \(%s\): made unique" % big.index[0]):
        genes = assocnet.network(twice).attrs["genes"]
    assert genes[:2] == [big.index[0], big.index[0] + ".1"]


def test_a_run_larger_than_the_machine_is_a_memory_error():
    with open("/proc/sys/vm/overcommit_memory") as f:
        if f.read().strip() == "1":
            pytest.skip("every allocation succeeds here")
    memory = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGESIZE")
    genes = int((2 * memory / 8) ** 0.5)
    values = np.random.default_rng(1).standard_normal((genes, 5))
    with pytest.raises(MemoryError, match="not enough memory"):
        assocnet.network(values, order=0)

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
from conftest import assert_same_edges, bits, command

CASES = [(method, order, genes, fdr) for method in ("pearson", "spearman")
         for order, genes in ((0, 1000), (1, 1000), (2, 1000), (3, 200))
         for fdr in (None, [0.05, 0.01]) if not (fdr and order in (0, 2))]


@pytest.mark.parametrize("method, order, genes, fdr", CASES)
def test_edges_and_summary_are_the_commands(big, tmp_path, method, order, genes, fdr):
    levels = ["--fdr", "0.05,0.01"] if fdr else []
    expected, summary = command(tmp_path, genes, "-m", method, "-k", str(order), *levels)
    edges = assocnet.network(big.iloc[:genes], method=method, order=order, fdr=fdr)
    assert_same_edges(edges, expected)
    a = edges.attrs
    assert "%d genes x %d samples used" % (len(a["genes"]), len(a["samples"])) in summary
    for level in a["levels"]:
        rule = "q <= %g" % level["alpha"] if level["fdr"] else "|r| > %.6f" % level["threshold"]
        assert "level %s: %s, %d edges\n" % (level["name"], rule, level["edges"]) in summary
    assert order == 0 or "pruned below |r| %.4f" % a["prune_threshold"] in summary


def test_any_thread_count_gives_the_same_bits_while_python_runs_on(big):
    table = big.iloc[:300]
    one = assocnet.network(table, order=2, threads=1)
    runs, span, ticks = [], [], []

    def run():
        span.append(time.monotonic())
        runs.append(assocnet.network(table, order=2, threads=2))
        span.append(time.monotonic())

    worker = threading.Thread(target=run)
    worker.start()
    while worker.is_alive():
        ticks.append(time.monotonic())
        time.sleep(0.001)
    worker.join()
    # A GIL held through the call would stop this thread from the call's start
    # to its end, whatever the machine's speed.
    during = [t for t in ticks if span[0] < t < span[1]]
    assert len(during) >= 3, "the GIL is released during the run"
    assert_same_edges(one, runs[0])
    m1, m2 = (assocnet.matrix(table, order=1, threads=n) for n in (1, 2))
    assert np.array_equal(bits(m1.to_numpy()), bits(m2.to_numpy()))


def tasks():
    return len(os.listdir("/proc/self/task"))


def test_ctrl_c_stops_an_order_3_run_within_a_second(big):
    # The sweep's parallel loops look at the flag between batches of pairs.
    before, sent = tasks(), []
    timer = threading.Timer(1.0, lambda: (sent.append(time.monotonic()),
                                          os.kill(os.getpid(), signal.SIGINT)))
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        assocnet.network(big.iloc[:600], order=3)
    assert time.monotonic() - sent[0] < 1.0
    timer.join()
    deadline = time.monotonic() + 2
    while tasks() > before and time.monotonic() < deadline:
        time.sleep(0.02)
    # At most as many: a thread of an earlier test may still have been exiting.
    assert tasks() <= before, "no thread of the run is left"
    assert len(assocnet.network(big.iloc[:50], order=3)) > 0, "the next run runs"


def test_progress_is_a_bar_on_standard_error_when_asked(big, capsys):
    assocnet.network(big.iloc[:300], order=2, progress=True)
    assert re.search(r"partial correlations up to order 2: +\d+%\|", capsys.readouterr().err)
    assocnet.network(big.iloc[:200], order=1, progress=False)
    assert capsys.readouterr().err == ""


def test_failures_are_python_exceptions_with_the_commands_message(big):
    infinite = big.iloc[:20].copy()
    infinite.iloc[3, 5] = np.inf
    cases = [(infinite, {}, ValueError, 'gene "%s", sample "%s": the value is infinite'
              % (big.index[3], big.columns[5])),
             (big.iloc[:20, :4], {}, ValueError, "4 samples are too few for order 1: it needs at least 5"),
             (big.iloc[:20], {"alpha": 0.1}, ValueError, "looser than the pruning level"),
             (big.iloc[:20], {"method": "kendall"}, ValueError, 'method must be "pearson" or "spearman"')]
    with open("/proc/sys/vm/overcommit_memory") as f:
        if f.read().strip() != "1":  # where an allocation past the memory fails
            memory = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGESIZE")
            huge = np.zeros((int((2 * memory / 8) ** 0.5), 5))  # V x V doubles: twice the memory
            huge[:, 0] = 1
            cases.append((huge, {"order": 0}, MemoryError, "not enough memory"))
    for data, options, error, match in cases:
        with pytest.raises(error, match=match):
            assocnet.network(data, **options)
    twice = big.iloc[:20].rename(index={big.index[1]: big.index[0]})
    with pytest.warns(UserWarning, match=r"1 repeated gene name \(%s\): made unique" % big.index[0]):
        genes = assocnet.network(twice).attrs["genes"]
    assert genes[:2] == [big.index[0], big.index[0] + ".1"]

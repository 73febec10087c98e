#!/usr/bin/env python3
"""Writes a synthetic expression table for the scale benchmark.

Each synthetic variable is a random mix of the profiles of one to three real
genes from a source table (leukemia-1000.txt by default) plus independent
noise, scaled to the mean and spread of its first source gene. Real genes come
in strongly correlated modules, so the synthetic table keeps their pattern:
the absolute correlations of its pairs span the same range as those of the
real table, and about as many pairs pass the pruning threshold of the sweeps.

The layout is that of the source table: the name line (corner token and the
observation names), then one line per variable with its name and its values,
tab-separated, five decimals. The output depends only on the source table and
the seed.

    make_synthetic.py [--source FILE] [--variables 5000] [--seed 20240611]
                      [--check] OUTPUT

--check prints quantiles of the absolute correlations of a sample of pairs of
the source and of the written table, for comparison.

Standard library only.
"""

import argparse
import math
import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_SOURCE = os.path.join(HERE, "..", "..", "shared", "data", "leukemia-1000.txt")

# Share of a synthetic variable's variance that comes from its source genes;
# the rest is independent noise.
SIGNAL_SHARE = (0.9, 1.0)
# How many real genes go into one synthetic variable, and how often.
MIX_SIZES = (1, 2, 3)
MIX_WEIGHTS = (0.5, 0.3, 0.2)


def read_table(path):
    with open(path, encoding="ascii") as f:
        lines = f.read().split("\n")
    header = lines[0].split()
    genes = []
    for line in lines[1:]:
        fields = line.split()
        if not fields:
            continue
        genes.append((fields[0], [float(x) for x in fields[1:]]))
    n = len(header) - 1
    for name, values in genes:
        if len(values) != n:
            sys.exit(f"{path}: {name} has {len(values)} values, the name line {n}")
    return header, genes


def mean_sd(values):
    n = len(values)
    m = sum(values) / n
    var = sum((x - m) ** 2 for x in values) / (n - 1)
    return m, math.sqrt(var)


def standardised(values):
    m, s = mean_sd(values)
    return [(x - m) / s for x in values]


def synthesise(genes, count, rng):
    profiles = [standardised(values) for _, values in genes]
    scales = [mean_sd(values) for _, values in genes]
    n = len(profiles[0])
    table = []
    for _ in range(count):
        k = rng.choices(MIX_SIZES, MIX_WEIGHTS)[0]
        sources = rng.sample(range(len(profiles)), k)
        # The first gene leads; the others blend in with smaller weights.
        weights = [1.0] + [rng.gauss(0.0, 0.3) for _ in sources[1:]]
        mix = [0.0] * n
        for src, w in zip(sources, weights):
            p = profiles[src]
            for t in range(n):
                mix[t] += w * p[t]
        mix = standardised(mix)
        share = rng.uniform(*SIGNAL_SHARE)
        a, b = math.sqrt(share), math.sqrt(1.0 - share)
        values = [a * x + b * rng.gauss(0.0, 1.0) for x in mix]
        values = standardised(values)
        mean, sd = scales[sources[0]]
        table.append([mean + sd * x for x in values])
    return table


def write_table(path, header, table):
    width = len(str(len(table)))
    tmp = path + ".part"
    with open(tmp, "w", encoding="ascii", newline="\n") as f:
        f.write("\t".join(header) + "\n")
        for i, values in enumerate(table, 1):
            f.write(f"synthetic_{i:0{width}d}\t" + "\t".join(f"{x:.5f}" for x in values) + "\n")
    os.replace(tmp, path)


def correlation(x, y):
    n = len(x)
    mx, my = sum(x) / n, sum(y) / n
    sxy = sum((a - mx) * (b - my) for a, b in zip(x, y))
    sxx = sum((a - mx) ** 2 for a in x)
    syy = sum((b - my) ** 2 for b in y)
    return sxy / math.sqrt(sxx * syy)


def abs_correlation_summary(rows, pairs, rng):
    rs = []
    for _ in range(pairs):
        i, j = rng.sample(range(len(rows)), 2)
        rs.append(abs(correlation(rows[i], rows[j])))
    rs.sort()
    q = [rs[min(len(rs) - 1, int(p * len(rs)))] for p in (0.25, 0.5, 0.75, 0.9, 0.99, 0.999)]
    above = [sum(r > t for r in rs) / len(rs) for t in (0.174, 0.3, 0.5, 0.7)]
    return ("quantiles 25/50/75/90/99/99.9%: " + " ".join(f"{v:.3f}" for v in q) +
            "   share above 0.174/0.3/0.5/0.7: " + " ".join(f"{v:.4f}" for v in above))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("output")
    ap.add_argument("--source", default=os.environ.get("ASSOCNET_BENCH_DATA", DEFAULT_SOURCE))
    ap.add_argument("--variables", type=int, default=5000)
    ap.add_argument("--seed", type=int, default=20240611)
    ap.add_argument("--check", action="store_true")
    args = ap.parse_args()

    header, genes = read_table(args.source)
    rng = random.Random(args.seed)
    table = synthesise(genes, args.variables, rng)
    write_table(args.output, header, table)
    print(f"{args.output}: {len(table)} variables x {len(header) - 1} observations")
    if args.check:
        _, written = read_table(args.output)
        check = random.Random(1)
        print("source   ", abs_correlation_summary([v for _, v in genes], 200000, check))
        print("synthetic", abs_correlation_summary([v for _, v in written], 200000, check))


if __name__ == "__main__":
    main()

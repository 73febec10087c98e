#!/usr/bin/env bash
# Builds the programs in Release with the benchmark, makes the synthetic table
# when it is missing and times the literal against the production programs on
# every case. Arguments go to the timing program (for example --reps 5,
# --filter 1st, --no-literal; --help lists them).
#
#   BENCH_BUILD_DIR  build folder (default build-bench at the top of the tree)
#   ASSOCNET_BENCH_DATA  real table (default ../shared/data/leukemia-1000.txt
#                        beside the tree)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD_DIR:-$root/build-bench}
data=${ASSOCNET_BENCH_DATA:-$root/../shared/data/leukemia-1000.txt}
synthetic=${ASSOCNET_BENCH_SYNTHETIC:-$build/synthetic-5000.txt}

if [[ ! -f $data ]]; then
  echo "run.sh: the benchmark table $data is missing (set ASSOCNET_BENCH_DATA)" >&2
  exit 2
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DASSOCNET_BENCH=ON -DASSOCNET_TESTS=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null

if [[ ! -f $synthetic ]]; then
  "${PYTHON:-python3}" "$root/bench/make_synthetic.py" --source "$data" "$synthetic"
fi

exec "$build/bench/compare" --bin "$build" --data "$data" --synthetic "$synthetic" "$@"

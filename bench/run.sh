#!/usr/bin/env bash
# Builds the programs in Release with the benchmark, makes the synthetic table
# when it is missing and times the literal against the production programs on
# every case. The genome-scale cases run on the full leukaemia table (gunzipped
# into the build folder) against a second build of the baseline commit, made
# here from `git archive` of that commit. Arguments go to the timing program
# (for example --reps 5, --filter 1st, --no-literal, --full-reps 3; --help
# lists them).
#
#   BENCH_BUILD_DIR      build folder (default build-bench at the top of the tree)
#   ASSOCNET_BENCH_DATA  real table (default ../shared/data/leukemia-1000.txt
#                        beside the tree)
#   ASSOCNET_BENCH_FULL  full table, gzipped (default
#                        ../shared/data/leukemia-full.txt.gz beside the tree)
#   ASSOCNET_BASELINE    commit the genome-scale cases are timed against
#                        (default: the one before the library layout and the
#                        work for many samples and genome scale)
#   ASSOCNET_ISA         scalar, avx2 or avx512: the instruction set of the
#                        timed programs' kernels (default the widest; the
#                        baseline build ignores it)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD_DIR:-$root/build-bench}
data=${ASSOCNET_BENCH_DATA:-$root/../shared/data/leukemia-1000.txt}
fullgz=${ASSOCNET_BENCH_FULL:-$root/../shared/data/leukemia-full.txt.gz}
baseline=${ASSOCNET_BASELINE:-b6d0700}
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

extra=()
if [[ -f $fullgz ]]; then
  full=$build/leukemia-full.txt
  [[ -f $full ]] || gunzip -c "$fullgz" >"$full"
  # The baseline build: its sources from the commit, built once.
  src=$build/baseline-src
  if [[ ! -f $src/.commit || $(cat "$src/.commit") != "$baseline" ]]; then
    rm -rf "$src" "$build/baseline"
    mkdir -p "$src"
    git -C "$root" archive "$baseline" | tar -x -C "$src"
    echo "$baseline" >"$src/.commit"
  fi
  # The report's page scripts come from npm, not from the commit.
  [[ -d $root/web/node_modules && ! -e $src/web/node_modules ]] && ln -s "$root/web/node_modules" "$src/web/node_modules"
  cmake -S "$src" -B "$build/baseline" -DCMAKE_BUILD_TYPE=Release -DASSOCNET_TESTS=OFF >/dev/null
  cmake --build "$build/baseline" -j2 >/dev/null
  extra=(--full "$full" --baseline "$build/baseline")
else
  echo "run.sh: $fullgz is missing; the genome-scale cases are skipped" >&2
  extra=(--no-full)
fi

exec "$build/bench/compare" --bin "$build" --data "$data" --synthetic "$synthetic" "${extra[@]}" "$@"

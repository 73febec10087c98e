#!/usr/bin/env bash
# Builds a fuzz target with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) in a private folder, replays the kept
# regression inputs and the seed corpus, then fuzzes for a bounded time and
# prints the number of executions.
#
#   fuzz/run.sh [seconds] [target]     (default 60 seconds, target table)
#
# The targets: table (the dialogue and the table readers; corpus/,
# regressions/, table.dict) and matrix_market (the Matrix Market reader;
# matrix_market_corpus/, matrix_market_regressions/, matrix_market.dict).
# FUZZ_DIR names the work folder (default: a new temporary folder, removed
# when nothing is found). A crash, a hang or a failed check leaves its input
# there as crash-*, timeout-*, leak-* or oom-*; copy it into the target's
# regressions folder (made with the first one) so that it is replayed from
# then on, by this script and by the target's regressions test.
set -euo pipefail
seconds=${1:-60}
target=${2:-table}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
case $target in
    table) corpus=$here/corpus regressions=$here/regressions ;;
    matrix_market) corpus=$here/matrix_market_corpus regressions=$here/matrix_market_regressions ;;
    *) echo "fuzz: unknown target $target (table or matrix_market)" >&2; exit 1 ;;
esac
if [[ -n ${FUZZ_DIR:-} ]]; then
    work=$FUZZ_DIR
else
    # A folder of its own, removed again when the run finds nothing.
    work=$(mktemp -d "${TMPDIR:-/tmp}/assocnet-fuzz.XXXXXX")
    own=1
fi
mkdir -p "$work/corpus"

cxx=${CLANGXX:-clang++}
if ! command -v "$cxx" >/dev/null; then
    echo "fuzz: $cxx not found (scripts/install-deps.sh installs clang)" >&2
    exit 1
fi

# The whole library goes in, since the dialogue lives in the driver's source;
# the fuzz targets themselves call only readers, so OpenMP stays off.
# clang 14 gives a function with target_clones a symbol that other files
# cannot link against, so the kernels are built here in their default form.
# The HTML report's writer is left out: it needs the page that the CMake build
# embeds, and the target never writes a report.
sources=("$here/${target}_fuzz.cpp" "$root"/core/*.cpp "$root"/readers/*.cpp "$root/programs/driver.cpp"
         "$root/programs/profiles.cpp" "$root/programs/progress_lines.cpp")
for f in "$root"/output/*.cpp; do
    [[ $f == */html_report.cpp ]] || sources+=("$f")
done
# shellcheck disable=SC2054 # the commas are part of -fsanitize=...
flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -ffp-contract=off -fno-math-errno
       -fsanitize=fuzzer,address,undefined -fno-sanitize=float-divide-by-zero
       -fno-sanitize-recover=undefined -Wno-unknown-pragmas -Wno-source-uses-openmp
       "-Dtarget_clones(...)=used" -I "$root/include" -I "$root/core" -I "$root/readers" -I "$root/output"
       -I "$root/programs")
# The GraphML writer among the output sources needs libxml2, the readers of
# single-cell files HDF5 and the table readers zlib.
read -ra libraryFlags <<<"$(xml2-config --cflags) $(pkg-config --cflags hdf5)"
read -ra libraries <<<"$(xml2-config --libs) $(pkg-config --libs hdf5)"
echo "fuzz: building $target in $work"
"$cxx" "${flags[@]}" "${libraryFlags[@]}" "${sources[@]}" "${libraries[@]}" -lz -o "$work/${target}_fuzz"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd "$work"

# Every kept input once: a regression that comes back fails here at once.
kept=("$regressions"/* "$corpus"/*)
existing=()
for f in "${kept[@]}"; do [[ -f $f ]] && existing+=("$f"); done
./"${target}_fuzz" -runs=1 "${existing[@]}" >replay.log 2>&1 || {
    cat replay.log >&2
    echo "fuzz: a kept input fails" >&2
    exit 1
}
echo "fuzz: replayed ${#existing[@]} kept inputs"

status=0
./"${target}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
    -dict="$here/$target.dict" -print_final_stats=1 -artifact_prefix="$work/" \
    corpus "$corpus" >fuzz.log 2>&1 || status=$?
executions=$(sed -n 's/^stat::number_of_executed_units: *//p' fuzz.log | tail -n 1)
if [[ $status -ne 0 ]]; then
    tail -n 60 fuzz.log >&2
    echo "fuzz: failed after ${executions:-?} executions; the input is in $work" >&2
    exit 1
fi
echo "fuzz: ${executions:-0} executions in ${seconds} s, no crash, hang or failed check"
cd /
[[ -n ${own:-} ]] && rm -rf "$work"
exit 0

#!/usr/bin/env bash
# assocnet as an MPI job: with 1, 2 and 3 processes (more processes than
# cores) and 1 or 2 threads each, at every order, it writes the same bytes as
# one process alone. A process that cannot read the table, runs out of memory
# in the sweep or is killed mid-run ends the job with a message naming it and
# leaves no file behind.
#
#   mpi_test.sh BUILD_DIR
# Skipped (status 77) when the build has no MPI (the sanitizer build leaves it out).
set -u
build=$(cd "${1:?usage: mpi_test.sh BUILD_DIR}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$build/assocnet
if ! command -v mpirun >/dev/null || ! ldd "$bin" | grep -q libmpi; then
  echo "skipped: this build of assocnet has no MPI (install libopenmpi-dev and configure again)"
  exit 77
fi
data=$root/../shared/data
if [[ ! -f $data/leukemia-1000.txt || ! -f $data/leukemia-full.txt.gz ]]; then
  echo "skipped: the leukaemia tables of the shared data folder beside the checkout are missing"
  exit 77
fi
scratch=$(mktemp -d "${TMPDIR:-/tmp}/mpi.XXXXXX")
trap 'pkill -9 -f "$scratch" 2>/dev/null; rm -rf "$scratch"' EXIT
# Tests may run as root in CI; more processes than cores are intended here.
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
export OMPI_MCA_rmaps_base_oversubscribe=1
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

head -301 "$data/leukemia-1000.txt" > "$scratch/g300.tsv"
head -121 "$data/leukemia-1000.txt" > "$scratch/g120.tsv"
# A third-order job on these takes some seconds, long enough to kill one of
# its processes mid-run.
head -601 "$data/leukemia-1000.txt" > "$scratch/g600.tsv"
# Enough genes for blocks that start on bands of 64 rows, and for matrices
# that a limit on a process's data leaves no room for.
zcat "$data/leukemia-full.txt.gz" | head -3001 > "$scratch/g3000.tsv"
head -1601 "$scratch/g3000.tsv" > "$scratch/g1600.tsv"

# same TABLE ORDER METHOD: one process, then every job size and thread count.
same() {
  local table=$1 order=$2 method=$3 tag=$1-$2-$3
  local one=$scratch/one-$tag
  OMP_NUM_THREADS=2 "$bin" -q -m "$method" -k "$order" -o "$one" "$scratch/$table" ||
    fail "$tag: the one-process run failed"
  for np in 1 2 3; do
    for threads in 1 2; do
      local out=$scratch/np$np-t$threads-$tag
      OMP_NUM_THREADS=$threads mpirun -np "$np" "$bin" -q -m "$method" -k "$order" -o "$out" \
        "$scratch/$table" > "$scratch/log" 2>&1 || { fail "$tag np $np: status $?"; cat "$scratch/log"; }
      diff -r "$one" "$out" > /dev/null || fail "$tag: $np processes of $threads threads differ from one"
    done
  done
}
for order in 0 1 2; do same g300.tsv "$order" pearson; done
same g120.tsv 3 pearson
same g300.tsv 2 spearman
same g1600.tsv 1 pearson

# No file of the run is left in the folder: no network, no temporary, no lock.
empty() { [[ -z $(ls -A "$1" 2>/dev/null) ]] || fail "$2: left $(ls -A "$1" | tr '\n' ' ')"; }

# failedNamed WHAT MESSAGE: the job just run ended with status 1 and the
# message (a pattern) on its output, and left no file of the run.
failedNamed() {
  local status=$? what=$1
  [[ $status == 1 ]] || fail "$what: status $status"
  grep -q "^assocnet: process 1: $2" "$scratch/log" ||
    { fail "$what: no message naming it"; cat "$scratch/log"; }
  empty "$out" "$what"
}

# A process that cannot read its table.
out=$scratch/unreadable
mpirun -np 1 "$bin" -q -k 2 -o "$out" "$scratch/g300.tsv" : \
       -np 1 "$bin" -q -k 2 -o "$out" "$scratch/missing.tsv" > "$scratch/log" 2>&1
failedNamed "unreadable table on process 1" ".*missing.tsv: No such file or directory"

# A process whose memory runs out once the sweep has begun (its correlation
# matrix alone takes 72 MB) ends every process.
out=$scratch/memory
mpirun -np 1 "$bin" -q -k 2 -o "$out" "$scratch/g3000.tsv" : \
       -np 1 sh -c "ulimit -d 60000; exec $bin -q -k 2 -o $out $scratch/g3000.tsv" > "$scratch/log" 2>&1
failedNamed "memory of process 1" "not enough memory"

# A process killed mid-run: the job ends, naming it, and no file is left.
out=$scratch/killed
OMP_NUM_THREADS=1 mpirun -np 3 "$bin" -q -k 3 -o "$out" "$scratch/g600.tsv" > "$scratch/log" 2>&1 &
job=$!
victim=
for _ in $(seq 100); do
  sleep 0.1
  for p in $(pgrep -f "$out"); do
    tr '\0' '\n' < "/proc/$p/environ" 2>/dev/null | grep -qx "OMPI_COMM_WORLD_RANK=1" && victim=$p
  done
  [[ -n $victim ]] && break
done
sleep 1
[[ -n $victim ]] && kill -9 "$victim" || fail "killed process: rank 1 never started"
wait "$job"
status=$?
[[ $status != 0 ]] || fail "killed process: the job reported success"
grep -q "rank 1 .*signal 9" "$scratch/log" || { fail "killed process: no message naming rank 1"; cat "$scratch/log"; }
empty "$out" "killed process"

[[ $failures == 0 ]] && echo "all MPI checks passed"
exit $(( failures > 0 ))

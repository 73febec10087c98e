#!/usr/bin/env bash
# The seven programs started at once in one folder, on the shipped example
# table (50 variables, 128 observations), write the same files as seven runs
# one after another. The programs of each round wait on a named pipe for their
# answers, which are all given only once every program has started, so the
# runs overlap.
#
#   concurrent_test.sh BUILD_DIR      (CONCURRENT_ROUNDS sets the rounds, default 3)
set -u
build=$(cd "${1:?usage: concurrent_test.sh BUILD_DIR}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/concurrent.XXXXXX")
pids=()
trap 'for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done; rm -rf "$scratch"' EXIT
rounds=${CONCURRENT_ROUNDS:-3}

programs=(pearson0th pearson1st pearson2nd pearson3rd spearman0th spearman1st spearman2nd)
table=$root/examples/data.txt
answers=$'50\n128\n'
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

# Standard output without its clock text, which differs from run to run.
dialogue() { sed -E 's/(time: |Time: |time = ).*$/\1<time>/' "$1"; }

# One after another.
one=$scratch/sequential
mkdir -p "$one"
cp "$table" "$one/data.txt"
for p in "${programs[@]}"; do
    if ! (cd "$one" && printf '%s' "$answers" | "$build/$p" >"$scratch/$p.out" 2>"$scratch/$p.err"); then
        fail "$p alone: status $?: $(head -c 300 "$scratch/$p.err")"
    fi
    [[ -s $scratch/$p.err ]] && fail "$p alone wrote to standard error"
done
(cd "$one" && ls) >"$scratch/sequential.list"
[[ $(wc -l <"$scratch/sequential.list") -eq 50 ]] ||
    fail "the runs one after another left $(wc -l <"$scratch/sequential.list") entries, expected data.txt and 49 files"

for ((r = 1; r <= rounds; r++)); do
    all=$scratch/round$r
    mkdir -p "$all"
    cp "$table" "$all/data.txt"
    pids=()
    for p in "${programs[@]}"; do
        mkfifo "$scratch/$p.fifo"
        (cd "$all" && exec "$build/$p" <"$scratch/$p.fifo" >"$scratch/$p.$r.out" 2>"$scratch/$p.$r.err") &
        pids+=($!)
    done
    # Each program opens its pipe as it starts; the answers go to all of them
    # only once the last one is there.
    for p in "${programs[@]}"; do exec {fd}>"$scratch/$p.fifo"; eval "fd_$p=$fd"; done
    for p in "${programs[@]}"; do
        eval "fd=\$fd_$p"
        printf '%s' "$answers" >&"$fd"
        exec {fd}>&-
    done
    for k in "${!programs[@]}"; do
        p=${programs[$k]}
        wait "${pids[$k]}"
        status=$?
        ((status == 0)) || fail "round $r: $p ended with status $status: $(head -c 300 "$scratch/$p.$r.err")"
        [[ -s $scratch/$p.$r.err ]] && fail "round $r: $p wrote to standard error"
        cmp -s <(dialogue "$scratch/$p.out") <(dialogue "$scratch/$p.$r.out") ||
            fail "round $r: the standard output of $p differs from its run alone"
        rm -f "$scratch/$p.fifo"
    done
    pids=()
    (cd "$all" && ls) >"$scratch/round$r.list"
    cmp -s "$scratch/sequential.list" "$scratch/round$r.list" ||
        fail "round $r: the folder holds other files than after the runs one after another"
    while IFS= read -r f; do
        cmp -s "$one/$f" "$all/$f" || fail "round $r: $f differs from its run alone"
    done <"$scratch/sequential.list"
done

# One program twice: the first holds its files while its progress lines wait
# on a pipe nobody reads; the second is refused, naming the first's process.
same=$scratch/same
mkdir -p "$same"
cp "$table" "$same/data.txt"
(cd "$same" && printf '%s' "$answers" | "$build/pearson3rd" 2>/dev/null | sleep 4) &
holder=$!
sleep 1.5
(cd "$same" && printf '%s' "$answers" | "$build/pearson3rd" >/dev/null 2>"$scratch/second.err")
status=$?
((status == 1)) || fail "a second pearson3rd in one folder ended with status $status, expected 1"
grep -Eq '^pearson3rd: another run \(process [0-9]+\) is writing the Pearson3rd files in this folder' \
    "$scratch/second.err" || fail "a second pearson3rd: message $(head -c 300 "$scratch/second.err")"
wait "$holder"
(cd "$same" && printf '%s' "$answers" | "$build/pearson3rd" >/dev/null 2>&1) ||
    fail "a run after the first was ended by its closed pipe: refused"
[[ -z $(cd "$same" && ls -A | grep -v -e '^data.txt$' -e '^Pearson3rd_') ]] ||
    fail "left behind: $(cd "$same" && ls -A)"

if ((failures == 0)); then
    echo "concurrent: $rounds passed, 0 failed"
else
    echo "concurrent: $failures failures"
    exit 1
fi

#!/usr/bin/env bash
# Runs killed part way (SIGKILL) leave seven output files, the ones not yet
# written empty, and no file with a partial line.
#
# 1. A long third-order sweep (pearson3rd, 200 variables of a generated table)
#    is killed while its progress lines are still coming: the seven files of
#    the earlier run in the folder must all be there, emptied.
# 2. pearson0th on a table whose matrix report is tens of megabytes is killed
#    at varying moments while it writes its files, many times, by SIGKILL and
#    by SIGTERM (a signal the program does not handle, like SIGINT from the
#    terminal): every file must be empty or end with a line feed, and be a
#    whole-line prefix of the complete result.
#
#   interrupt_test.sh BUILD_DIR      (INTERRUPT_KILLS sets the kills of 2, default 40)
set -u
build=$(cd "${1:?usage: interrupt_test.sh BUILD_DIR}" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/interrupt.XXXXXX")
pid=
trap '[[ -n $pid ]] && kill -9 "$pid" 2>/dev/null; rm -rf "$scratch"' EXIT
kills=${INTERRUPT_KILLS:-40}

suffixes=(_matrix.csv _network_0.01.sif _network_0.001.sif _network_0.0001.sif
          _network_0.01.net _network_0.001.net _network_0.0001.net)
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

# table V N SEED: V variables of N pseudo-random observations.
table() {
    awk -v V="$1" -v N="$2" -v S="$3" 'BEGIN {
        srand(S)
        printf "probe"; for (j = 1; j <= N; j++) printf "\to%d", j; printf "\n"
        for (i = 1; i <= V; i++) {
            printf "g%d", i
            for (j = 1; j <= N; j++) printf "\t%.5f", 10 * rand()
            printf "\n"
        }
    }'
}

# Earlier results under the seven names: many lines that are no prefix of any
# result, so content left behind by an emptying that did not happen shows.
earlier() { # folder prefix
    local s
    for s in "${suffixes[@]}"; do
        awk 'BEGIN { for (k = 0; k < 20000; k++) print "earlier result line", k }' >"$1/$2$s"
    done
}

size() { stat -c %s "$1" 2>/dev/null || echo 0; }

# --- 1: killed during the sweep -------------------------------------------------

V=200 N=40
w=$scratch/sweep
mkdir -p "$w"
table $V $N 11 >"$w/data.txt"
earlier "$w" Pearson3rd
passes=$((V * (V - 1) * (V - 2) / 6))
printf '%s\n%s\n' $V $N >"$scratch/sweep.in"
# exec: the background job is the program itself, so the kill reaches it.
(cd "$w" && exec "$build/pearson3rd" <"$scratch/sweep.in" >"$scratch/sweep.out" 2>"$scratch/sweep.err") &
pid=$!
# Wait for about a fifth of the progress lines (each some 50 bytes).
target=$((passes * 10))
deadline=$((SECONDS + 300))
while kill -0 "$pid" 2>/dev/null && (($(size "$scratch/sweep.out") < target)) && ((SECONDS < deadline)); do
    sleep 0.005
done
if kill -9 "$pid" 2>/dev/null; then
    wait "$pid" 2>/dev/null
    status=$?
    pid=
    ((status == 137)) || fail "sweep: the run ended with status $status, not by SIGKILL"
    progress=$(grep -c '^Controlled for ' "$scratch/sweep.out")
    if grep -q '^End time: ' "$scratch/sweep.out" || ((progress >= passes)); then
        fail "sweep: the run ended before it was killed"
    elif ((progress == 0)); then
        fail "sweep: killed before the sweep wrote any progress line"
    else
        for s in "${suffixes[@]}"; do
            f=$w/Pearson3rd$s
            if [[ ! -f $f ]]; then
                fail "sweep: Pearson3rd$s is missing"
            elif (($(size "$f") != 0)); then
                fail "sweep: Pearson3rd$s holds $(size "$f") bytes while the sweep ran (pass $progress of $passes)"
            fi
        done
        echo "sweep: killed after $progress of $passes passes; seven files, all empty"
    fi
else
    wait "$pid"
    fail "sweep: the run ended (status $?) before it could be killed: $(head -c 300 "$scratch/sweep.err")"
    pid=
fi

# --- 2: killed while writing ----------------------------------------------------

# Half the kills come as soon as any output file holds something, the other
# half at delays after the start-time line spread over the length of a
# complete run; so many land while the files are being written, whatever way
# the program writes them.
V=3000 N=20
ref=$scratch/ref
mkdir -p "$ref"
table $V $N 5 >"$ref/data.txt"
printf '%s\n%s\n' $V $N >"$scratch/write.in"
began=$EPOCHREALTIME
if ! (cd "$ref" && "$build/pearson0th" <"$scratch/write.in" >/dev/null); then
    fail "write: the complete run failed"
    echo "interrupt: $failures failures"
    exit 1
fi
ended=$EPOCHREALTIME
# Microseconds of a complete run.
length=$((${ended//[.,]/} - ${began//[.,]/}))
w=$scratch/write
any_written() {
    local s
    for s in "${suffixes[@]}"; do [[ -s $w/Pearson0th$s ]] && return 0; done
    return 1
}
during=0 partial=0 late=0 stray=0
for ((k = 1; k <= kills; k++)); do
    rm -rf "$w" "$scratch/write.out"
    mkdir -p "$w"
    ln -s "$ref/data.txt" "$w/data.txt"
    earlier "$w" Pearson0th
    signal=KILL
    ((k / 2 % 2 == 1)) && signal=TERM
    delay=$((length * (k - 1) / kills))
    (cd "$w" && exec "$build/pearson0th" <"$scratch/write.in" >"$scratch/write.out" 2>/dev/null) &
    pid=$!
    until grep -q '^Start time: ' "$scratch/write.out" 2>/dev/null || ! kill -0 "$pid" 2>/dev/null; do :; done
    if ((k % 2 == 1)); then
        until any_written || ! kill -0 "$pid" 2>/dev/null; do :; done
    else
        sleep "$(printf '%d.%06d' $((delay / 1000000)) $((delay % 1000000)))"
    fi
    kill -s $signal "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    status=$?
    pid=
    complete=0 written=0
    for s in "${suffixes[@]}"; do
        f=$w/Pearson0th$s
        [[ -f $f ]] || { fail "write, kill $k: Pearson0th$s is missing"; continue; }
        n=$(size "$f")
        ((n == 0)) && continue
        written=$((written + 1))
        prefix=yes
        cmp -s -n "$n" "$f" "$ref/Pearson0th$s" || prefix=no
        if [[ -n $(tail -c 1 "$f") ]]; then
            fail "write, kill $k (SIG$signal): Pearson0th$s ends in a partial line ($n bytes; a prefix of the complete result: $prefix)"
            partial=$((partial + 1))
        elif [[ $prefix == no ]]; then
            fail "write, kill $k (SIG$signal): Pearson0th$s ($n bytes) is not a prefix of the complete result"
        fi
        cmp -s "$f" "$ref/Pearson0th$s" && complete=$((complete + 1))
    done
    if ((status == 0)); then
        late=$((late + 1))
        ((complete == 7)) || fail "write, kill $k: the run completed but not every file is complete"
    elif ((status == 128 + $(kill -l $signal))); then
        ((written > 0 && complete < 7)) && during=$((during + 1))
        others=$(find "$w" -mindepth 1 -maxdepth 1 ! -name data.txt ! -name 'Pearson0th_*.csv' \
                 ! -name 'Pearson0th_*.sif' ! -name 'Pearson0th_*.net' | wc -l)
        stray=$((stray + others))
    else
        fail "write, kill $k: the run ended with status $status"
    fi
done
echo "write: $kills kills over $((length / 1000)) ms: $during while the files were being written," \
     "$late after the run ended; $partial files with a partial line; $stray other files left behind"
((during > 0)) || fail "write: no kill landed while the files were being written"

if ((failures == 0)); then
    echo "interrupt: 2 passed, 0 failed"
else
    echo "interrupt: $failures failures"
    exit 1
fi

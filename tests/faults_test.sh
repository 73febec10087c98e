#!/usr/bin/env bash
# Fault injection on the built programs, end to end. Every case runs in a
# fresh folder and checks the exit status, the one-line message on standard
# error, that standard output holds nothing but the dialogue (and the time and
# progress lines once the run got that far), and which files exist afterwards
# with what content. A run that fails before writing must leave earlier
# results as they were: the folder is seeded with a previous run's files (or
# marker files under the output names) and compared entry by entry.
#
#   faults_test.sh BUILD_DIR
set -u
build=$(cd "${1:?usage: faults_test.sh BUILD_DIR}" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/faults.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

programs=(pearson0th pearson1st pearson2nd pearson3rd spearman0th spearman1st spearman2nd)
suffixes=(_matrix.csv _network_0.01.sif _network_0.001.sif _network_0.0001.sif
          _network_0.01.net _network_0.001.net _network_0.0001.net)
for p in "${programs[@]}"; do
    [[ -x $build/$p ]] || { echo "missing program $build/$p"; exit 1; }
done

ask1=$'How many variables?\n'
ask2=$'How many variables?\n\nHow many observations?\n'
ask3=$'How many variables?\n\nHow many observations?\n\n'
clock='[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}'

# The well-formed table of most cases: 6 variables v1..v6, 12 observations.
V=6 N=12
good_table() {
    awk -v V=$V -v N=$N 'BEGIN {
        printf "probe"; for (j = 1; j <= N; j++) printf "\to%d", j; printf "\n"
        for (i = 1; i <= V; i++) {
            printf "v%d", i
            for (j = 1; j <= N; j++) printf "\t%.5f", 3 * sin(0.7 * i * j + i) + 0.1 * i * j
            printf "\n"
        }
    }'
}

# --- case bookkeeping ----------------------------------------------------------

passed=0 failed=0 number=0
begin() {
    name=$1
    problems=()
    status=-1
    number=$((number + 1))
    c=$scratch/$number
    w=$c/work
    mkdir -p "$w"
}
problem() { problems+=("$*"); }
end() {
    if ((${#problems[@]} == 0)); then
        passed=$((passed + 1))
        echo "ok   $name"
        return
    fi
    failed=$((failed + 1))
    echo "FAIL $name"
    printf '     %s\n' "${problems[@]}"
    echo "     --- status $status; stderr:"
    [[ -f $c/stderr ]] && sed 's/^/     | /' "$c/stderr"
    echo "     --- stdout:"
    [[ -f $c/stdout ]] && head -n 20 "$c/stdout" | sed 's/^/     | /'
    return 0
}

# run PROGRAM ANSWERS: runs the program in the case folder with ANSWERS as
# standard input; sets status.
run() {
    printf '%s' "$2" >"$c/stdin"
    (cd "$w" && exec timeout 120 "$build/$1" <"$c/stdin" >"$c/stdout" 2>"$c/stderr")
    status=$?
}

# Every entry of a folder with its kind and, for files, size and checksum.
snapshot() {
    (cd "$1" && find . -mindepth 1 -print0 | sort -z | while IFS= read -r -d '' f; do
        if [[ -L $f ]]; then
            printf 'link %s -> %s\n' "$f" "$(readlink "$f")"
        elif [[ -d $f ]]; then
            printf 'dir %s\n' "$f"
        else
            printf 'file %s %s %s\n' "$f" "$(stat -c %s "$f")" "$(sha1sum <"$f" | cut -d' ' -f1)"
        fi
    done)
}
keep() { snapshot "$w" >"$c/before"; }
expect_kept() {
    snapshot "$w" >"$c/after"
    cmp -s "$c/before" "$c/after" ||
        problem "the folder changed: $(diff "$c/before" "$c/after" | grep '^[<>]' | head -n 4 | tr '\n' ' ')"
}

expect_status() { [[ $status -eq $1 ]] || problem "exit status $status, expected $1"; }

# expect_message PROGRAM REGEX: standard error is one printable line
# "PROGRAM: ..." matching REGEX.
expect_message() {
    local text re="^$1: $2\$"
    text=$(cat "$c/stderr")
    [[ $(wc -l <"$c/stderr") -eq 1 ]] || problem "standard error holds $(wc -l <"$c/stderr") lines, expected one"
    [[ $text =~ $re ]] || problem "message does not match '$re'"
    if tr -d '\n' <"$c/stderr" | LC_ALL=C grep -q '[^[:print:]]'; then problem "message holds unprintable bytes"; fi
}
expect_quiet() { [[ -s $c/stderr ]] && problem "standard error is not empty"; }

expect_stdout() {
    local got
    got=$(cat "$c/stdout"; printf x)
    [[ $got == "${1}x" ]] || problem "standard output is not exactly the dialogue up to the failure"
}
# The dialogue, then only time and progress lines.
expect_run_output() {
    local line k=0 re="^(Start time: $clock|End time: $clock|Controlled for .*)\$"
    [[ $(head -n 4 "$c/stdout"; printf x) == "${ask3}x" ]] ||
        problem "standard output does not start with the dialogue"
    while IFS= read -r line; do
        k=$((k + 1))
        ((k <= 4)) && continue
        [[ $line =~ $re ]] || { problem "unexpected line on standard output: $line"; break; }
    done <"$c/stdout"
    [[ -z $(tail -c 1 "$c/stdout") ]] || problem "standard output ends in a partial line"
}
expect_times() {
    grep -Eq "^Start time: $clock\$" "$c/stdout" || problem "no start-time line"
    grep -Eq "^End time: $clock\$" "$c/stdout" || problem "no end-time line"
}

# Nothing in the folder but data.txt and output files (no file left behind).
expect_no_leftovers() {
    local other
    other=$(find "$w" -mindepth 1 -maxdepth 1 ! -name data.txt ! -name '*_matrix.csv' \
            ! -name '*_network_0.*.sif' ! -name '*_network_0.*.net' -printf '%f ')
    [[ -z $other ]] || problem "files left behind: $other"
}

prefix_of() { echo "${1^}"; }

# Marker files under the seven output names of a program.
markers() {
    local s
    for s in "${suffixes[@]}"; do echo "earlier $(prefix_of "$1")$s" >"$w/$(prefix_of "$1")$s"; done
}

# A previous successful run's files in the case folder, plus another program's
# markers; fails the case when that run does not succeed.
seed_previous() {
    good_table >"$w/data.txt"
    (cd "$w" && printf '%s\n%s\n' $V $N | "$build/$1" >/dev/null 2>&1) || problem "the seeding run failed"
    local s
    for s in "${suffixes[@]}"; do
        [[ -s $w/$(prefix_of "$1")$s || $s == *.sif ]] || problem "the seeding run left $(prefix_of "$1")$s empty"
    done
    markers spearman1st
    [[ $1 == spearman1st ]] && markers pearson1st
}

# Reference files of every program on the good table.
for p in "${programs[@]}"; do
    mkdir -p "$scratch/ref/$p"
    good_table >"$scratch/ref/$p/data.txt"
    (cd "$scratch/ref/$p" && printf '%s\n%s\n' $V $N | "$build/$p" >/dev/null) ||
        { echo "the reference run of $p failed"; exit 1; }
done

# --- the dialogue --------------------------------------------------------------

dialogue_case() { # title answers expected-stdout message-regex [program]
    local p=${5:-pearson0th}
    begin "$p, $1: status 1, message, no file touched"
    good_table >"$w/data.txt"
    markers "$p"
    keep
    run "$p" "$2"
    expect_status 1
    expect_message "$p" "$4"
    expect_stdout "$3"
    expect_kept
    end
}
whole='the number of variables must be a whole number from 0 to 2147483647'
for p in "${programs[@]}"; do
    dialogue_case "first answer not an integer" $'abc\n3\n' "$ask1" "$whole" "$p"
    dialogue_case "end of input before the first answer" '' "$ask1" \
        'standard input ended before the number of variables' "$p"
done
dialogue_case "second answer not an integer" $'3\nx\n' "$ask2" \
    'the number of observations must be a whole number from 0 to 2147483647'
dialogue_case "a decimal answer leaves .5 for the second count" $'3.5\n4\n' "$ask2" \
    'the number of observations must be a whole number from 0 to 2147483647'
dialogue_case "first answer 2147483648 (past int)" $'2147483648\n3\n' "$ask1" "$whole"
dialogue_case "first answer -2147483649 (past int)" $'-2147483649\n3\n' "$ask1" "$whole"
dialogue_case "negative first count" $'-1\n3\n' "$ask1" \
    'the number of variables cannot be negative: -1'
dialogue_case "negative second count" $'3\n-1\n' "$ask2" \
    'the number of observations cannot be negative: -1'
dialogue_case "2147483647 then -1" $'2147483647\n-1\n' "$ask2" \
    'the number of observations cannot be negative: -1'
dialogue_case "whitespace only" $' \n\n\t\n' "$ask1" \
    'standard input ended before the number of variables'
dialogue_case "end of input before the second answer" $'3\n' "$ask2" \
    'standard input ended before the number of observations'
dialogue_case "end of input before the second answer, no line feed" '3' "$ask2" \
    'standard input ended before the number of observations'

begin "closed standard input: status 1, message, no file touched"
good_table >"$w/data.txt"
markers pearson0th
keep
(cd "$w" && exec timeout 120 "$build/pearson0th" <&- >"$c/stdout" 2>"$c/stderr")
status=$?
expect_status 1
expect_message pearson0th '.*(variables|standard input).*'
expect_stdout "$ask1"
expect_kept
end

# --- counts that cannot fit in memory -------------------------------------------

for counts in '2147483647 2147483647' '2147483647 0' '0 2147483647' '2147483647 1' '100000 100000'; do
    for p in pearson0th pearson3rd spearman2nd; do
        begin "$p, counts $counts: not enough memory, status 1, no file touched"
        good_table >"$w/data.txt"
        markers "$p"
        keep
        run "$p" "${counts/ /$'\n'}"$'\n'
        expect_status 1
        expect_message "$p" "not enough memory .*"
        expect_stdout "$ask3"
        expect_kept
        end
    done
done

# --- data.txt that cannot be read ----------------------------------------------

table_case() { # title message-regex answers [program]: data.txt is set up by the caller's hook
    local p=${4:-pearson0th}
    begin "$p, $1: status 1, message naming data.txt, earlier results kept"
    seed_previous "$p"
    setup_table
    keep
    run "$p" "$3"
    expect_status 1
    expect_message "$p" "$2"
    expect_stdout "$ask3"
    expect_kept
    end
}
answers=$V$'\n'$N$'\n'
setup_table() { rm "$w/data.txt"; }
for p in "${programs[@]}"; do
    table_case "data.txt missing" 'data\.txt: No such file or directory' "$answers" "$p"
done
setup_table() { rm "$w/data.txt"; mkdir "$w/data.txt"; }
table_case "data.txt a directory" 'data\.txt: Is a directory' "$answers"
table_case "data.txt a directory, counts 0 and 0" 'data\.txt: Is a directory' $'0\n0\n'
setup_table() { rm "$w/data.txt"; ln -s nowhere/data.txt "$w/data.txt"; }
table_case "data.txt a dangling link" 'data\.txt: No such file or directory' "$answers"

# Permissions: as an ordinary user, or as root through setpriv running the
# program as nobody in a folder that nobody owns. Skipped when neither works.
as_user=()
if [[ $(id -u) -eq 0 ]]; then
    chmod 755 "$scratch"
    if command -v setpriv >/dev/null &&
        setpriv --reuid=65534 --regid=65534 --clear-groups test -x "$build/pearson0th" 2>/dev/null; then
        as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    fi
fi
if [[ $(id -u) -ne 0 || ${#as_user[@]} -gt 0 ]]; then
    run_as_user() { # program answers
        printf '%s' "$2" >"$c/stdin"
        chmod 755 "$c"
        (cd "$w" && exec timeout 120 "${as_user[@]}" "$build/$1" <"$c/stdin" >"$c/stdout" 2>"$c/stderr")
        status=$?
    }
    begin "pearson0th, data.txt unreadable: status 1, message naming data.txt, earlier results kept"
    seed_previous pearson0th
    [[ ${#as_user[@]} -gt 0 ]] && chown -R 65534:65534 "$w"
    chown 0:0 "$w/data.txt" 2>/dev/null
    chmod 000 "$w/data.txt"
    keep
    run_as_user pearson0th "$answers"
    expect_status 1
    expect_message pearson0th 'data\.txt: Permission denied'
    expect_stdout "$ask3"
    expect_kept
    end

    begin "pearson0th, an output file not writable: status 1, message naming it, no output file emptied"
    seed_previous pearson0th
    [[ ${#as_user[@]} -gt 0 ]] && chown -R 65534:65534 "$w"
    chown 0:0 "$w/Pearson0th_network_0.001.net" 2>/dev/null
    chmod 444 "$w/Pearson0th_network_0.001.net"
    keep
    run_as_user pearson0th "$answers"
    expect_status 1
    expect_message pearson0th 'Pearson0th_network_0\.001\.net: Permission denied'
    expect_stdout "$ask3"
    expect_kept
    end

    # Output files that may be written, in a folder where nothing may be
    # created: the run writes them and succeeds.
    begin "pearson0th, writable output files in a folder closed to new files: completes, complete files"
    good_table >"$w/data.txt"
    markers pearson0th
    chown 65534:65534 "$w"/Pearson0th_*
    [[ ${#as_user[@]} -eq 0 ]] && chmod 555 "$w"
    run_as_user pearson0th "$answers"
    chmod 755 "$w"
    expect_status 0
    expect_quiet
    expect_run_output
    for s in "${suffixes[@]}"; do
        cmp -s "$w/Pearson0th$s" "$scratch/ref/pearson0th/Pearson0th$s" || problem "Pearson0th$s is not the complete result"
    done
    end
else
    echo "skip: the permission cases need an ordinary user or setpriv"
fi

# An endless data.txt under a memory limit: a message, status 1, nothing
# touched. AddressSanitizer needs more address space than any such limit.
if ! grep -q '^ASSOCNET_SANITIZE:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
    begin "pearson0th, data.txt endless (/dev/zero) under a 1 GB limit: status 1, message, no file touched"
    ln -s /dev/zero "$w/data.txt"
    markers pearson0th
    keep
    printf '%s' "$answers" >"$c/stdin"
    (cd "$w" && ulimit -v 1000000 && exec timeout 120 "$build/pearson0th" <"$c/stdin" >"$c/stdout" 2>"$c/stderr")
    status=$?
    expect_status 1
    expect_message pearson0th '.*memory.*'
    expect_stdout "$ask3"
    expect_kept
    end
fi

# --- tables that do not hold what the counts promise ---------------------------

# with_value LINE FIELD TOKEN: the good table with one token replaced.
with_value() { good_table | awk -v L="$1" -v K="$2" -v T="$3" 'BEGIN { OFS = "\t" } NR == L { $K = T } 1'; }
at='data\.txt, line'
setup_table() { : >"$w/data.txt"; }
table_case "empty data.txt" "$at 1: the file is empty; expected the name line" "$answers"
setup_table() { good_table | head -n 1 >"$w/data.txt"; }
table_case "a name line only" "$at 2: the file ends after 0 of 6 variable lines" "$answers"
setup_table() { good_table | tr '\n' '\r' >"$w/data.txt"; }
table_case "carriage returns alone as line ends" "$at 1: the file ends after 0 of 6 variable lines" "$answers"
for p in "${programs[@]}"; do
    setup_table() { with_value 4 6 1e999 >"$w/data.txt"; }
    table_case "value 1e999" "$at 4: variable \"v3\" \\(number 3\\), value 5 of 12: expected a number within the range of a double, found \"1e999\"" "$answers" "$p"
done
setup_table() { with_value 7 13 -1e999 >"$w/data.txt"; }
table_case "value -1e999" "$at 7: variable \"v6\" \\(number 6\\), value 12 of 12: expected a number within the range of a double, found \"-1e999\"" "$answers"
for token in NA nan inf 1,5 0x1p3 1.5abc 1e - .; do
    setup_table() { with_value 2 2 "$token" >"$w/data.txt"; }
    table_case "value $token" "$at 2: variable \"v1\" \\(number 1\\), value 1 of 12: expected a number, found \"${token//./\\.}\"" "$answers"
done
setup_table() { good_table | awk 'NR == 3 { NF = NF - 1 } 1' OFS='\t' >"$w/data.txt"; }
table_case "a variable line one value short" "$at 4: variable \"v2\" \\(number 2\\), value 12 of 12: expected a number, found \"v3\"" "$answers"
setup_table() { good_table | head -n 5 >"$w/data.txt"; }
table_case "fewer variable lines than promised" "$at 6: the file ends after 4 of 6 variable lines" "$answers"
setup_table() { good_table | awk 'NR == 7 { NF = NF - 1; printf "%s", $0; next } 1' OFS='\t' >"$w/data.txt"; }
table_case "the file ends inside the last line" "$at 7: variable \"v6\" \\(number 6\\), value 12 of 12: the file ends here; expected a number" "$answers"
setup_table() { good_table >"$w/data.txt"; }
table_case "counts far larger than the table" "$at 8: the file ends after 90 of 1000 observation names" $'1000\n1000\n'
table_case "more observations than the table has" "$at 4: variable \"v2\" \\(number 1\\), value 13 of 20: expected a number, found \"v3\"" $'6\n20\n'
table_case "more variables than the table has" "$at 8: the file ends after 6 of 50 variable lines" $'50\n12\n'
setup_table() {
    local k
    # shellcheck disable=SC2059 # the format is the byte itself
    for k in $(seq 0 1023); do printf "\\$(printf %03o $(((k * 37 + k / 7 + 11) % 256)))"; done >"$w/data.txt"
}
table_case "binary garbage" "$at [0-9]+: .*" "$answers"
table_case "binary garbage, spearman2nd" "$at [0-9]+: .*" "$answers" spearman2nd

# --- output files that cannot be created or written -----------------------------

output_case() { # program suffix kind(dir|dangling) message-regex
    local p=$1 file
    file=$(prefix_of "$p")$2
    begin "$p, $file taken by a $3: status 1, message naming it, no output file emptied"
    seed_previous "$p"
    rm "$w/$file"
    if [[ $3 == directory ]]; then mkdir "$w/$file"; else ln -s nowhere/x "$w/$file"; fi
    keep
    run "$p" "$answers"
    expect_status 1
    expect_message "$p" "${file//./\\.}: $4"
    expect_stdout "$ask3"
    expect_kept
    end
}
for s in "${suffixes[@]}"; do output_case pearson0th "$s" directory 'Is a directory'; done
for p in "${programs[@]:1}"; do output_case "$p" _network_0.0001.net directory 'Is a directory'; done
output_case pearson2nd _matrix.csv 'dangling link' 'No such file or directory'
output_case spearman0th _network_0.001.sif 'dangling link' 'No such file or directory'

# A file whose writes fail: the message names it; every other output file is
# empty or a whole-line prefix of the correct result, never a partial line.
if [[ -c /dev/full ]]; then
    for pair in pearson0th:_matrix.csv pearson0th:_network_0.01.sif pearson1st:_network_0.0001.net \
                spearman2nd:_matrix.csv pearson3rd:_network_0.001.net; do
        p=${pair%%:*} s=${pair#*:}
        file=$(prefix_of "$p")$s
        begin "$p, $file a link to /dev/full: status 1, message naming it, no partial line"
        seed_previous "$p"
        rm "$w/$file"
        ln -s /dev/full "$w/$file"
        run "$p" "$answers"
        expect_status 1
        expect_message "$p" "${file//./\\.}: No space left on device"
        expect_run_output
        [[ -L $w/$file ]] || problem "the link was replaced"
        expect_no_leftovers
        for t in "${suffixes[@]}"; do
            f=$(prefix_of "$p")$t
            [[ $f == "$file" ]] && continue
            [[ -f $w/$f ]] || { problem "$f is missing"; continue; }
            size=$(stat -c %s "$w/$f")
            if ((size > 0)); then
                [[ -z $(tail -c 1 "$w/$f") ]] || problem "$f ends in a partial line"
                cmp -s -n "$size" "$w/$f" "$scratch/ref/$p/$f" || problem "$f is not a prefix of the correct result"
            fi
        done
        end
    done

    begin "standard output on /dev/full: status 1, message naming standard output"
    good_table >"$w/data.txt"
    printf '%s' "$answers" >"$c/stdin"
    (cd "$w" && exec timeout 120 "$build/pearson0th" <"$c/stdin" >/dev/full 2>"$c/stderr")
    status=$?
    : >"$c/stdout"
    expect_status 1
    expect_message pearson0th 'standard output: .*'
    end
fi

# A regular file whose write fails part way (a file size limit, its signal
# ignored so the write reports EFBIG): the message names the file, and every
# file is cut back to its last complete line, a prefix of the correct result.
begin "pearson0th, writes cut by a file size limit: status 1, files end at their last complete line"
awk 'BEGIN {
    printf "probe"; for (j = 1; j <= 12; j++) printf "\to%d", j; printf "\n"
    for (i = 1; i <= 150; i++) {
        printf "v%d", i
        for (j = 1; j <= 12; j++) printf "\t%.5f", 3 * sin(0.37 * i * j + i) + 0.01 * i * j
        printf "\n"
    }
}' >"$w/data.txt"
mkdir -p "$c/ref"
cp "$w/data.txt" "$c/ref/"
(cd "$c/ref" && printf '150\n12\n' | "$build/pearson0th" >/dev/null 2>&1) || problem "the complete run failed"
printf '150\n12\n' >"$c/stdin"
(cd "$w" && trap '' XFSZ && ulimit -f 100 && exec timeout 120 "$build/pearson0th" <"$c/stdin" >"$c/stdout" 2>"$c/stderr")
status=$?
expect_status 1
expect_message pearson0th 'Pearson0th_[a-z0-9_.]+: File too large'
expect_run_output
for s in "${suffixes[@]}"; do
    f=Pearson0th$s
    [[ -f $w/$f ]] || { problem "$f is missing"; continue; }
    size=$(stat -c %s "$w/$f")
    ((size > 0)) && [[ -n $(tail -c 1 "$w/$f") ]] && problem "$f ends in a partial line ($size bytes)"
    cmp -s -n "$size" "$w/$f" "$c/ref/$f" || problem "$f is not a prefix of the correct result"
done
expect_no_leftovers
full=$(stat -c %s "$c/ref/Pearson0th_matrix.csv")
((full > 102400)) || problem "the complete report ($full bytes) does not reach the limit"
end

# --- degenerate input completes: the IEEE specials flow on silently -------------

# Counts typed as 0, and tables whose statistics are not-a-number or infinite
# (a constant variable, N = 1, N at or below 3 + order) run to the end with
# status 0, no message, seven files of whole lines, in every build.
more_checks() { :; }
complete_case() { # title answers program
    local p=$3 s f
    begin "$p, $1: completes with status 0"
    setup_table
    run "$p" "$2"
    expect_status 0
    expect_quiet
    expect_run_output
    expect_times
    for s in "${suffixes[@]}"; do
        f=$w/$(prefix_of "$p")$s
        [[ -f $f ]] || { problem "$(prefix_of "$p")$s missing"; continue; }
        [[ ! -s $f || -z $(tail -c 1 "$f") ]] || problem "$(prefix_of "$p")$s ends in a partial line"
    done
    expect_no_leftovers
    more_checks "$p"
    end
}
zero_files() {
    local s f
    for s in "${suffixes[@]}"; do
        f=$w/$(prefix_of "$1")$s
        case $s in
        *.sif) [[ -s $f ]] && problem "${f##*/} of zero variables is not empty" ;;
        *.net) [[ $(cat "$f") == $'*Vertices 0\n*Edges' ]] || problem "${f##*/} is not an empty network" ;;
        esac
    done
}
same_as_reference() {
    local s f
    for s in "${suffixes[@]}"; do
        f=$(prefix_of "$1")$s
        cmp -s "$w/$f" "$scratch/ref/$1/$f" || problem "$f differs from the run on line feeds alone"
    done
}
for p in "${programs[@]}"; do
    setup_table() { good_table >"$w/data.txt"; }
    more_checks() { zero_files "$@"; }
    complete_case "counts 0 and 0" $'0\n0\n' "$p"
    complete_case "counts 0 and 0 on one line, no line feed" '0 0' "$p"
    more_checks() { :; }
    complete_case "one observation" $'6\n1\n' "$p"
    complete_case "three observations" $'6\n3\n' "$p"
    complete_case "counts 6 and 0" $'6\n0\n' "$p"
    complete_case "counts 0 and 12" $'0\n12\n' "$p"
    setup_table() { good_table | awk 'NR == 4 { for (k = 2; k <= NF; k++) $k = 2.5 } 1' >"$w/data.txt"; }
    complete_case "a constant variable" "$answers" "$p"
    setup_table() { good_table | sed 's/$/\r/' >"$w/data.txt"; }
    more_checks() { same_as_reference "$@"; }
    complete_case "carriage return and line feed line ends, same files" "$answers" "$p"
    more_checks() { :; }
done

# An earlier output file is emptied and written again, not replaced by a new
# file: its permissions stay, and a second name linked to it sees the result.
begin "pearson0th, earlier output files are rewritten in place: mode and hard links kept"
good_table >"$w/data.txt"
markers pearson0th
chmod 600 "$w/Pearson0th_matrix.csv"
chmod 640 "$w/Pearson0th_network_0.01.net"
ln "$w/Pearson0th_network_0.001.sif" "$c/saved.sif"
run pearson0th "$answers"
expect_status 0
expect_quiet
[[ $(stat -c %a "$w/Pearson0th_matrix.csv") == 600 ]] ||
    problem "Pearson0th_matrix.csv has mode $(stat -c %a "$w/Pearson0th_matrix.csv"), was 600"
[[ $(stat -c %a "$w/Pearson0th_network_0.01.net") == 640 ]] ||
    problem "Pearson0th_network_0.01.net has mode $(stat -c %a "$w/Pearson0th_network_0.01.net"), was 640"
cmp -s "$c/saved.sif" "$scratch/ref/pearson0th/Pearson0th_network_0.001.sif" ||
    problem "the second name of Pearson0th_network_0.001.sif does not show the new result"
for s in "${suffixes[@]}"; do
    cmp -s "$w/Pearson0th$s" "$scratch/ref/pearson0th/Pearson0th$s" || problem "Pearson0th$s is not the complete result"
done
end

# --- assocnet: the files of a run appear together or not at all ---------------------

# Each case seeds out/ with an earlier run of other settings under the same
# names, then either every file of the new run is in place (the files of a
# run on its own, nothing else) or the folder is as it was, entry by entry.
example=$(cd "$(dirname "$0")/.." && pwd)/examples/data.txt
[[ -x $build/assocnet ]] || { echo "missing program $build/assocnet"; exit 1; }
"$build/assocnet" -q -o "$scratch/ref/assocnet" "$example" || { echo "the reference run of assocnet failed"; exit 1; }
seed_run() { # assocnet options of the earlier run
    cp "$example" "$w/data.txt"
    "$build/assocnet" -q -k 0 -p Pearson1st -o "$w/out" "$@" "$w/data.txt" || problem "the seeding run failed"
}
# assocnet -o out OPTIONS data.txt in the case folder, its streams as the caller redirects them.
assocnet_run() { (cd "$w" && exec timeout 120 "$build/assocnet" -o out "$@" data.txt </dev/null); }
expect_new_files() {
    snapshot "$w/out" >"$c/got"
    snapshot "$scratch/ref/assocnet" >"$c/want"
    cmp -s "$c/want" "$c/got" ||
        problem "out/ is not the new run's files: $(diff "$c/want" "$c/got" | grep '^[<>]' | head -n 3 | tr '\n' ' ')"
}
# Standard error holds the stage lines and nothing else.
expect_stages() {
    ! grep -Ev '^assocnet: (reading|correlating|partial correlations|selecting|writing)' "$c/stderr" >/dev/null ||
        problem "standard error holds more than the stage lines"
}

begin "assocnet, the last rename of a commit fails: status 1, every earlier file put back, the new ones gone"
seed_run -f matrix,sif,net
ln "$w/out/Pearson1st_matrix.tsv" "$w/matrix-link.tsv"
mkdir -p "$w/out/Pearson1st_network.graphml/inside"
keep
assocnet_run -q >"$c/stdout" 2>"$c/stderr"
status=$?
expect_status 1
expect_message assocnet 'out/Pearson1st_network\.graphml: Is a directory'
expect_kept
[[ $(stat -c %h "$w/out/Pearson1st_matrix.tsv") == 2 ]] || problem "Pearson1st_matrix.tsv is not the earlier file with its second link"
end

begin "assocnet, writes past the file-size limit: status 1, File too large, the folder as it was"
seed_run -f sif
keep
(ulimit -f 16 && assocnet_run -q >"$c/stdout" 2>"$c/stderr")
status=$?
expect_status 1
expect_message assocnet 'out/Pearson1st_[a-z0-9_.]+: File too large'
expect_kept
end

begin "assocnet, standard output closed: completes with status 0, the new files in place"
seed_run
assocnet_run >&- 2>"$c/stderr"
status=$?
expect_status 0
expect_stages
expect_new_files
end

begin "assocnet, standard error closed: completes with status 0, the new files in place"
seed_run
assocnet_run >"$c/stdout" 2>&-
status=$?
expect_status 0
grep -q '^files     9 files in out:' "$c/stdout" || problem "no summary on standard output"
expect_new_files
end

# A pipe whose reader has gone: a write to it fails (or raises SIGPIPE).
mkfifo "$scratch/pipe"
exec {pipe_both}<>"$scratch/pipe" {pipe}>"$scratch/pipe" {pipe_both}<&-

begin "assocnet, standard error a pipe nobody reads: stops, the folder as it was"
seed_run
keep
assocnet_run >"$c/stdout" 2>&$pipe
status=$?
expect_status 141
expect_kept
end

begin "assocnet, standard output a pipe nobody reads: completes with status 0, a warning, the new files in place"
seed_run
assocnet_run >&$pipe 2>"$c/stderr"
status=$?
expect_status 0
grep -q '^assocnet: warning: standard output: the summary could not be written$' "$c/stderr" ||
    problem "no warning that the summary was lost"
expect_new_files
end
exec {pipe}>&-

if [[ $(id -u) -ne 0 || ${#as_user[@]} -gt 0 ]]; then
    begin "assocnet, an output folder closed to new files: refused before the computation, nothing made"
    cp "$example" "$w/data.txt"
    mkdir "$w/out"
    [[ ${#as_user[@]} -eq 0 ]] && chmod 555 "$w/out"
    keep
    chmod 755 "$c"
    (cd "$w" && exec timeout 120 "${as_user[@]}" "$build/assocnet" -o out data.txt </dev/null >"$c/stdout" 2>"$c/stderr")
    status=$?
    chmod 755 "$w/out"
    expect_status 1
    [[ $(tail -n 1 "$c/stderr") == 'assocnet: cannot write in out: Permission denied' ]] ||
        problem "last message: $(tail -n 1 "$c/stderr")"
    grep -q '^assocnet: correlating' "$c/stderr" && problem "the computation began"
    expect_kept
    end
fi

echo "faults: $passed passed, $failed failed"
((failed == 0))

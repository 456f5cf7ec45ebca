#!/usr/bin/env bash
# Mutation check of the test suite.
#
# Each row of scripts/mutations.tsv names one small fault planted in product
# code (common, api_extensions, nxclient, src, gateway): the file by its
# basename (or several, separated by '|', when the code may live in either;
# the first holding the text is used), a fixed piece of text that must occur
# on exactly one line of it,
# the text that replaces it, and the test programs that should notice.  For
# every row the script plants the fault in the working tree, rebuilds only
# those test programs (and what they depend on) in the build directory, runs
# them and puts the file back.  A row is
#   CAUGHT      a test program failed (or timed out),
#   MISSED      every named test program passed,
#   BUILD-FAIL  the planted fault did not compile,
#   MISSING     the file or the text was not found exactly once.
# Exit status 0 only when every row selected is CAUGHT.
#
# Usage: scripts/mutate.sh [--build-dir DIR] [--only ID[,ID...]] [--list]
#                          [--check] [--timeout SECONDS] [--shards N] [--keep-logs DIR]
#                          [--table FILE] [--sample N [--seed S]]
#   --list       print the table and stop
#   --sample     run only N rows drawn at random (from those --only names,
#                when given); the seed is printed so that the same draw can
#                be replayed with --seed
#   --seed       the seed of --sample (default: today's date, UTC, YYYYMMDD)
#   --check      only look for each row's text (MISSING or found), no build
#   --timeout    seconds one test program may run (default 600)
#   --shards     run a test program named without a filter as N GoogleTest
#                shards at once (default 1); the first that fails stops the rest
#   --keep-logs  keep each row's build and test output in DIR/<id>.log
#   --table      read the rows from FILE instead of scripts/mutations.tsv
#
# Table format (tab-separated, '#' starts a comment line):
#   id  file  kind  original  replacement  tests  description
# where tests is a comma-separated list of test program names (unit_src,
# e2e_velk, integration_nxclient, ...), found as DIR/tests/<name>; a name
# may end in ":FILTER" to run only the tests that GoogleTest filter selects
# (e2e_velk:VelkVerify.*), so that a row need not wait for the whole program.
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
TABLE="$ROOT/scripts/mutations.tsv"
BUILD="$ROOT/build"
ONLY=""
LIST=0
TIMEOUT=600
CHECK=0
LOGDIR=""
SAMPLE=0
SEED=""
SHARDS=1
PRODUCT_DIRS=(common api_extensions nxclient src gateway)

usage() {
    sed -n '2,/^set -uo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'
}

while [ $# -gt 0 ]; do
    case "$1" in
    --build-dir) BUILD="${2:?--build-dir needs a directory}"; shift 2 ;;
    --build-dir=*) BUILD="${1#*=}"; shift ;;
    --only) ONLY="${2:?--only needs ids}"; shift 2 ;;
    --only=*) ONLY="${1#*=}"; shift ;;
    --list) LIST=1; shift ;;
    --check) CHECK=1; shift ;;
    --timeout) TIMEOUT="${2:?--timeout needs seconds}"; shift 2 ;;
    --shards) SHARDS="${2:?--shards needs a count}"; shift 2 ;;
    --keep-logs) LOGDIR="${2:?--keep-logs needs a directory}"; shift 2 ;;
    --table) TABLE="${2:?--table needs a file}"; shift 2 ;;
    --sample) SAMPLE="${2:?--sample needs a count}"; shift 2 ;;
    --sample=*) SAMPLE="${1#*=}"; shift ;;
    --seed) SEED="${2:?--seed needs a number}"; shift 2 ;;
    --seed=*) SEED="${1#*=}"; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "mutate.sh: unknown argument: $1" >&2; usage >&2; exit 2 ;;
    esac
done
case "$SAMPLE" in '' | *[!0-9]*) echo "mutate.sh: --sample needs a count" >&2; exit 2 ;; esac
case "$SHARDS" in '' | *[!0-9]* | 0) echo "mutate.sh: --shards needs a count" >&2; exit 2 ;; esac
case "$SEED" in *[!0-9]*) echo "mutate.sh: --seed needs a number" >&2; exit 2 ;; esac
[ -n "$SEED" ] || SEED=$(date -u +%Y%m%d)
case "$BUILD" in /*) ;; *) BUILD="$PWD/$BUILD" ;; esac
case "$TABLE" in /*) ;; *) TABLE="$PWD/$TABLE" ;; esac
cd "$ROOT" || exit 2

# ---------------------------------------------------------------------------
# The table.
# ---------------------------------------------------------------------------
IDS=() FILES=() KINDS=() ORIGS=() REPLS=() TESTS=() DESCS=()
lineno=0
while IFS= read -r line || [ -n "$line" ]; do
    lineno=$((lineno + 1))
    case "$line" in '' | '#'*) continue ;; esac
    IFS=$'\t' read -r id file kind orig repl tests desc extra <<<"$line"
    if [ -z "${desc:-}" ] || [ -n "${extra:-}" ]; then
        echo "mutate.sh: $TABLE:$lineno: want 7 tab-separated fields" >&2
        exit 2
    fi
    for seen in "${IDS[@]}"; do
        if [ "$seen" = "$id" ]; then
            echo "mutate.sh: $TABLE:$lineno: duplicate id $id" >&2
            exit 2
        fi
    done
    IDS+=("$id") FILES+=("$file") KINDS+=("$kind") ORIGS+=("$orig") REPLS+=("$repl")
    TESTS+=("$tests") DESCS+=("$desc")
done <"$TABLE"

selected() {
    [ -z "$ONLY" ] && return 0
    local want
    IFS=',' read -ra want <<<"$ONLY"
    for w in "${want[@]}"; do [ "$w" = "$1" ] && return 0; done
    return 1
}

if [ -n "$ONLY" ]; then
    IFS=',' read -ra want <<<"$ONLY"
    for w in "${want[@]}"; do
        found=0
        for id in "${IDS[@]}"; do [ "$id" = "$w" ] && found=1; done
        if [ $found -eq 0 ]; then
            echo "mutate.sh: no mutation with id $w" >&2
            exit 2
        fi
    done
fi

# A sample: N of the selected rows, drawn by a generator seeded with SEED
# (awk's, so the same seed draws the same rows on every machine with the
# same awk), run in table order.
if [ "$SAMPLE" -gt 0 ]; then
    pool=()
    for id in "${IDS[@]}"; do selected "$id" && pool+=("$id"); done
    ONLY=$(printf '%s\n' "${pool[@]}" |
        awk -v seed="$SEED" 'BEGIN { srand(seed) } { print rand() "\t" NR "\t" $0 }' |
        sort -k1,1g -k2,2n | head -n "$SAMPLE" | cut -f3 | paste -sd, -)
    echo "mutate.sh: a sample of $SAMPLE of ${#pool[@]} rows, seed $SEED" \
        "(replay: scripts/mutate.sh --sample $SAMPLE --seed $SEED)"
fi

if [ $LIST -eq 1 ]; then
    printf '%-6s %-24s %-14s %-40s %s\n' ID FILE KIND TESTS DESCRIPTION
    for i in "${!IDS[@]}"; do
        selected "${IDS[$i]}" || continue
        printf '%-6s %-24s %-14s %-40s %s\n' "${IDS[$i]}" "${FILES[$i]}" "${KINDS[$i]}" "${TESTS[$i]}" "${DESCS[$i]}"
    done
    exit 0
fi

# ---------------------------------------------------------------------------
# Planting and restoring.
# ---------------------------------------------------------------------------
WORK=$(mktemp -d "${TMPDIR:-/tmp}/mutate.XXXXXX")
CURRENT_FILE=""  # the product file now holding a planted fault

restore() {
    if [ -n "$CURRENT_FILE" ]; then
        # Copy the bytes back (not the old time stamp: the object file built
        # from the fault is newer and must be rebuilt next time).
        cat "$WORK/original" >"$CURRENT_FILE"
        CURRENT_FILE=""
    fi
}
on_exit() {
    restore
    rm -rf "$WORK"
}
trap on_exit EXIT
trap 'echo "mutate.sh: interrupted" >&2; exit 130' INT TERM HUP

dirty_state() {
    git diff --no-ext-diff --binary -- "${PRODUCT_DIRS[@]}" | sha1sum
}
STATE_BEFORE=$(dirty_state)

# Prints the one product file whose basename is $1; fails unless exactly one.
find_file() {
    local matches
    matches=$(git ls-files -- "${PRODUCT_DIRS[@]}" | awk -F/ -v b="$1" '$NF == b')
    [ -n "$matches" ] && [ "$(printf '%s\n' "$matches" | wc -l)" -eq 1 ] || return 1
    printf '%s\n' "$matches"
}

# Replaces the fixed text ORIG by REPL in file $1 when ORIG occurs exactly
# once in exactly one line and prints that line's number; otherwise prints
# how often ORIG occurs and exits 3 (file untouched).
plant() {
    ORIG="$1" REPL="$2" perl -e '
        my ($path) = @ARGV;
        open(my $in, "<", $path) or exit 4;
        my @lines = <$in>;
        close $in;
        my ($orig, $repl) = ($ENV{ORIG}, $ENV{REPL});
        my ($hits, $at) = (0, -1);
        for my $i (0 .. $#lines) {
            my $pos = 0;
            while (($pos = index($lines[$i], $orig, $pos)) >= 0) {
                $hits++;
                $at = $i;
                $pos += length($orig);
            }
        }
        if ($hits != 1) {
            print "$hits\n";
            exit 3;
        }
        my $pos = index($lines[$at], $orig);
        substr($lines[$at], $pos, length($orig)) = $repl;
        open(my $out, ">", $path) or exit 4;
        print $out @lines;
        close $out or exit 4;
        print $at + 1, "\n";
    ' "$3"
}

# Prints the product file, among the '|'-separated basenames in $1, in which
# the text $2 occurs exactly once (the first such); otherwise prints why
# none qualifies and fails.  Several basenames let a row follow code that
# moved from one file to another.
locate() {
    local f p n why="" cands
    IFS='|' read -ra cands <<<"$1"
    for f in "${cands[@]}"; do
        if ! p=$(find_file "$f"); then
            why+="${why:+; }no single product file named $f"
            continue
        fi
        cp "$p" "$WORK/probe"
        if plant "$2" "$2" "$WORK/probe" >/dev/null; then
            printf '%s\n' "$p"
            return 0
        fi
        n=$(plant "$2" "$2" "$WORK/probe")
        why+="${why:+; }text found ${n:-?} times in $p, want once"
    done
    printf '%s\n' "$why"
    return 1
}

if [ $CHECK -eq 1 ]; then
    bad=0
    for i in "${!IDS[@]}"; do
        selected "${IDS[$i]}" || continue
        if ! path=$(locate "${FILES[$i]}" "${ORIGS[$i]}"); then
            echo "${IDS[$i]}: MISSING ($path)"
            bad=$((bad + 1))
            continue
        fi
        cp "$path" "$WORK/probe"
        at=$(plant "${ORIGS[$i]}" "${REPLS[$i]}" "$WORK/probe")
        echo "${IDS[$i]}: $path:$at"
    done
    [ $bad -eq 0 ]
    exit
fi

# ---------------------------------------------------------------------------
# Building and running.
# ---------------------------------------------------------------------------
build_targets() {
    local log="$1"
    shift
    local targets=() t
    for t in "$@"; do
        t="${t%%:*}"
        case " ${targets[*]} " in *" $t "*) ;; *) targets+=("$t") ;; esac
    done
    cmake --build "$BUILD" -j2 --target "${targets[@]}" >"$log" 2>&1
}

# Runs test program t with GoogleTest filter, as SHARDS shards at once when
# it runs whole (a shard that fails stops the others); its status.
run_program() {
    local log="$1" t="$2" filter="$3" i rc=0 r pids=()
    if [ "$SHARDS" -le 1 ] || [ "$filter" != "*" ]; then
        # A test program killed by a signal is reported in the log, not by
        # this shell on the terminal.
        { (cd "$BUILD" && exec timeout -k 10 "$TIMEOUT" "$BUILD/tests/$t" --gtest_brief=1 --gtest_fail_fast \
            "--gtest_filter=$filter") >>"$log" 2>&1; } 2>>"$log"
        return
    fi
    for ((i = 0; i < SHARDS; i++)); do
        # $! is timeout itself, which passes a TERM on to the program.
        (cd "$BUILD" && GTEST_TOTAL_SHARDS=$SHARDS GTEST_SHARD_INDEX=$i exec timeout -k 10 "$TIMEOUT" \
            "$BUILD/tests/$t" --gtest_brief=1 --gtest_fail_fast) >"$log.$i" 2>&1 &
        pids+=($!)
    done
    # A shard that ended is waited for; the first that failed stops the
    # others (their status no longer counts).
    while [ ${#pids[@]} -gt 0 ]; do
        local left=()
        for i in "${pids[@]}"; do
            if kill -0 "$i" 2>/dev/null; then
                left+=("$i")
                continue
            fi
            wait "$i" 2>>"$log"
            r=$?
            [ $r -ne 0 ] && [ $rc -eq 0 ] && rc=$r
        done
        pids=("${left[@]}")
        [ $rc -ne 0 ] && [ ${#pids[@]} -gt 0 ] && kill -TERM "${pids[@]}" 2>/dev/null
        [ ${#pids[@]} -gt 0 ] && sleep 0.2
    done
    for ((i = 0; i < SHARDS; i++)); do
        cat "$log.$i" >>"$log"
        rm -f "$log.$i"
    done
    return $rc
}

# Runs the named test programs; returns 0 when all pass, 1 when one fails.
run_tests() {
    local log="$1" t rc filter
    shift
    : >"$log"
    for t in "$@"; do
        echo "=== $t" >>"$log"
        filter="*"
        case "$t" in *:*) filter="${t#*:}" t="${t%%:*}" ;; esac
        run_program "$log" "$t" "$filter"
        rc=$?
        if [ $rc -ne 0 ]; then
            if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
                echo "=== $t timed out after ${TIMEOUT}s" >>"$log"
            elif [ $rc -gt 128 ]; then
                echo "=== $t killed by signal $((rc - 128))" >>"$log"
            fi
            echo "=== $t exit status $rc" >>"$log"
            return 1
        fi
    done
    return 0
}

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    echo "mutate.sh: $BUILD is not a configured build directory" \
        "(cmake -S . -B $BUILD -DCMAKE_BUILD_TYPE=RelWithDebInfo)" >&2
    exit 2
fi

# Every test program any selected row names must build unchanged first, or a
# failure would be blamed on the planted fault.
all_targets=()
for i in "${!IDS[@]}"; do
    selected "${IDS[$i]}" || continue
    IFS=',' read -ra ts <<<"${TESTS[$i]}"
    for t in "${ts[@]}"; do
        case " ${all_targets[*]} " in *" $t "*) ;; *) all_targets+=("$t") ;; esac
    done
done
echo "mutate.sh: building ${all_targets[*]} in $BUILD"
if ! build_targets "$WORK/baseline.log" "${all_targets[@]}"; then
    tail -n 40 "$WORK/baseline.log" >&2
    echo "mutate.sh: the unchanged tree does not build" >&2
    exit 2
fi

RESULTS=()
caught=0 missed=0 buildfail=0 missing=0
start_all=$(date +%s)
for i in "${!IDS[@]}"; do
    id="${IDS[$i]}"
    selected "$id" || continue
    file="${FILES[$i]}"
    IFS=',' read -ra ts <<<"${TESTS[$i]}"
    t0=$(date +%s)
    result=""
    note=""
    if ! path=$(locate "$file" "${ORIGS[$i]}"); then
        result=MISSING note="$path"
    else
        cp "$path" "$WORK/original"
        CURRENT_FILE="$path"
        if ! at=$(plant "${ORIGS[$i]}" "${REPLS[$i]}" "$path"); then
            CURRENT_FILE=""
            result=MISSING note="text found ${at:-?} times in $path, want once"
        elif cmp -s "$path" "$WORK/original"; then
            restore
            result=MISSING note="replacement leaves $path unchanged"
        elif ! build_targets "$WORK/build.log" "${ts[@]}"; then
            result=BUILD-FAIL note="$path:$at"
        elif run_tests "$WORK/test.log" "${ts[@]}"; then
            result=MISSED note="$path:$at"
        else
            why=$(grep -m1 -E '^\[  FAILED  \]|timed out|killed by signal' "$WORK/test.log" |
                sed 's/^\[  FAILED  \] //; s/ (.*//; s/^=== //')
            [ -n "$why" ] || why=$(grep -E '^=== .* exit status' "$WORK/test.log" | tail -n 1 | sed 's/^=== //')
            result=CAUGHT note="$path:$at; $why"
        fi
        restore
        if [ -n "$LOGDIR" ]; then
            mkdir -p "$LOGDIR"
            cat "$WORK/build.log" "$WORK/test.log" >"$LOGDIR/$id.log" 2>/dev/null
        fi
        rm -f "$WORK/build.log" "$WORK/test.log"
    fi
    case "$result" in
    CAUGHT) caught=$((caught + 1)) ;;
    MISSED) missed=$((missed + 1)) ;;
    BUILD-FAIL) buildfail=$((buildfail + 1)) ;;
    MISSING) missing=$((missing + 1)) ;;
    esac
    secs=$(($(date +%s) - t0))
    row=$(printf '%-6s %-28s %-13s %-10s %4ss  %s' "$id" "$file" "${KINDS[$i]}" "$result" "$secs" "$note")
    RESULTS+=("$row")
    echo "$row"
done

# Leave the build directory matching the tree again.
restore
if ! build_targets "$WORK/final.log" "${all_targets[@]}"; then
    echo "mutate.sh: warning: rebuilding the unchanged tree failed (see a rerun)" >&2
fi

total=${#RESULTS[@]}
echo
printf '%-6s %-28s %-13s %-10s %5s  %s\n' ID FILE KIND RESULT TIME DETAIL
printf '%s\n' "${RESULTS[@]}"
echo
echo "mutations: $total  caught: $caught  missed: $missed  build-fail: $buildfail  missing: $missing" \
    "($(($(date +%s) - start_all))s)"

if [ "$(dirty_state)" != "$STATE_BEFORE" ]; then
    echo "mutate.sh: product files differ from before the run; see git diff" >&2
    exit 2
fi
[ "$caught" -eq "$total" ]

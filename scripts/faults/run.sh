#!/usr/bin/env bash
# Tries the seeded faults of faults.txt: applies each to a copy of the tree,
# rebuilds it incrementally, runs the unit and end-to-end tests until the first
# failure and prints one line per fault: caught, caught(timeout), missed,
# nobuild (does not compile: replace it, it is not counted) or stale (its line
# is no longer in the code: run generate.py again).
#
#   scripts/faults/run.sh [ID | FROM-TO]... [--only PATH]... [--label NAME]
#                         [--source DIR] [--work DIR] [--shards N] [--timeout SECONDS]
#
# The first run, and any run after the code changed, builds the copy and runs
# every test once to time it; faults then run the suite in batches, quick
# tests first, --shards N processes at a time (default 2), each batch with a
# time limit of three times its unmodified time plus a minute (--timeout
# sets one limit for all).
#
# With no ID and no --only every fault is tried (hours). The results go to
# scripts/faults/results-NAME.txt (NAME defaults to "run"), a line per fault
# as it finishes; `scripts/faults/faults.py compare A B` lists the faults whose
# outcome differs between two runs. The copy (default /var/tmp/faults-tree,
# outside /tmp because each test run gets a /tmp of its own) is kept between
# runs so that only what a fault touches is rebuilt. Needs root, as the
# end-to-end tests do.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
source_dir=$root
work=/var/tmp/faults-tree
label=run
shards=2
timeout_override=
selectors=()
while (($#)); do
    case $1 in
        --only) selectors+=(--only "$2"); shift 2 ;;
        --label) label=$2; shift 2 ;;
        --source) source_dir=$(cd "$2" && pwd); shift 2 ;;
        --work) work=$2; shift 2 ;;
        --shards) shards=$2; shift 2 ;;
        --timeout) timeout_override=$2; shift 2 ;;
        -h | --help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        [0-9]*) selectors+=("$1"); shift ;;
        *) echo "run.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
    esac
done

list=$here/faults.txt
results=$here/results-$label.txt
tree=$work/src
build=$work/build
faults() { python3 "$here/faults.py" "$@"; }

mkdir -p "$work"
exec 9>"$work/lock"
flock -n 9 || { echo "run.sh: another run uses $work" >&2; exit 1; }

running=()
suite_result=pass
suite_test=
cleanup() {
    local pid
    for pid in "${running[@]}"; do kill -KILL -- "-$pid" 2>/dev/null || true; done
    faults revert "$tree"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A test run of its own /tmp and /dev/shm: what a killed test leaves there
# (sandboxes, tmpfs mounts) goes with it, and runs in parallel never meet.
if unshare -m --propagation private true 2>/dev/null; then
    isolate=(unshare -m --propagation private sh -c
        'mount -t tmpfs tmpfs /tmp && mount -t tmpfs tmpfs /dev/shm && exec "$@"' sh)
else
    echo "run.sh: cannot make a mount namespace; the tests share /tmp" >&2
    isolate=()
fi

# Starts one test process in the background: test binary, time limit, log,
# then gtest's arguments. Its pid is in $!; it leads a process group of its
# own (timeout's), so that a kill reaches the installer runs it started.
start_tests() {
    local binary=$1 limit=$2 log=$3
    shift 3
    timeout -k 5 "$limit" "${isolate[@]}" "$build/tests/$binary" "$@" >"$log" 2>&1 </dev/null &
}

# Waits for the processes in `running` one by one; at the first that fails,
# kills the others. Sets suite_result (pass, fail, timeout) and suite_test.
# `log_of` maps a pid to its log and test binary.
wait_tests() {
    local pid done_pid status=0 log rest=()
    wait -n -p done_pid "${running[@]}" || status=$?
    for pid in "${running[@]}"; do [[ $pid == "$done_pid" ]] || rest+=("$pid"); done
    running=("${rest[@]}")
    ((status == 0)) && return 0
    for pid in "${running[@]}"; do kill -TERM -- "-$pid" 2>/dev/null || true; done
    for pid in "${running[@]}"; do wait "$pid" 2>/dev/null || true; done
    running=()
    read -r log binary <<<"${log_of[$done_pid]}"
    if ((status == 124 || status == 137)); then
        suite_result=timeout
        suite_test=$(grep -o '^\[ RUN      \] .*' "$log" | tail -1 | cut -c14- || true)
    else
        suite_result=fail
        suite_test=$(grep -m1 -o '^\[  FAILED  \] [^ ,]*' "$log" | cut -c14- || true)
        [[ -n $suite_test ]] || suite_test="exit $status"
    fi
    suite_test="$binary ${suite_test:-?}"
}

# The whole suite, in the batches of $work/batches, $shards processes at a
# time, until the first failure. A batch may take three times as long as it
# did on the unmodified tree, and a minute more.
run_suite() {
    local batches next=0 binary seconds filter limit
    local -A log_of=()
    mapfile -t batches <"$work/batches"
    rm -f "$work"/batch-*.log
    running=()
    suite_result=pass
    suite_test=
    while ((next < ${#batches[@]} || ${#running[@]})); do
        while ((${#running[@]} < shards && next < ${#batches[@]})); do
            IFS=$'\t' read -r binary seconds filter <<<"${batches[next]}"
            limit=${timeout_override:-$((${seconds%.*} * 3 + 60))}
            start_tests "$binary" "$limit" "$work/batch-$next.log" --gtest_fail_fast --gtest_filter="$filter"
            running+=($!)
            log_of[$!]="$work/batch-$next.log $binary"
            next=$((next + 1))
        done
        wait_tests
        [[ $suite_result == pass ]] || return 0
    done
}

# The unmodified tree: every test, timed, in $shards shards per binary.
run_baseline() {
    local binary i reports=()
    local -A log_of=()
    suite_result=pass
    for binary in unit_tests e2e_tests; do
        running=()
        for ((i = 0; i < shards; i++)); do
            GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$i start_tests "$binary" 3600 "$work/baseline-$i.log" \
                --gtest_output="json:$work/baseline-$binary-$i.json"
            running+=($!)
            log_of[$!]="$work/baseline-$i.log $binary"
        done
        while ((${#running[@]})); do wait_tests; done
        [[ $suite_result == pass ]] || return 0
        reports+=("$binary=$(echo "$work/baseline-$binary-"*.json | tr ' ' ,)")
    done
    faults batches "${reports[@]}" >"$work/batches"
}

# Without -Werror, so that a fault that only draws a warning is still tried;
# no debug information, which only slows the links.
configure=(-G Ninja -DINSTALLER_WERROR=OFF -DINSTALLER_INFLATE=isal -DCMAKE_BUILD_TYPE=Release
    "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" "-DCMAKE_CXX_COMPILER_LAUNCHER=$here/compile.sh")
build_all() { timeout 3600 ninja -C "$build" >"$work/build.log" 2>&1; }

faults revert "$tree"
changed=$(faults sync "$source_dir" "$tree")
if [[ ! -f $build/build.ninja || "$(cat "$work/configured" 2>/dev/null)" != "${configure[*]}" ]]; then
    cmake -S "$tree" -B "$build" "${configure[@]}" >"$work/configure.log"
    echo "${configure[*]}" >"$work/configured"
    changed=configured
fi
[[ $changed == 0 ]] || rm -f "$work/baseline"

if [[ ! -f $work/baseline || ! -f $work/batches ]]; then
    echo "run.sh: building the unmodified tree in $build (changed: $changed)"
    build_all || { echo "run.sh: the unmodified tree does not build: see $work/build.log" >&2; exit 1; }
    start=$SECONDS
    rm -f "$work"/baseline-*.json
    run_baseline
    if [[ $suite_result != pass ]]; then
        echo "run.sh: the unmodified tree fails its tests ($suite_result: $suite_test)" >&2
        exit 1
    fi
    echo "$((SECONDS - start))" >"$work/baseline"
    echo "run.sh: the unmodified tree passes its tests in $((SECONDS - start))s;" \
        "$(wc -l <"$work/batches") batches of tests"
fi

mapfile -t chosen < <(faults select "$list" "${selectors[@]}")
((${#chosen[@]})) || { echo "run.sh: no fault chosen" >&2; exit 2; }

{
    echo "# $(date -u +%FT%TZ) label $label, source $source_dir at $(git -C "$source_dir" rev-parse --short HEAD 2>/dev/null || echo '?')"
    echo "# id, result, build+test seconds, kind, path:line, first failing test, original, replacement"
} >"$results"

declare -A count=([caught]=0 [missed]=0 [nobuild]=0 [stale]=0 [timeout]=0)
missed_lines=()
run_start=$SECONDS
for entry in "${chosen[@]}"; do
    IFS=$'\t' read -r id kind where <<<"$entry"
    start=$SECONDS
    applied=$(faults apply "$list" "$id" "$tree")
    test_name=-
    build_seconds=0
    if [[ $applied == stale* ]]; then
        result=stale
    elif ! build_all; then
        result=nobuild
        build_seconds=$((SECONDS - start))
    else
        build_seconds=$((SECONDS - start))
        where=${applied#applied }
        run_suite
        case $suite_result in
            pass) result=missed ;;
            fail) result=caught; test_name=$suite_test ;;
            timeout) result='caught(timeout)'; test_name=$suite_test; count[timeout]=$((count[timeout] + 1)) ;;
        esac
    fi
    faults revert "$tree"
    outcome=${result%%"("*}
    count[$outcome]=$((count[$outcome] + 1))
    seconds=$((SECONDS - start))
    line=$(printf '%4d %-15s %4ds+%4ds  %-7s %s  %s' "$id" "$result" "$build_seconds" \
        $((seconds - build_seconds)) "$kind" "$where" "$test_name")
    echo "$line"
    [[ $result == missed ]] && missed_lines+=("$line")
    original=$(awk -F'\t' -v id="$id" '$1 == id { print $5 "\t" $6 }' "$list")
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$id" "$result" "$seconds" "$kind" "$where" "$test_name" \
        "$original" >>"$results"
done

tried=$((count[caught] + count[missed]))
echo
echo "caught ${count[caught]} (of which by timeout ${count[timeout]}), missed ${count[missed]}," \
    "nobuild ${count[nobuild]}, stale ${count[stale]}; $((SECONDS - run_start))s"
if ((tried)); then
    echo "share caught: $((count[caught] * 100 / tried))% (${count[caught]}/$tried)"
fi
if ((${#missed_lines[@]})); then
    echo "missed:"
    printf '%s\n' "${missed_lines[@]}"
fi
echo "results: $results"

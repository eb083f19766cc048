#!/usr/bin/env bash
# Runs the multi-threaded stress program for a bounded time.
#   tools/stress.sh tsan [SECONDS] [ARGS...]   under ThreadSanitizer (build/tsan)
#   tools/stress.sh asan [SECONDS] [ARGS...]   under AddressSanitizer + UBSan (build/asan)
#   tools/stress.sh all  [SECONDS]             both in turn (the default; 60 s each)
#   tools/stress.sh self-check [SECONDS]       plants each known fault into a scratch build
#                                              and shows that the stress catches it
# ARGS go to the program itself (--threads N, --ops N, --seed N, --hang-seconds S, ...).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/ensure.sh
ensure_python
ensure_build_tools "$python"
ensure_gtest

build() { # preset
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1" --target quorvex_stress
}

run_under() { # preset seconds args...
    local preset=$1 seconds=$2
    shift 2
    build "$preset"
    echo "== stress under $preset for ${seconds} s"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
        "build/$preset/tests/stress/quorvex_stress" --threads 12 --seconds "$seconds" "$@" \
        2> >(without_refusal_warnings >&2)
}

# The program asks for impossible extensions on purpose and expects them refused; the
# sanitizer warns of each one, which would bury everything else the run prints.
without_refusal_warnings() {
    grep -v '^==[0-9]*==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]* bytes$' || true
}

# Each fault is a switch in the core that a normal build leaves off.
faults=(NO_NAME_RECHECK CREATE_UNDER_REMOVAL READER_BESIDE_WRITER RENAME_WITHOUT_SUBTREE_CHECK
    DEPTHS_NOT_UPDATED DETACHED_NEVER_FREED NO_USAGE_ROLLBACK)

self_check() { # seconds
    local seconds=$1 missed=0
    for fault in none "${faults[@]}"; do
        local dir="build/fault-$fault"
        local plant=""
        [[ $fault != none ]] && plant=$fault
        cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEX_BUILD_TESTS=ON \
            -DQUORVEX_BUILD_PYTHON=OFF -DQUORVEX_PLANT_FAULT="$plant" >/dev/null
        cmake --build "$dir" --target quorvex_stress >/dev/null
        local status=0
        "$dir/tests/stress/quorvex_stress" --threads 8 --seconds "$seconds" --round-seconds 0.5 \
            >"$dir/stress.out" 2>&1 || status=$?
        if [[ $fault == none ]]; then
            if ((status == 0)); then echo "no fault planted: clean"; else echo "no fault planted: FAILED"; missed=1; fi
        elif ((status == 1)); then
            echo "$fault: caught ($(grep -m1 FAILED "$dir/stress.out"))"
        else
            echo "$fault: MISSED (exit status $status)"
            missed=1
        fi
        tail -n 1 "$dir/stress.out"
    done
    return $missed
}

case "${1:-all}" in
tsan | asan)
    preset=$1
    shift
    run_under "$preset" "${1:-60}" "${@:2}"
    ;;
all)
    run_under tsan "${2:-60}"
    run_under asan "${2:-60}"
    ;;
self-check) self_check "${2:-20}" ;;
*)
    echo "usage: $0 [tsan|asan|all|self-check] [SECONDS] [ARGS...]" >&2
    exit 2
    ;;
esac

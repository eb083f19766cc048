#!/usr/bin/env bash
# Runs the test suites under the sanitizers:
#   asan    C++ tests built with AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan    C++ tests built with ThreadSanitizer
#   pyasan  the Python tests against an ASan+UBSan build of the module
# With no argument, all three run in turn.
set -euo pipefail
cd "$(dirname "$0")/.."

run_asan() { cmake --workflow --preset asan; }
run_tsan() { cmake --workflow --preset tsan; }
run_pyasan() {
    cmake --preset asan >/dev/null
    cmake --build --preset asan --target quorvex
    # The interpreter itself is not instrumented, so the runtime must be loaded first;
    # its allocator sees every Python allocation with PYTHONMALLOC=malloc. Leaks are not
    # reported: the interpreter keeps objects alive at exit by design.
    LD_PRELOAD="$(g++ -print-file-name=libasan.so)" PYTHONMALLOC=malloc \
        ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        PYTHONPATH="$PWD/build/asan" python3 -m pytest tests/python -q -p no:cacheprovider
}

case "${1:-all}" in
asan) run_asan ;;
tsan) run_tsan ;;
pyasan) run_pyasan ;;
all) run_asan && run_tsan && run_pyasan ;;
*) echo "usage: $0 [asan|tsan|pyasan|all]" >&2; exit 2 ;;
esac

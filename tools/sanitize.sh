#!/usr/bin/env bash
# Runs the test suites under the sanitizers:
#   asan    C++ tests built with AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan    C++ tests built with ThreadSanitizer
#   pyasan  the Python tests against an ASan+UBSan build of the module, under $PYTHON or
#           else the python3 on PATH (further arguments, e.g. one test file, replace the
#           whole suite as pytest's arguments)
# With no argument, all three run in turn. What is missing is installed first, as by
# tools/run_tests.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/ensure.sh

ensure_python
ensure_build_tools "$python"
ensure_gtest

run_asan() {
    configure_preset asan "$python"
    cmake --build --preset asan
    run_ctest asan
}
run_tsan() {
    configure_preset tsan
    cmake --build --preset tsan
    run_ctest tsan
}
run_pyasan() {
    ensure_requirements "$python" --extra test
    configure_preset asan "$python"
    cmake --build --preset asan --target quorvex
    # The interpreter itself is not instrumented, so the runtime must be loaded first;
    # its allocator sees every Python allocation with PYTHONMALLOC=malloc. Leaks are not
    # reported: the interpreter keeps objects alive at exit by design. The free-threaded
    # build runs on mimalloc alone (it refuses PYTHONMALLOC=malloc), so there the
    # sanitizer sees the module's own memory (the file system, handles, locks) but not
    # that of Python objects.
    local malloc=malloc
    "$python" -c 'import sysconfig, sys; sys.exit(not sysconfig.get_config_var("Py_GIL_DISABLED"))' &&
        malloc=
    LD_PRELOAD="$(g++ -print-file-name=libasan.so)" PYTHONMALLOC=$malloc \
        ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        PYTHONPATH="$PWD/build/asan" "$python" -m pytest -q -p no:cacheprovider "${@:-tests/python}"
}

case "${1:-all}" in
asan) run_asan ;;
tsan) run_tsan ;;
pyasan) shift; run_pyasan "$@" ;;
all) run_asan && run_tsan && run_pyasan ;;
*) echo "usage: $0 [asan|tsan|pyasan|all]" >&2; exit 2 ;;
esac

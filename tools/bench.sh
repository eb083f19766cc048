#!/usr/bin/env bash
# Benchmarks, timings only (nothing here is a test and nothing asserts on time):
#   1. installs the peers of benchmarks/requirements.txt into build/bench-venv (a venv that
#      also sees the system's site packages), once;
#   2. builds the Release module and the Google Benchmark timings of the core in build/bench
#      (needs Debian's libbenchmark-dev, installed here when missing and run as root;
#      without it the script stops and says so);
#   3. runs benchmarks/cpp/core_bench and memory_bench (resident bytes per node and per
#      file), then benchmarks/bench_python.py, bench_files.py (the layer over the raw
#      core) and bench_fsspec.py (the layer, fsspec and the peers' file objects), printing
#      their tables.
#
#   bash tools/bench.sh                   # everything (about five minutes on two cores)
#   bash tools/bench.sh --quick           # smaller sizes, fewer repeats
#   bash tools/bench.sh --only touch10k   # other arguments go to bench_python.py
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/ensure.sh

venv=build/bench-venv
build=build/bench
quick=0
for arg in "$@"; do [[ $arg == --quick ]] && quick=1; done

ensure_python
if [[ ! -x $venv/bin/python ]]; then
    "$python" -m venv --system-site-packages "$venv" || die "$python cannot make a venv: install its venv module"
fi
pip_install "$venv/bin/python" -r benchmarks/requirements.txt

has_benchmark() {
    compgen -G "/usr/lib/*/cmake/benchmark/benchmarkConfig.cmake" ||
        compgen -G "/usr/local/lib*/cmake/benchmark/benchmarkConfig.cmake"
}
ensure_debian_packages has_benchmark libbenchmark-dev
ensure_build_tools "$venv/bin/python"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVEX_BUILD_TESTS=OFF \
    -DQUORVEX_BUILD_PYTHON=ON -DQUORVEX_BUILD_BENCHMARKS=ON \
    -DPython_EXECUTABLE="$PWD/$venv/bin/python" >/dev/null
cmake --build "$build" --target quorvex core_bench memory_bench

echo "=== C++ core (Google Benchmark; per_op = one operation of a batch) ==="
min_time=0.5
((quick)) && min_time=0.05
"$build/benchmarks/cpp/core_bench" --benchmark_min_time=$min_time
echo
echo "=== C++ core: memory ==="
"$build/benchmarks/cpp/memory_bench"
echo

echo "=== Python (ns per operation, quorvex and its peers) ==="
PYTHONPATH="$PWD/$build${PYTHONPATH:+:$PYTHONPATH}" "$venv/bin/python" benchmarks/bench_python.py "$@"
echo
echo "=== Python file objects (ns per file: quorvex_fs.open, the raw core, peers) ==="
PYTHONPATH="$PWD/$build:$PWD/python${PYTHONPATH:+:$PYTHONPATH}" "$venv/bin/python" benchmarks/bench_files.py "$@"

echo
echo "=== Python file objects through fsspec (us per file: quorvex://, memory://, peers) ==="
quick_arg=()
((quick)) && quick_arg=(--quick)
PYTHONPATH="$PWD/$build:$PWD/python${PYTHONPATH:+:$PYTHONPATH}" "$venv/bin/python" \
    benchmarks/bench_fsspec.py "${quick_arg[@]}"

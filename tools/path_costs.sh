#!/usr/bin/env bash
# Instruction counts (callgrind) of path resolution, creation and the small handle calls,
# and the deep-open timing against tmpfs, from the Release module in build/bench.
#
#   bash tools/path_costs.sh           # counts and the timing
#   bash tools/path_costs.sh --no-count --time
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVEX_BUILD_TESTS=OFF \
    -DQUORVEX_BUILD_PYTHON=ON -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build "$build" --target quorvex >/dev/null
args=("$@")
[[ ${#args[@]} -eq 0 ]] && args=(--time)
PYTHONHASHSEED=0 PYTHONPATH="$PWD/$build" python3 benchmarks/path_costs.py "${args[@]}"

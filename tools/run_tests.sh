#!/usr/bin/env bash
# Builds the debug tree (warnings as errors), runs every C++ test, then runs the Python
# tests against the extension module of that same build.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset dev
cmake --build --preset dev
ctest --preset dev

PYTHONPATH="$PWD/build/dev:$PWD/python${PYTHONPATH:+:$PYTHONPATH}" python3 -m pytest tests/python -q

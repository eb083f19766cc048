#!/usr/bin/env bash
# Builds the debug tree (warnings as errors), runs every C++ test, then runs the Python
# tests against the extension module of that same build.
#
# The module is built for, and tested under, $PYTHON or else the python3 on PATH (an
# active venv's). What is missing is installed first: GoogleTest with apt-get, the test
# extra of pyproject.toml with pip into that interpreter, CMake and Ninja with pip.
# Arguments are passed on to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/ensure.sh

ensure_python
ensure_build_tools "$python"
ensure_gtest
ensure_requirements "$python" --extra test

configure_preset dev "$python"
cmake --build --preset dev
run_ctest dev

PYTHONPATH="$PWD/build/dev:$PWD/python${PYTHONPATH:+:$PYTHONPATH}" "$python" -m pytest tests/python -q "$@"

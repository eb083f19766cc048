#!/usr/bin/env bash
# Builds the extension module against PyPy and runs the Python tests under it.
#
# Installs Debian's pypy3 and pypy3-dev when they are missing, keeps a PyPy virtual
# environment with pytest, hypothesis and fsspec in build/pypy-venv and builds into build/pypy.
# Arguments are passed on to pytest. Where PyPy cannot be installed, says so and exits 0.
set -euo pipefail
cd "$(dirname "$0")/.."

PYPY=pypy3
BUILD_DIR=build/pypy
VENV=build/pypy-venv

have_pypy() {
    command -v "$PYPY" >/dev/null 2>&1 || return 1
    # The development files: the interpreter alone cannot build extension modules.
    local include
    include=$("$PYPY" -c 'import sysconfig; print(sysconfig.get_paths()["include"])') || return 1
    [[ -f "$include/Python.h" ]]
}

install_pypy() {
    local sudo=()
    if [[ $(id -u) -ne 0 ]]; then
        command -v sudo >/dev/null 2>&1 || return 1
        sudo=(sudo -n)
    fi
    command -v apt-get >/dev/null 2>&1 || return 1
    local install=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq
                   pypy3 pypy3-dev)
    "${install[@]}" >/dev/null 2>&1 && return 0
    # The package lists may be missing or stale.
    "${sudo[@]}" apt-get update -qq >/dev/null 2>&1 || return 1
    "${install[@]}" >/dev/null 2>&1
}

if ! have_pypy; then
    echo "PyPy not found: installing pypy3 and pypy3-dev"
    if ! install_pypy || ! have_pypy; then
        echo "skipped: PyPy cannot be installed"
        exit 0
    fi
fi
"$PYPY" --version

if [[ ! -x "$VENV/bin/python" ]]; then
    "$PYPY" -m venv "$VENV"
fi
if ! "$VENV/bin/python" -c 'import pytest, hypothesis, fsspec' >/dev/null 2>&1; then
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check pytest hypothesis fsspec
fi

cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUORVEX_WERROR=ON \
    -DQUORVEX_BUILD_TESTS=OFF -DQUORVEX_BUILD_PYTHON=ON \
    -DPython_EXECUTABLE="$(command -v "$PYPY")"
cmake --build "$BUILD_DIR" --target quorvex

PYTHONPATH="$PWD/$BUILD_DIR${PYTHONPATH:+:$PYTHONPATH}" \
    "$VENV/bin/python" -m pytest tests/python -q "$@"

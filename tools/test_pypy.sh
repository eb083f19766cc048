#!/usr/bin/env bash
# Builds the extension module against PyPy and runs the Python tests under it.
#
# Installs Debian's pypy3 and pypy3-dev when they are missing, keeps a PyPy virtual
# environment with the test extra of pyproject.toml in build/pypy-venv and builds into
# build/pypy. Arguments are passed on to pytest. Where PyPy cannot be set up, it says what
# to install and exits 0, or fails when CI is set: CI must not pass without a PyPy run.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/ensure.sh

PYPY=${PYPY:-pypy3}
BUILD_DIR=build/pypy
VENV=build/pypy-venv

# The interpreter with its development files: the interpreter alone cannot build modules.
have_pypy() {
    command -v "$PYPY" >/dev/null 2>&1 || return 1
    local include
    include=$("$PYPY" -c 'import sysconfig; print(sysconfig.get_paths()["include"])') || return 1
    [[ -f $include/Python.h ]]
}

if ! have_pypy && ! { apt_install pypy3 pypy3-dev && have_pypy; }; then
    message="PyPy cannot be set up: install pypy3 and pypy3-dev (Debian/Ubuntu: apt-get install pypy3 pypy3-dev)"
    [[ -n ${CI:-} ]] && die "$message"
    echo "$script_name: skipped: $message"
    exit 0
fi
"$PYPY" --version

if [[ ! -x $VENV/bin/python ]]; then
    "$PYPY" -m venv "$VENV" || die "$PYPY cannot make a venv: install pypy3-venv"
fi
python=$PWD/$VENV/bin/python
ensure_build_tools "$python"
ensure_requirements "$python" --extra test

cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUORVEX_WERROR=ON \
    -DQUORVEX_BUILD_TESTS=OFF -DQUORVEX_BUILD_PYTHON=ON -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$BUILD_DIR" --target quorvex

PYTHONPATH="$PWD/$BUILD_DIR${PYTHONPATH:+:$PYTHONPATH}" "$python" -m pytest tests/python -q "$@"

#!/usr/bin/env bash
# Builds the wheels that pip makes, installs each into a fresh virtual environment and
# runs the Python tests against that installation, away from the source tree:
#   - the default wheel, built for the running interpreter (what `pip install .` gives);
#   - the stable-ABI wheel (cp310-abi3), where the interpreter is CPython 3.10 or later.
# Arguments are passed on to pytest.
# The wheels are built with $PYTHON or else the python3 on PATH (an active venv's); each
# test venv is made from it and gets the wheel with its test extra, nothing else.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/ensure.sh
repo=$PWD
ensure_python

test_variant() {
    local name=$1
    shift
    local venv=$repo/build/wheel-venv-$name wheelhouse=$repo/build/wheelhouse-$name
    rm -rf "$venv" "$wheelhouse"
    "$python" -m venv "$venv" || die "$python cannot make a venv: install its venv module"
    "$venv/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps \
        -w "$wheelhouse" "${config[@]}" .
    local wheel
    wheel=$(echo "$wheelhouse"/quorvex-*.whl)
    pip_install "$venv/bin/python" "$wheel[test]"
    echo "== $(basename "$wheel")"
    # From a scratch directory, so that nothing of the source tree shadows the wheel.
    (cd "$scratch" && "$venv/bin/python" -m pytest -q -p no:cacheprovider \
        "$repo/tests/python" "$@")
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

config=()
test_variant interpreter "$@"
if "$python" -c 'import sys; sys.exit(not (sys.implementation.name == "cpython" and sys.version_info >= (3, 10)))'; then
    config=(-C wheel.py-api=cp310 -C cmake.define.QUORVEX_STABLE_ABI=ON)
    test_variant abi3 "$@"
fi

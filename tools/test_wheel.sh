#!/usr/bin/env bash
# Builds the wheels that pip makes, installs each into a fresh virtual environment and
# runs the Python tests against that installation, away from the source tree:
#   - the default wheel, built for the running interpreter (what `pip install .` gives);
#   - the stable-ABI wheel (cp310-abi3), where the interpreter is CPython 3.10 or later.
# Arguments are passed on to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

# The test tools (pytest, hypothesis, mypy) come from the interpreter's own packages.
test_variant() {
    local name=$1
    shift
    local venv=$repo/build/wheel-venv-$name wheelhouse=$repo/build/wheelhouse-$name
    rm -rf "$venv" "$wheelhouse"
    python3 -m venv --system-site-packages "$venv"
    "$venv/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps \
        -w "$wheelhouse" "${config[@]}" .
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-deps \
        --force-reinstall "$wheelhouse"/quorvex-*.whl
    echo "== $(basename "$wheelhouse"/quorvex-*.whl)"
    # From a scratch directory, so that nothing of the source tree shadows the wheel.
    (cd "$scratch" && "$venv/bin/python" -m pytest -q -p no:cacheprovider \
        "$repo/tests/python" "$@")
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

config=()
test_variant interpreter "$@"
if python3 -c 'import sys; sys.exit(not (sys.implementation.name == "cpython" and sys.version_info >= (3, 10)))'; then
    config=(-C wheel.py-api=cp310 -C cmake.define.QUORVEX_STABLE_ABI=ON)
    test_variant abi3 "$@"
fi

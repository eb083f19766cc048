#!/usr/bin/env bash
# Builds the wheel that `pip install .` makes (the stable-ABI build on CPython 3.10 and
# later), installs it into a fresh virtual environment in build/wheel-venv and runs the
# Python tests against that installation, away from the source tree. Arguments are passed
# on to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
venv=$repo/build/wheel-venv
wheelhouse=$repo/build/wheelhouse

rm -rf "$venv" "$wheelhouse"
# The test tools (pytest, hypothesis, mypy) come from the interpreter's own packages.
python3 -m venv --system-site-packages "$venv"
"$venv/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$wheelhouse" .
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-deps \
    --force-reinstall "$wheelhouse"/quorvex-*.whl
ls "$wheelhouse"

# From a scratch directory, so that nothing of the source tree shadows the installation.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
"$venv/bin/python" -m pytest -q -p no:cacheprovider "$repo/tests/python" "$@"

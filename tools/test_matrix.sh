#!/usr/bin/env bash
# Runs the Python tests on every CPython version the project supports (the
# "Programming Language :: Python :: 3.x" classifiers of pyproject.toml) that this machine
# offers, and on PyPy:
#   - each CPython gets a venv in build/matrix/cp<version>, into which the package is
#     installed from this tree as a user installs it (pip install '.[test]', a Release
#     build for that interpreter), and the tests run against that installation;
#   - PyPy runs through tools/test_pypy.sh (a debug build with warnings as errors).
# An interpreter is looked for in pyenv's versions directory, then as python3.x on PATH.
# Without CI set, a version the machine does not offer is reported and left out; with CI
# set, a supported interpreter that is missing or cannot be set up fails the run.
# Prints one line per interpreter with its test counts; logs are in build/matrix/.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/ensure.sh
repo=$PWD
matrix=$repo/build/matrix
mkdir -p "$matrix"
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

mapfile -t versions < <(sed -n 's/^ *"Programming Language :: Python :: \(3\.[0-9]*\)",$/\1/p' pyproject.toml)
((${#versions[@]})) || die "pyproject.toml names no Python 3.x classifier"

# find_cpython VERSION: prints the path of a CPython of that version, if there is one.
find_cpython() {
    local version=$1 candidate
    local pyenv_versions=${PYENV_ROOT:-$HOME/.pyenv}/versions
    local candidates=()
    mapfile -t candidates < <(compgen -G "$pyenv_versions/$version.*/bin/python$version" | sort -rV)
    candidates+=("$(command -v "python$version" 2>/dev/null || true)")
    for candidate in "${candidates[@]}"; do
        [[ -n $candidate ]] || continue
        if "$candidate" -c "import sys; sys.exit(not (sys.implementation.name == 'cpython' and '%d.%d' % sys.version_info[:2] == '$version'))" 2>/dev/null; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}

# The last line pytest prints: its counts.
counts() { grep -E '(passed|failed|error)' "$1" | tail -n 1 | sed 's/^=* *//; s/ *=*$//'; }

results=()
failed=()
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# test_cpython VERSION
test_cpython() {
    local version=$1 interpreter venv=$matrix/cp$1 log=$matrix/cp$1.log
    if ! interpreter=$(find_cpython "$version"); then
        results+=("CPython $version: not offered by this machine")
        [[ -n ${CI:-} ]] && failed+=("CPython $version (not found)")
        return 0
    fi
    local full
    full=$("$interpreter" -c 'import platform; print(platform.python_version())')
    echo "== CPython $full ($interpreter)"
    rm -rf "$venv"
    if ! { "$interpreter" -m venv "$venv" &&
           "$venv/bin/python" -m pip install --disable-pip-version-check "$repo[test]"; } >"$log" 2>&1; then
        results+=("CPython $full: could not be set up (see $log)")
        failed+=("CPython $full (setup)")
        return 0
    fi
    # From a scratch directory, so that nothing of the source tree shadows the installation.
    if (cd "$scratch" && "$venv/bin/python" -m pytest -q -p no:cacheprovider \
            "$repo/tests/python") >>"$log" 2>&1; then
        results+=("CPython $full: $(counts "$log")")
    else
        results+=("CPython $full: FAILED: $(counts "$log") (see $log)")
        failed+=("CPython $full")
    fi
}

for version in "${versions[@]}"; do
    test_cpython "$version"
done

echo "== PyPy"
log=$matrix/pypy.log
if bash tools/test_pypy.sh >"$log" 2>&1; then
    if grep -q "skipped: PyPy cannot be set up" "$log"; then
        results+=("PyPy: not offered by this machine")
    else
        name=$(build/pypy-venv/bin/python -c 'import platform, sys
print("PyPy %d.%d.%d (Python %s)" % (*sys.pypy_version_info[:3], platform.python_version()))')
        results+=("$name: $(counts "$log")")
    fi
else
    results+=("PyPy: FAILED: $(counts "$log") (see $log)")
    failed+=("PyPy")
fi

printf '%s\n' "${results[@]}"
if ((${#failed[@]})); then
    die "failed: ${failed[*]}"
fi

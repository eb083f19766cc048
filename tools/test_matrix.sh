#!/usr/bin/env bash
# Runs the Python tests on every CPython version the project supports (the
# "Programming Language :: Python :: 3.x" classifiers of pyproject.toml), on the free-threaded
# CPython 3.13 (3.13t) where the "Free Threading" classifier is there, and on PyPy:
#   - each CPython gets a venv in build/matrix/cp<version>, into which the package is
#     installed from this tree as a user installs it (pip install '.[test]', a Release
#     build for that interpreter, with warnings as errors), and the tests run against that
#     installation;
#   - PyPy runs through tools/test_pypy.sh (a debug build with warnings as errors).
# An interpreter is looked for in pyenv's versions directory, then as python3.x on PATH; 3.13t
# in tools/interpreters.sh's cache, then on PATH. A version the host lacks is tested in the
# Debian sid chroot of tools/interpreters.sh when that chroot is there and carries it (the
# repository is mounted into it, so the build and its logs land in build/matrix/ as well).
# Without CI set, a version the machine does not offer is reported and left out; with CI
# set, a supported interpreter that is missing or cannot be set up fails the run.
# With VERSION arguments (e.g. 3.14 3.13t), only those are tested, and PyPy is not.
# Prints one line per interpreter with its test counts; logs are in build/matrix/.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/ensure.sh
repo=$PWD
matrix=$repo/build/matrix
mkdir -p "$matrix"
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

# The last releases of the test extra's packages that install on a free-threaded CPython 3.13
# from wheels alone: later hypothesis releases carry a Rust extension, and later mypy releases
# need two compiled packages (ast-serialize, in Rust, and librt), that have no wheel for it, so
# pip would build them from source.
free_threaded_constraints=("hypothesis==6.155.7" "mypy==1.18.2")

if (($#)); then
    versions=("$@")
    test_pypy=false
else
    mapfile -t versions < <(sed -n 's/^ *"Programming Language :: Python :: \(3\.[0-9]*\)",$/\1/p' pyproject.toml)
    ((${#versions[@]})) || die "pyproject.toml names no Python 3.x classifier"
    grep -q '"Programming Language :: Python :: Free Threading :: ' pyproject.toml &&
        versions+=(3.13t)
    test_pypy=true
fi

# find_cpython VERSION: prints the path of a CPython of that version (X.Y, or X.Yt for the
# free-threaded build), if there is one.
find_cpython() {
    local version=$1 candidate free_threaded=0
    local pyenv_versions=${PYENV_ROOT:-$HOME/.pyenv}/versions
    local candidates=()
    if [[ $version == *t ]]; then
        free_threaded=1
        candidates+=("$(bash tools/interpreters.sh path "$version" 2>/dev/null || true)")
    else
        mapfile -t candidates < <(compgen -G "$pyenv_versions/$version.*/bin/python$version" | sort -rV)
    fi
    candidates+=("$(command -v "python$version" 2>/dev/null || true)")
    for candidate in "${candidates[@]}"; do
        [[ -n $candidate ]] || continue
        if "$candidate" -c "
import sys, sysconfig
sys.exit(not (sys.implementation.name == 'cpython'
              and '%d.%d' % sys.version_info[:2] == '${version%t}'
              and bool(sysconfig.get_config_var('Py_GIL_DISABLED')) == $free_threaded))" 2>/dev/null; then
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

# test_in_chroot VERSION: tests the version in the sid chroot, if that has it.
test_in_chroot() {
    local version=$1 root output
    root=$(bash tools/interpreters.sh path sid 2>/dev/null) || return 1
    [[ $version != *t && -x $root/usr/bin/python$version ]] || return 1
    echo "== CPython $version in the Debian sid chroot ($root)"
    if output=$(bash tools/interpreters.sh run-in-sid bash tools/test_matrix.sh "$version" 2>&1); then
        results+=("$(tail -n 1 <<<"$output") (Debian sid chroot)")
    else
        echo "$output" | tail -n 20
        local line
        line=$(grep "^CPython $version" <<<"$output" | tail -n 1) || line="CPython $version: FAILED"
        results+=("$line (Debian sid chroot)")
        failed+=("CPython $version (Debian sid chroot)")
    fi
    return 0
}

# test_cpython VERSION
test_cpython() {
    local version=$1 interpreter venv=$matrix/cp$1 log=$matrix/cp$1.log
    if ! interpreter=$(find_cpython "$version"); then
        test_in_chroot "$version" && return 0
        results+=("CPython $version: not offered by this machine")
        [[ -n ${CI:-} ]] && failed+=("CPython $version (not found)")
        return 0
    fi
    local full constraints=()
    full=$("$interpreter" -c 'import platform, sys, sysconfig
print(platform.python_version() + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')
    echo "== CPython $full ($interpreter)"
    if [[ $version == *t ]]; then
        printf '%s\n' "${free_threaded_constraints[@]}" >"$scratch/constraints.txt"
        constraints=(-c "$scratch/constraints.txt")
    fi
    rm -rf "$venv"
    if ! { "$interpreter" -m venv "$venv" &&
           "$venv/bin/python" -m pip install --disable-pip-version-check "${constraints[@]}" \
               --config-settings=cmake.define.QUORVEX_WERROR=ON "$repo[test]"; } >"$log" 2>&1; then
        results+=("CPython $full: could not be set up (see $log)")
        failed+=("CPython $full (setup)")
        return 0
    fi
    # From a scratch directory, so that nothing of the source tree shadows the installation.
    # PYTHON_GIL stays unset: a free-threaded interpreter keeps the GIL off only if the module
    # declares it may, which is part of what is tested.
    if (cd "$scratch" && env -u PYTHON_GIL "$venv/bin/python" -m pytest -q -p no:cacheprovider \
            "$repo/tests/python") >>"$log" 2>&1; then
        results+=("CPython $full: $(counts "$log")")
    else
        results+=("CPython $full: FAILED: $(counts "$log") (see $log)")
        failed+=("CPython $full")
    fi
}

test_pypy() {
    echo "== PyPy"
    local log=$matrix/pypy.log name
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
}

for version in "${versions[@]}"; do
    test_cpython "$version"
done
if $test_pypy; then
    test_pypy
fi

printf '%s\n' "${results[@]}"
if ((${#failed[@]})); then
    die "failed: ${failed[*]}"
fi

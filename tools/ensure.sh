# Sourced by the scripts in tools/: finds what a build and its tests need and installs what
# is missing where it can (Debian packages with apt-get as root, Python packages with pip
# into the interpreter under test). Where it cannot, it stops with one line that names
# exactly what to install. The caller runs from the repository root.

script_name=$(basename "$0")

die() {
    echo "$script_name: $*" >&2
    exit 1
}

# apt-get as root, directly or through password-less sudo; fails where neither works.
apt_install() {
    local sudo=()
    if [[ $(id -u) -ne 0 ]]; then
        command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null || return 1
        sudo=(sudo -n)
    fi
    command -v apt-get >/dev/null 2>&1 || return 1
    echo "$script_name: installing $* with apt-get"
    local lock=(-o DPkg::Lock::Timeout=600)
    local install=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq
                   "${lock[@]}" "$@")
    "${install[@]}" >/dev/null 2>&1 && return 0
    # The package lists may be missing or stale.
    "${sudo[@]}" apt-get update -qq "${lock[@]}" >/dev/null 2>&1 || return 1
    "${install[@]}" >/dev/null 2>&1
}

# ensure_debian_packages CHECK PACKAGE...: runs the shell command CHECK; when it fails,
# installs the packages and checks again.
ensure_debian_packages() {
    local check=$1
    shift
    eval "$check" >/dev/null 2>&1 && return 0
    apt_install "$@" && eval "$check" >/dev/null 2>&1 && return 0
    die "missing: install $* (Debian/Ubuntu: apt-get install $*)"
}

has_gtest() {
    [[ -n ${GTEST_ROOT:-}${GTest_ROOT:-} ]] ||
        compgen -G "/usr/lib/*/cmake/GTest/GTestConfig.cmake" ||
        compgen -G "/usr/lib*/cmake/GTest/GTestConfig.cmake" ||
        compgen -G "/usr/local/lib*/cmake/GTest/GTestConfig.cmake"
}
ensure_gtest() { ensure_debian_packages has_gtest libgtest-dev; }

# Sets `python` to the interpreter whose module is built and tested: $PYTHON if set, else
# the python3 on PATH (an active virtual environment's own). An interpreter that refuses
# pip installs outside a venv (PEP 668) is replaced by a venv of it in build/.
ensure_python() {
    local wanted=${PYTHON:-python3}
    command -v "$wanted" >/dev/null 2>&1 || die "$wanted not found: install Python 3.8 or later"
    python=$("$wanted" -c 'import sys; print(sys.executable)') ||
        die "$wanted does not run: install Python 3.8 or later"
    "$python" -c 'import sys; sys.exit(sys.version_info < (3, 8))' ||
        die "$python is older than 3.8: install Python 3.8 or later"
    local version
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    if "$python" -c '
import os, sys, sysconfig
managed = os.path.join(sysconfig.get_path("stdlib"), "EXTERNALLY-MANAGED")
sys.exit(not (sys.prefix == sys.base_prefix and os.path.exists(managed)))'; then
        local venv=build/venv-$version
        if [[ ! -x $venv/bin/python ]]; then
            "$python" -m venv "$venv" >/dev/null 2>&1 ||
                { rm -rf "$venv"; die "$python cannot make a venv: install python$version-venv"; }
            echo "$script_name: $python is externally managed; testing in $venv"
        fi
        python=$PWD/$venv/bin/python
    fi
    "$python" -m pip --version >/dev/null 2>&1 || "$python" -m ensurepip -q >/dev/null 2>&1 ||
        die "$python has no pip: install python3-pip (or run $python -m ensurepip)"
    ensure_python_headers "$python"
}

# The development files (Python.h): an interpreter alone cannot build extension modules.
ensure_python_headers() {
    local interpreter=$1 include name package
    include=$("$interpreter" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
    [[ -f $include/Python.h ]] && return 0
    name=$("$interpreter" -c '
import sys
print("pypy3" if sys.implementation.name == "pypy" else "python%d.%d" % sys.version_info[:2])')
    package=$name-dev
    [[ $name == pypy3 ]] && package=pypy3-dev
    apt_install "$package" && [[ -f $include/Python.h ]] && return 0
    die "$interpreter has no headers (Python.h): install $package"
}

# pip_install INTERPRETER REQUIREMENT...
pip_install() {
    local interpreter=$1 log
    shift
    mkdir -p build
    log=$PWD/build/pip-install.log
    echo "$script_name: installing $* into $interpreter"
    "$interpreter" -m pip install -q --disable-pip-version-check "$@" >"$log" 2>&1 ||
        die "pip could not install $* (see $log): install them into $interpreter"
}

# missing_requirements INTERPRETER (--extra NAME | REQUIREMENT...): prints, one per line,
# the requirements that INTERPRETER lacks, of an extra of pyproject.toml or as given.
# Python 3.8 to 3.10 have no TOML reader, so there the extra's list is read with a pattern.
missing_requirements() {
    local interpreter=$1
    shift
    "$interpreter" - "$@" <<'EOF'
import re, sys
from importlib import metadata
try:
    from packaging.requirements import Requirement
except ImportError:
    from pip._vendor.packaging.requirements import Requirement


def extra_requirements(extra):
    with open("pyproject.toml", encoding="utf-8") as file:
        text = file.read()
    try:
        import tomllib
    except ImportError:
        section = re.search(r"^\[project\.optional-dependencies\][^\n]*\n(.*?)(?=^\[|\Z)",
                            text, re.M | re.S).group(1)
        body = re.search(r"^" + re.escape(extra) + r"\s*=\s*\[(.*?)\]", section, re.M | re.S)
        return re.findall(r'"([^"]+)"', re.sub(r"#[^\n]*", "", body.group(1)))
    return tomllib.loads(text)["project"]["optional-dependencies"][extra]


arguments = sys.argv[1:]
lines = extra_requirements(arguments[1]) if arguments[:1] == ["--extra"] else arguments
for line in lines:
    requirement = Requirement(line)
    if requirement.marker is not None and not requirement.marker.evaluate():
        continue
    try:
        installed = metadata.version(requirement.name)
    except metadata.PackageNotFoundError:
        print(line)
        continue
    if not requirement.specifier.contains(installed, prereleases=True):
        print(line)
EOF
}

# ensure_requirements INTERPRETER (--extra NAME | REQUIREMENT...): installs what it lacks.
ensure_requirements() {
    local missing
    missing=$(missing_requirements "$@") || die "cannot read the requirements $*"
    [[ -z $missing ]] && return 0
    local requirements
    mapfile -t requirements <<<"$missing"
    pip_install "$1" "${requirements[@]}"
}

# A C++ compiler, CMake (3.25 or later, for the presets) and Ninja; the last two are
# installed with pip into the interpreter under test when missing, and put on PATH from there.
ensure_build_tools() {
    local interpreter=$1 scripts
    command -v "${CXX:-c++}" >/dev/null 2>&1 || die "no C++ compiler: install g++ (12 or newer)"
    scripts=$("$interpreter" -c 'import sysconfig; print(sysconfig.get_path("scripts"))')
    if ! cmake_is_recent; then
        pip_install "$interpreter" "cmake>=3.25"
        PATH=$scripts:$PATH
        cmake_is_recent || die "CMake 3.25 or later is missing: install cmake>=3.25"
    fi
    if ! ninja --version >/dev/null 2>&1; then
        pip_install "$interpreter" ninja
        PATH=$scripts:$PATH
        ninja --version >/dev/null 2>&1 || die "Ninja is missing: install ninja-build"
    fi
    export PATH
}

cmake_is_recent() {
    local version
    version=$(cmake --version 2>/dev/null | head -n 1 | grep -oE '[0-9]+\.[0-9]+') || return 1
    local major=${version%%.*} minor=${version#*.}
    ((major > 3 || (major == 3 && minor >= 25)))
}

# run_ctest PRESET: runs the preset's tests quietly, all output going to build/PRESET's
# ctest.log; prints one summary line, or on failure the failing tests with their output.
run_ctest() {
    local preset=$1 log
    log=$PWD/build/$preset/ctest.log
    if ctest --preset "$preset" -Q --output-log "$log"; then
        echo "ctest ($preset): $(grep -E '^[0-9]+% tests passed' "$log")"
        return 0
    fi
    sed -n '/tests passed/,$p' "$log"
    echo "== the failures again, with their output (the whole run: $log)"
    ctest --preset "$preset" --rerun-failed --output-on-failure || true
    return 1
}

# configure_preset PRESET [INTERPRETER]: configures the preset's tree, for INTERPRETER when
# given. A tree configured for another interpreter first forgets that one's headers and
# libraries, which would not match.
configure_preset() {
    local preset=$1 interpreter=${2:-} configured forget=()
    if [[ -z $interpreter ]]; then
        cmake --preset "$preset" >/dev/null
        return
    fi
    configured=$(sed -n 's/^Python_EXECUTABLE:[A-Z]*=//p' "build/$preset/CMakeCache.txt" 2>/dev/null || true)
    [[ $configured == "$interpreter" ]] || forget=(-U "Python_*" -U "_Python_*")
    cmake --preset "$preset" "${forget[@]}" -DPython_EXECUTABLE="$interpreter" >/dev/null
}
